#include "app/password_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_resources.h"
#include "app/message_box.h"

namespace mirvo::app {

PasswordDialog::PasswordDialog(QWidget* owner) : QDialog(owner) {
  setObjectName("PasswordDialog");
  setWindowTitle("パスワード設定");
  prompt_label_ = new QLabel("電話機で登録したパスワードを設定してください。", this);
  prompt_label_->setObjectName("prompt_label");
  password_edit_ = new QLineEdit(this);
  password_edit_->setObjectName("password_edit");
  password_edit_->setEchoMode(QLineEdit::Password);
  password_edit_->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");  // "*"
  // The sentence names the field for assistive tools.
  prompt_label_->setBuddy(password_edit_);
  // Enter in the field keeps what was typed; Esc cancels. A focused button
  // takes Enter for itself.
  ok_button_ = new QPushButton("OK", this);
  ok_button_->setObjectName("ok_button");
  ok_button_->setAutoDefault(true);
  ok_button_->setDefault(true);
  cancel_button_ = new QPushButton("キャンセル", this);
  cancel_button_->setObjectName("cancel_button");
  cancel_button_->setAutoDefault(true);

  // OK before キャンセル whatever order the desktop gives a button box.
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_button_);
  buttons->addWidget(cancel_button_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt_label_);
  layout->addWidget(password_edit_);
  layout->addLayout(buttons);
  FixSizeForFont(this, QSize(291, 94));

  connect(ok_button_, &QPushButton::clicked, this, &PasswordDialog::AcceptPassword);
  connect(cancel_button_, &QPushButton::clicked, this, &QDialog::reject);
}

void PasswordDialog::SetPassword(const std::string& password) {
  password_ = password;
  password_edit_->setText(FromCp932(password));
}

void PasswordDialog::AcceptPassword() {
  std::string converted;
  if (!ToCp932(password_edit_->text(), converted)) {
    ShowMessage("パスワードに使えない文字が含まれています。", MsgIcon::Error, MsgButtons::Ok, this);
    return;
  }
  password_ = converted;
  accept();
}

}  // namespace mirvo::app
