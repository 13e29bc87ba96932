// The main window's connection to the handset and what shows its state.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/port_dialog.h"
#include "app/main_window.h"
#include "app/password_dialog.h"
#include "app/qt_ui_hooks.h"
#include "app/status_panel.h"
#include "dragdrop/file_list_formats.h"
#include "protocol/trace_log.h"
#include "protocol/protocol_engine.h"
#include "serial/port_diagnosis.h"
#include "serial/probe.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kConnectFailed =
    "接続に失敗しました。\r\nドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります";
const char* const kInitFailed = "接続の初期化に失敗しました。";
const char* const kPasswordFailed =
    "何らかの理由により電話機との通信が開始できません。\r\n編集メニューのパスワード設定は電話機と一致していますか？";
const char* const kListFailed = "ファイル情報の取得に失敗しました。";
const char* const kSessionBroken = "電話機との通信が中断されました。";
const char* const kListBroken = "不正な処理が発生して、ファイル情報の取得に失敗しました。";

// Unsolicited bytes are waited for this long per byte at most, so that line
// noise never holds the window for the engine's full reply time.
constexpr int kIdleReplyTimeout = 5000;

void Trace(const std::string& utf8) {
  if (auto line = text::Utf8ToCp932(utf8)) LogWriteLine(*line);
}

}  // namespace

QString SizeText(std::int64_t bytes) {
  if (bytes > 1048576) return QString::asprintf("%.2f MB", static_cast<double>(bytes) / 1048576.0);
  if (bytes > 1024) return QString::asprintf("%.2f KB", static_cast<double>(bytes) / 1024.0);
  return QString::asprintf("%lld B", static_cast<long long>(bytes));
}

int MainWindow::Connect() {
  if (Busy || LinkOpen || Connecting) return -1;
  Connecting = true;
  serial_->Close();
  serial_->PortName = ComPort;
  SetPanel(0, U("接続中..."));
  serial_->Bps = 115200;
  int result = 0;
  if (serial_->Open()) {
    RefreshFileView();
  } else {
    const PortOpenDiagnosis why = DiagnosePortOpen(ComPort);
    Trace(PortOpenFailureReason(ComPort, why));
    const std::string hint = PortOpenHint(why, HintLanguage::Japanese);
    ShowMessage(U(kConnectFailed) + (hint.empty() ? QString() : "\r\n" + QString::fromStdString(hint)));
    SelectPort();
    Connecting = false;
    result = -1;
  }
  SetPanel(0, {});
  FinishPendingClose();
  return result;
}

void MainWindow::SerialOpen() {
  struct ClearConnecting {
    MainWindow* w;
    ~ClearConnecting() { w->Connecting = false; }
  } clear_connecting{this};

  LinkOpen = true;
  Ui().ProcessMessages();

  Busy = true;
  ProbeHandset(*serial_, VendorName, ModelName);
  Busy = false;

  // The root shows the connected picture when selected.
  QIcon root_icon(SvgPixmap("tree_off", QSize(16, 16)));
  root_icon.addPixmap(SvgPixmap("tree_on", QSize(16, 16)), QIcon::Selected);
  treeRoot_->setIcon(0, root_icon);
  treeRoot_->setText(0, FromCp932(ModelName));
  TreeView1->repaint();
  SetPanel(2, FromCp932(ComPort));
  StatusBar1->repaint();

  if (StartSession() == 0 && FetchFileList(DeviceListCache) == 0) {
    UploadPending();
    RefreshFileView();
    UpdateCommands();
  }
}

int MainWindow::StartSession() {
  if (Busy) return -1;
  Busy = true;
  if (engine_->EstablishLink() != ExchangeResult::Ok) {
    ShowMessage(U(kInitFailed));
    Busy = false;
    Disconnect();
    SelectPort();
    return -1;
  }
  const ExchangeResult r = engine_->FtStart(Password);
  Busy = false;
  if (r == ExchangeResult::Ok) {
    SessionOpen = true;
    QApplication::beep();
    return 0;
  }
  if (r == ExchangeResult::Failed) {
    ShowMessage(U(kPasswordFailed));
    LogWriteLine(text::Cp932("FT_START失敗"));
    LinkOpen = false;
  } else {
    ShowMessage(U(kInitFailed));
    LogWriteLine(text::Cp932("FT_START失敗"));
  }
  Disconnect();
  return -1;
}

int MainWindow::FetchFileList(std::vector<std::string>& list) {
  if (!SessionOpen || Busy) return -1;
  Busy = true;
  WaitCursor cursor;
  SetPanel(0, U("ファイル情報取得中..."));
  SetPanel(1, {});
  Ui().ProcessMessages();

  int result = 0;
  const ExchangeResult r = engine_->GetList(list);
  if (r == ExchangeResult::Ok) {
    QApplication::beep();
  } else {
    cursor.Release();
    Ui().ReleaseCapture();
    result = -1;
    if (r == ExchangeResult::Failed) {
      ShowMessage(U(kListFailed));
      LinkOpen = false;
      Busy = false;
      Disconnect();
    } else {
      ShowMessage(U(kListBroken));
    }
  }
  SetPanel(0, {});
  cursor.Release();
  ClearBusy();
  return result;
}

int MainWindow::Disconnect() {
  if (Busy) return -1;
  Busy = true;
  int result = -1;
  {
    WaitCursor cursor;
    if (SessionOpen) {
      SetPanel(0, U("切断中"));
      if (LinkOpen && engine_->FtEnd() == ExchangeResult::Ok) result = 0;
      SetPanel(0, {});
      QApplication::beep();
    }
    serial_->Close();
  }
  SessionOpen = false;
  LinkOpen = false;
  UpdateStatusText();
  BuildFolderTree();
  RefreshFileView();
  UpdateCommands();
  Ui().ProcessMessages();
  ClearBusy();
  return result;
}

int MainWindow::Refresh() {
  if (!SessionOpen || Busy) return -1;
  const int result = FetchFileList(DeviceListCache);
  if (result == 0) RefreshFileView();
  return result;
}

void MainWindow::HandsetEnded() {
  LinkOpen = false;
  Busy = false;
  UpdateStatusText();
  BuildFolderTree();
  RefreshFileView();
  UpdateCommands();
  FinishPendingClose();
}

void MainWindow::SerialRXCHAR() {
  if (Busy || !LinkOpen || !SessionOpen || serial_->InQueCount() == 0) return;
  Busy = true;
  const ProtocolEngine::Timeouts saved = engine_->GetTimeouts();
  ProtocolEngine::Timeouts idle = saved;
  idle.reply = std::min(saved.reply, kIdleReplyTimeout);
  engine_->SetTimeouts(idle);
  std::string discarded;
  const ExchangeResult r = engine_->WaitReply(discarded);
  engine_->SetTimeouts(saved);
  if (r == ExchangeResult::HandsetEnded) {
    HandsetEnded();
    return;
  }
  ClearBusy();
}

void MainWindow::SerialHangUp() {
  if (!LinkOpen) return;
  // The exchange under way fails on its own; the line is dealt with after it.
  if (Busy || Connecting) {
    hangUpPending_ = true;
    return;
  }
  ShowMessage(U(kSessionBroken));
  HandsetEnded();
  // The device is gone: let the port go, so that nothing more is tried on it.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (LinkOpen || Busy || Connecting) return;
        serial_->Close();
        SessionOpen = false;
        UpdateCommands();
      },
      Qt::QueuedConnection);
}

int MainWindow::SelectPort() {
  serial_->Close();
  PortDialog dialog(this);
  SetPanel(0, U("接続ポート検出中"));
  dialog.ScanPorts();
  SetPanel(0, {});
  if (dialog.exec() != QDialog::Accepted) return -1;
  VendorName = dialog.VendorName();
  ModelName = dialog.ModelName();
  ComPort = dialog.PortName();
  return 0;
}

int MainWindow::EditPassword() {
  PasswordDialog dialog(this);
  dialog.SetPassword(Password);
  if (dialog.exec() == QDialog::Accepted) Password = dialog.Password();
  return 0;
}

bool MainWindow::HasSelection() const { return listDetails_->selectionModel()->hasSelection(); }

void MainWindow::UpdateStatusText() {
  if (inStatusUpdate_) return;
  inStatusUpdate_ = true;
  if (!LinkOpen) {
    DeviceListCache.clear();
    model_->Clear();
    treeRoot_->setIcon(0, QIcon(SvgPixmap("tree_off", QSize(16, 16))));
    treeRoot_->setText(0, U("未接続"));
    qDeleteAll(treeRoot_->takeChildren());
    SetPanel(2, U("未接続"));
    panel3_->repaint();
    StatusBar1->repaint();
  }
  int count = 0;
  std::int64_t total = 0;
  for (const QItemSelectionRange& range : listDetails_->selectionModel()->selection()) {
    for (int row = range.top(); row <= range.bottom(); ++row) {
      ++count;
      const int line = model_->LineOfRow(row);
      if (line >= 0 && line < static_cast<int>(DeviceListCache.size())) total += model_->SizeOfRow(row);
    }
  }
  if (count > 0) {
    SetPanel(0, U("%1 個のファイルを選択").arg(count));
    SetPanel(1, SizeText(total));
  } else {
    SetPanel(0, {});
    SetPanel(1, {});
  }
  inStatusUpdate_ = false;
}

void MainWindow::StatusBar1DrawPanel(QPainter& painter, const QRect& rect) {
  painter.drawPixmap(rect.topLeft(), SvgPixmap(LinkOpen ? "status_on" : "status_off", QSize(16, 16)));
  const QString text = LinkOpen ? FromCp932(VendorName) + " - " + FromCp932(ModelName) : QString();
  painter.drawText(rect.adjusted(20, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, text);
}

void MainWindow::UpdateCommands() {
  const bool L = LinkOpen;
  const bool S = HasSelection();
  const QMimeData* clip = QApplication::clipboard()->mimeData();
  const bool F = dragdrop::HasFileList(clip);
  for (QAction* a : {miConnect, miPassword, miCOMPort}) a->setEnabled(!L);
  tbtnConnect->setEnabled(!L);
  for (QAction* a : {miDisconnect, miRefresh, miSearch}) a->setEnabled(L);
  for (QToolButton* b : {tbtnDisconnect, tbtnRefresh, tbtnSearch}) b->setEnabled(L);
  for (QAction* a : {miCut, miCopy, miDelete, miSelectAll, miCut1, miCopy1, miDelete1, miSelectAll1})
    a->setEnabled(S);
  for (QToolButton* b : {tbtnCut, tbtnCopy, tbtnDelete}) b->setEnabled(S);
  for (QAction* a : {miPaste, miPaste1}) a->setEnabled(L && F);
  tbtnPaste->setEnabled(L && F);
}

}  // namespace mirvo::app
