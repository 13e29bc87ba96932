#include "app/transfer_results_dialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_resources.h"

namespace mirvo::app {

TransferResultsDialog::TransferResultsDialog(QWidget* owner)
    : QDialog(owner,
              Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("TransferResultsDialog");
  setWindowTitle("結果");
  setFont(AppFont());
  result_list_ = new QListWidget(this);
  result_list_->setObjectName("result_list");
  result_list_->setAccessibleName("結果");
  SetRowHeightToFont(result_list_);
  auto* buttons = new QDialogButtonBox(this);
  buttons->setCenterButtons(true);
  // Closing is all OK does, so Esc (reject) and OK end the dialog alike.
  ok_button_ = buttons->addButton("OK", QDialogButtonBox::RejectRole);
  ok_button_->setObjectName("ok_button");

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(result_list_);
  layout->addWidget(buttons);
  FixSizeForFont(this, QSize(289, 148));

  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void TransferResultsDialog::SetResults(const QStringList& lines) {
  result_list_->clear();
  result_list_->addItems(lines);
}

}  // namespace mirvo::app
