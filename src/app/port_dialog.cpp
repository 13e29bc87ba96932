#include "app/port_dialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <cerrno>
#include <filesystem>

#include "app/app_resources.h"
#include "app/message_box.h"
#include "serial/port_diagnosis.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"

namespace mirvo::app {

PortDialog::PortDialog(QWidget* owner) : QDialog(owner), probe_port_(std::make_unique<SerialPort>()) {
  setObjectName("PortDialog");
  setWindowTitle("端末選択");
  SerialSettings settings = probe_port_->GetSettings();
  settings.baud_rate = 9600;
  probe_port_->SetSettings(settings);
  probe_port_->SetTimeouts({.read_ms = 150, .write_ms = 150, .read_interval_ms = 0});

  port_label_ = new QLabel("COMポート", this);
  port_label_->setObjectName("port_label");
  port_list_ = new QListWidget(this);
  port_list_->setObjectName("port_list");
  // A list's accessible name is not taken from its label.
  port_label_->setBuddy(port_list_);
  port_list_->setAccessibleName(port_label_->text());
  port_list_->setWordWrap(true);
  SetRowHeightToFont(port_list_);
  // Enter presses the focused button, and 設定 from the list.
  auto button = [this](const char* name, const char* caption) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    b->setAutoDefault(true);
    return b;
  };
  accept_button_ = button("accept_button", "設定");
  accept_button_->setDefault(true);
  auto_select_button_ = button("auto_select_button", "自動設定");
  rescan_button_ = button("rescan_button", "更新");
  cancel_button_ = button("cancel_button", "キャンセル");

  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {accept_button_, auto_select_button_, rescan_button_, cancel_button_}) buttons->addWidget(b);
  buttons->addStretch();
  auto* layout = new QGridLayout(this);
  layout->addWidget(port_label_, 0, 0);
  layout->addWidget(port_list_, 1, 0);
  layout->addLayout(buttons, 1, 1);
  FixSizeForFont(this, QSize(268, 156));

  setTabOrder(port_list_, accept_button_);
  setTabOrder(accept_button_, rescan_button_);
  setTabOrder(rescan_button_, cancel_button_);
  setTabOrder(cancel_button_, auto_select_button_);

  connect(port_list_, &QListWidget::itemSelectionChanged, this, &PortDialog::RefreshButtons);
  connect(accept_button_, &QPushButton::clicked, this, &PortDialog::AcceptSelectedPort);
  connect(auto_select_button_, &QPushButton::clicked, this, &PortDialog::AutoSelectHandset);
  connect(rescan_button_, &QPushButton::clicked, this, &PortDialog::ScanPorts);
  connect(cancel_button_, &QPushButton::clicked, this, &QDialog::reject);
  RefreshButtons();
}

PortDialog::~PortDialog() = default;

void PortDialog::RefreshButtons() {
  // 設定 without a chosen line would close the dialog with no port at all.
  accept_button_->setEnabled(!port_list_->selectedItems().isEmpty());
  auto_select_button_->setEnabled(!records_.empty());
}

void PortDialog::SelectLikelyLine() {
  if (records_.empty()) return;
  const int index = AutoSelectIndex(records_);
  port_list_->setCurrentRow(index >= 0 ? index : 0, QItemSelectionModel::ClearAndSelect);
}

namespace {

// Why a scan found nothing: no port at all, or ports this user may not
// open (and the group that may), or ports held or refusing.
QString NothingFoundReason() {
  int present = 0, denied = 0;
  std::string group;
  for (int n = 1; n <= 256; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const auto path = ResolvePortName(name);
    std::error_code ec;
    if (!path || !std::filesystem::exists(*path, ec)) continue;
    ++present;
    const PortOpenDiagnosis why = DiagnosePortOpen(name);
    if (why.access_error == EACCES) {
      ++denied;
      if (group.empty()) group = why.group;
    }
  }
  if (present == 0)
    return "シリアルポートが見つかりません。電話機のケーブルをつないでから「更新」を押してください。";
  if (denied == present)
    return QString("シリアルポートはありますが、使う権限がありません。グループ「%1」に加えてから、ログインし直してください。")
        .arg(QString::fromStdString(group.empty() ? std::string("dialout") : group));
  return "シリアルポートを開けませんでした。ほかのプログラムが使っていないか確かめてください。";
}

}  // namespace

void PortDialog::ScanPorts() {
  rescan_button_->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  records_.clear();
  port_list_->clear();
  RefreshButtons();
  // Events run between ports and bytes: キャンセル stays usable meanwhile,
  // and each line shows as soon as its port is identified.
  probe_port_->SetWaitHook([] { QCoreApplication::processEvents(); });
  ScanHandsetPorts(*probe_port_, kProbeByteTimeout, [this](const ProbedPort& info) {
    records_.push_back(info);
    port_list_->addItem(FromCp932(ProbedPortLine(info)));
    QCoreApplication::processEvents();
  });
  if (records_.empty()) {
    // The empty list says why, where the user looks and a reader reads.
    auto* why = new QListWidgetItem(NothingFoundReason(), port_list_);
    why->setFlags(Qt::ItemIsEnabled);
    why->setToolTip(why->text());
  }
  rescan_button_->setEnabled(true);
  QApplication::restoreOverrideCursor();
  SelectLikelyLine();
  RefreshButtons();
}

QDialog::DialogCode PortDialog::ConfirmSelectedPort() {
  const int row = port_list_->currentRow();
  if (row < 0 || row >= static_cast<int>(records_.size()) || !port_list_->currentItem()->isSelected()) return Accepted;
  const ProbedPort info = records_[static_cast<std::size_t>(row)];
  if (!IsSupportedHandset(info)) {
    const MsgAnswer answer = ShowMessage("ファイル転送をサポートしていない機器へ接続しようとしてますが、接続しますか？",
                                         MsgIcon::Question, MsgButtons::YesNo, this);
    if (answer != MsgAnswer::Yes) return Rejected;
  }
  ShowMessage("次回接続時から設定が有効になります。", MsgIcon::Information, MsgButtons::Ok, this);
  port_name_ = info.port_name;
  vendor_name_ = info.vendor;
  model_name_ = info.model;
  return Accepted;
}

void PortDialog::AcceptSelectedPort() { done(ConfirmSelectedPort()); }

void PortDialog::AutoSelectHandset() {
  ScanPorts();
  const int index = AutoSelectIndex(records_);
  if (index < 0) {
    ShowMessage(
        "電話機が見つかりませんでした。\n"
        "ドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります。",
        MsgIcon::Error, MsgButtons::Ok, this);
    return;
  }
  port_list_->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
  port_name_ = records_[static_cast<std::size_t>(index)].port_name;
  ShowMessage("電話機を自動設定しました。", MsgIcon::Information, MsgButtons::Ok, this);
  done(ConfirmSelectedPort());
}

}  // namespace mirvo::app
