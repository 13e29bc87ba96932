#include "app/password_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_resources.h"
#include "app/qt_ui_hooks.h"

namespace mirvo::app {

PasswordDialog::PasswordDialog(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("FrmPassword");
  setWindowTitle(QString::fromUtf8("パスワード設定"));
  setFixedSize(291, 94);
  Label1 = new QLabel(QString::fromUtf8("電話機で登録したパスワードを設定してください。"), this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(12, 10, 270, 14);
  editPassword = new QLineEdit(this);
  editPassword->setObjectName("editPassword");
  editPassword->setGeometry(12, 30, 267, 20);
  editPassword->setEchoMode(QLineEdit::Password);
  editPassword->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");  // "*"
  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(124, 60, 75, 25);
  btnOK->setAutoDefault(false);
  btnCancel = new QPushButton(QString::fromUtf8("キャンセル"), this);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setGeometry(204, 60, 75, 25);
  // Enter cancels as well as Esc: a stray Enter never changes the password.
  btnCancel->setDefault(true);
  connect(btnOK, &QPushButton::clicked, this, &PasswordDialog::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void PasswordDialog::SetPassword(const std::string& password) {
  password_ = password;
  editPassword->setText(FromCp932(password));
}

void PasswordDialog::btnOKClick() {
  std::string converted;
  if (!ToCp932(editPassword->text(), converted)) {
    ShowMessage(QString::fromUtf8("パスワードに使えない文字が含まれています。"), MsgIcon::Error, MsgButtons::Ok, this);
    return;
  }
  password_ = converted;
  accept();
}

}  // namespace mirvo::app
