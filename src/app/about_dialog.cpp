#include "app/about_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "app/app_resources.h"

namespace mirvo::app {

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
  setObjectName("AboutDialog");
  setWindowTitle("バージョン情報");
  icon_label_ = new QLabel(this);
  icon_label_->setObjectName("icon_label");
  icon_label_->setPixmap(SvgPixmap("about_icon", QSize(32, 32)));
  name_label_ = new QLabel("Mirvo", this);
  name_label_->setObjectName("name_label");
  version_label_ = new QLabel("Version 1.11", this);
  version_label_->setObjectName("version_label");
  auto* buttons = new QDialogButtonBox(this);
  buttons->setCenterButtons(true);
  ok_button_ = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
  ok_button_->setObjectName("ok_button");
  ok_button_->setDefault(true);

  auto* layout = new QGridLayout(this);
  layout->addWidget(icon_label_, 0, 0, 2, 1, Qt::AlignTop);
  layout->addWidget(name_label_, 0, 1);
  layout->addWidget(version_label_, 1, 1);
  layout->addWidget(buttons, 2, 0, 1, 2);
  layout->setColumnStretch(1, 1);
  FixSizeForFont(this, QSize(222, 88));

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
}

}  // namespace mirvo::app
