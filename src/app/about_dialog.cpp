#include "app/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/app_resources.h"

namespace mirvo::app {

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("FrmAbout");
  setWindowTitle(QString::fromUtf8("バージョン情報"));
  setFixedSize(222, 88);
  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setGeometry(16, 12, 32, 32);
  Image1->setPixmap(SvgPixmap("about_icon", QSize(32, 32)));
  labelAppName = new QLabel(this);
  labelAppName->setObjectName("labelAppName");
  labelAppName->setGeometry(64, 14, 150, 14);
  labelAppName->setText("Mirvo");
  labelAppVersion = new QLabel(this);
  labelAppVersion->setObjectName("labelAppVersion");
  labelAppVersion->setGeometry(64, 32, 150, 14);
  labelAppVersion->setText("Version 1.11");
  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(74, 56, 75, 25);
  btnOK->setDefault(true);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace mirvo::app
