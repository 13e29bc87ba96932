#include "app/port_dialog.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "app/app_resources.h"
#include "app/qt_ui_hooks.h"
#include "serial/serial_port.h"

namespace mirvo::app {

PortDialog::PortDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), probe_(std::make_unique<SerialPort>()) {
  setObjectName("FrmComSelect");
  setWindowTitle(QString::fromUtf8("端末選択"));
  setFixedSize(268, 156);
  probe_->Bps = 9600;
  probe_->rxTimeOut = 150;
  probe_->txTimeOut = 150;

  Label1 = new QLabel(QString::fromUtf8("COMポート"), this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(8, 8, 56, 12);
  GrowToCaption(Label1);
  listboxComPort = new QListWidget(this);
  listboxComPort->setObjectName("listboxComPort");
  listboxComPort->setGeometry(8, 24, 161, 121);
  listboxComPort->setUniformItemSizes(true);
  listboxComPort->setStyleSheet("QListWidget::item { height: 12px; }");
  auto button = [this](const char* name, const char* caption, int top) {
    auto* b = new QPushButton(QString::fromUtf8(caption), this);
    b->setObjectName(name);
    b->setGeometry(184, top, 75, 25);
    b->setAutoDefault(false);
    return b;
  };
  btnConnect = button("btnConnect", "設定", 24);
  btnConnect->setDefault(true);
  btnAutoScan = button("btnAutoScan", "自動設定", 56);
  btnUpdate = button("btnUpdate", "更新", 88);
  btnCancel = button("btnCancel", "キャンセル", 120);
  setTabOrder(listboxComPort, btnConnect);
  setTabOrder(btnConnect, btnUpdate);
  setTabOrder(btnUpdate, btnCancel);
  setTabOrder(btnCancel, btnAutoScan);

  connect(listboxComPort, &QListWidget::itemSelectionChanged, this, &PortDialog::RefreshButtons);
  connect(btnConnect, &QPushButton::clicked, this, &PortDialog::btnConnectClick);
  connect(btnAutoScan, &QPushButton::clicked, this, &PortDialog::btnAutoScanClick);
  connect(btnUpdate, &QPushButton::clicked, this, &PortDialog::ScanPorts);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  RefreshButtons();
}

PortDialog::~PortDialog() = default;

void PortDialog::RefreshButtons() {
  // 設定 without a chosen line would close the dialog with no port at all.
  btnConnect->setEnabled(!listboxComPort->selectedItems().isEmpty());
  btnAutoScan->setEnabled(listboxComPort->count() > 0);
}

void PortDialog::SelectLikelyLine() {
  if (listboxComPort->count() == 0) return;
  const int index = AutoSelectIndex(records_);
  listboxComPort->setCurrentRow(index >= 0 ? index : 0, QItemSelectionModel::ClearAndSelect);
}

void PortDialog::ScanPorts() {
  btnUpdate->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  records_.clear();
  listboxComPort->clear();
  RefreshButtons();
  // Events run between ports and bytes: キャンセル stays usable meanwhile,
  // and each line shows as soon as its port is identified.
  ScanHandsetPorts(*probe_, kProbeByteTimeout, [this](const ProbedPort& info) {
    records_.push_back(info);
    listboxComPort->addItem(FromCp932(ComInfoLine(info)));
  });
  btnUpdate->setEnabled(true);
  QApplication::restoreOverrideCursor();
  SelectLikelyLine();
  RefreshButtons();
}

int PortDialog::AcceptSelection() {
  const int row = listboxComPort->currentRow();
  if (row < 0 || row >= static_cast<int>(records_.size()) || !listboxComPort->currentItem()->isSelected())
    return Accepted;
  const ProbedPort info = records_[static_cast<std::size_t>(row)];
  if (!IsSupportedHandset(info)) {
    const MsgAnswer answer = ShowMessage(
        QString::fromUtf8("ファイル転送をサポートしていない機器へ接続しようとしてますが、接続しますか？"),
        MsgIcon::Question, MsgButtons::YesNo, this);
    if (answer != MsgAnswer::Yes) return Rejected;
  }
  ShowMessage(QString::fromUtf8("次回接続時から設定が有効になります。"), MsgIcon::Information, MsgButtons::Ok, this);
  SelPort = info.ComName;
  SelVendor = info.Vendor;
  SelModel = info.Model;
  return Accepted;
}

void PortDialog::btnConnectClick() { done(AcceptSelection()); }

void PortDialog::btnAutoScanClick() {
  ScanPorts();
  const int index = AutoSelectIndex(records_);
  if (index < 0) {
    ShowMessage(QString::fromUtf8("電話機が見つかりませんでした。\r\n"
                                  "ドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります。"),
                MsgIcon::Error, MsgButtons::Ok, this);
    return;
  }
  listboxComPort->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
  SelPort = records_[static_cast<std::size_t>(index)].ComName;
  ShowMessage(QString::fromUtf8("電話機を自動設定しました。"), MsgIcon::Information, MsgButtons::Ok, this);
  done(AcceptSelection());
}

}  // namespace mirvo::app
