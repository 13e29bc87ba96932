#include "app/transfer_results_dialog.h"

#include <QListWidget>
#include <QPushButton>

#include "app/app_resources.h"

namespace mirvo::app {

TransferResultsDialog::TransferResultsDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint) {
  setObjectName("FrmTransResult");
  setWindowTitle(QString::fromUtf8("結果"));
  setFont(AppFont());
  setFixedSize(289, 148);
  listboxTransResult = new QListWidget(this);
  listboxTransResult->setObjectName("listboxTransResult");
  listboxTransResult->setGeometry(8, 8, 273, 105);
  listboxTransResult->setUniformItemSizes(true);
  listboxTransResult->setStyleSheet("QListWidget::item { height: 12px; }");
  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setGeometry(107, 120, 75, 25);
  // Closing is all OK does, so Esc (reject) and OK end the dialog alike.
  connect(btnOK, &QPushButton::clicked, this, &QDialog::reject);
}

void TransferResultsDialog::SetResults(const QStringList& lines) {
  listboxTransResult->clear();
  listboxTransResult->addItems(lines);
}

}  // namespace mirvo::app
