#include "app/session_controller.h"

#include <QApplication>
#include <QDialog>
#include <algorithm>

#include "app/app_resources.h"
#include "app/password_dialog.h"
#include "app/port_dialog.h"
#include "app/message_box.h"
#include "app/status_panel.h"
#include "protocol/protocol_engine.h"
#include "protocol/trace_log.h"
#include "serial/port_diagnosis.h"
#include "serial/probe.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

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

// The line under the failure: always the device, and the fix where known.
QString PortNotOpened(const std::string& port_name, const PortOpenDiagnosis& why) {
  const std::string hint = PortOpenHint(why, HintLanguage::Japanese);
  if (!hint.empty()) return QString::fromStdString(hint);
  const QString port = FromCp932(port_name);
  if (why.device.empty()) return QString("%1 に当たるデバイスがありません。").arg(port);
  return QString("%1（%2）を開けませんでした。").arg(port, QString::fromStdString(why.device));
}

}  // namespace

SessionController::SessionController(QWidget* dialogs_parent)
    : dialogs_parent_(dialogs_parent), port_(std::make_unique<SerialPort>()) {
  // The line settings for the handset.
  SerialPort& port = *port_;
  SerialSettings settings = port.GetSettings();
  settings.baud_rate = 115200;
  port.SetSettings(settings);
  port.SetTimeouts({.read_ms = 180000, .write_ms = 60000, .read_interval_ms = 180000});
  SerialPort::Callbacks callbacks;
  callbacks.on_opened = [this] { PortOpened(); };
  callbacks.on_bytes_received = [this] { BytesReceived(); };
  callbacks.on_hang_up = [this] { HungUp(); };
  port.SetCallbacks(std::move(callbacks));
  // Line-state changes need no action here, so they are not watched.
  port.SetEventPoster([this](std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
  });
  // The window stays live while the handset keeps the engine waiting.
  port.SetWaitHook([] { QCoreApplication::processEvents(); });

  engine_ = std::make_unique<ProtocolEngine>(port);
  engine_->On().handset_ended = [this] { HandsetEnded(); };
  engine_->On().notice = [](EngineNotice notice) {
    switch (notice) {
      case EngineNotice::kCrcError: ShowMessage("受信:CRCエラー"); break;
      case EngineNotice::kHandsetEnded:
        ReleaseCapture();
        ShowMessage(kSessionBroken);
        break;
      case EngineNotice::kListFailed: ShowMessage("データリスト取得失敗"); break;
    }
  };
}

SessionController::~SessionController() {
  // A hand-over still pending when the port closes must not reach a
  // controller that is going away; the engine talks through the port, so it
  // goes first.
  port_->SetCallbacks({});
  engine_.reset();
  port_.reset();
}

void SessionController::SetHandsetNames(std::string vendor, std::string model) {
  vendor_name_ = std::move(vendor);
  model_name_ = std::move(model);
}

int SessionController::Connect() {
  if (busy_ || link_open_ || connecting_) return -1;
  connecting_ = true;
  port_->Close();
  SerialSettings settings = port_->GetSettings();
  settings.port_name = port_name_;
  Status(StatusField::Activity, "接続中...");
  settings.baud_rate = 115200;
  port_->SetSettings(settings);
  int result = 0;
  if (port_->Open()) {
    emit ListChanged();
  } else {
    const PortOpenDiagnosis why = DiagnosePortOpen(port_name_);
    Trace(PortOpenFailureReason(port_name_, why));
    ShowMessage(kConnectFailed + QString("\r\n") + PortNotOpened(port_name_, why));
    SelectPort();
    connecting_ = false;
    result = -1;
  }
  // Said where a screen reader reads it, and left until the next activity.
  Status(StatusField::Activity, session_open_ ? QString("接続しました。") : QString());
  FinishPending();
  return result;
}

// Runs inside the port's Open.
void SessionController::PortOpened() {
  struct ClearConnecting {
    bool& connecting;
    ~ClearConnecting() { connecting = false; }
  } clear_connecting{connecting_};

  link_open_ = true;
  QCoreApplication::processEvents();

  busy_ = true;
  ProbeHandset(*port_, vendor_name_, model_name_);
  busy_ = false;

  Status(StatusField::Port, FromCp932(port_name_));
  emit HandsetIdentified();

  if (StartSession() == 0 && FetchFileList() == 0) emit SessionReady();
}

int SessionController::StartSession() {
  if (busy_) return -1;
  busy_ = true;
  if (engine_->EstablishLink() != ExchangeResult::Ok) {
    ShowMessage(kInitFailed);
    busy_ = false;
    Disconnect();
    SelectPort();
    return -1;
  }
  const ExchangeResult r = engine_->FtStart(password_);
  busy_ = false;
  if (r == ExchangeResult::Ok) {
    session_open_ = true;
    QApplication::beep();
    return 0;
  }
  if (r == ExchangeResult::Failed) {
    ShowMessage(kPasswordFailed);
    LogWriteLine(text::Cp932("FT_START失敗"));
    link_open_ = false;
  } else {
    ShowMessage(kInitFailed);
    LogWriteLine(text::Cp932("FT_START失敗"));
  }
  Disconnect();
  return -1;
}

int SessionController::FetchFileList() {
  if (!session_open_ || busy_) return -1;
  busy_ = true;
  WaitCursor cursor;
  Status(StatusField::Activity, "ファイル情報取得中...");
  Status(StatusField::Size, {});
  QCoreApplication::processEvents();

  int result = 0;
  const ExchangeResult r = engine_->GetList(lines_);
  if (r == ExchangeResult::Ok) {
    QApplication::beep();
  } else {
    cursor.Release();
    ReleaseCapture();
    result = -1;
    if (r == ExchangeResult::Failed) {
      ShowMessage(kListFailed);
      DropSession(true);
    } else {
      ShowMessage(kListBroken);
    }
  }
  Status(StatusField::Activity, {});
  cursor.Release();
  EndExchange();
  return result;
}

int SessionController::Disconnect() {
  if (busy_) return -1;
  busy_ = true;
  const bool was_linked = link_open_ || session_open_;
  int result = -1;
  {
    WaitCursor cursor;
    if (session_open_) {
      Status(StatusField::Activity, "切断中");
      if (link_open_ && engine_->FtEnd() == ExchangeResult::Ok) result = 0;
      Status(StatusField::Activity, {});
      QApplication::beep();
    }
    port_->Close();
  }
  session_open_ = false;
  link_open_ = false;
  emit ConnectionLost();
  if (was_linked) Status(StatusField::Activity, "切断しました。");
  QCoreApplication::processEvents();
  EndExchange();
  return result;
}

void SessionController::DropSession(bool handset_gave_up) {
  if (handset_gave_up) link_open_ = false;
  busy_ = false;
  Disconnect();
}

int SessionController::Refresh() {
  if (!session_open_ || busy_) return -1;
  const int result = FetchFileList();
  if (result == 0) emit ListChanged();
  return result;
}

void SessionController::HandsetEnded() {
  link_open_ = false;
  busy_ = false;
  emit ConnectionLost();
  FinishPending();
}

void SessionController::EndExchange() {
  busy_ = false;
  FinishPending();
}

void SessionController::FinishPending() {
  if (hang_up_pending_ && !busy_ && !connecting_) {
    hang_up_pending_ = false;
    QMetaObject::invokeMethod(this, &SessionController::HungUp, Qt::QueuedConnection);
  }
  if (!busy_ && !connecting_) emit Idle();
}

void SessionController::BytesReceived() {
  if (busy_ || !link_open_ || !session_open_ || port_->BytesAvailable() == 0) return;
  busy_ = true;
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
  EndExchange();
}

void SessionController::HungUp() {
  if (!link_open_) return;
  // The exchange under way fails on its own; the line is dealt with after it.
  if (busy_ || connecting_) {
    hang_up_pending_ = true;
    return;
  }
  ShowMessage(kSessionBroken);
  HandsetEnded();
  // The device is gone: let the port go, so that nothing more is tried on it.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (link_open_ || busy_ || connecting_) return;
        port_->Close();
        session_open_ = false;
        emit CommandsChanged();
      },
      Qt::QueuedConnection);
}

int SessionController::SelectPort() {
  port_->Close();
  PortDialog dialog(dialogs_parent_);
  Status(StatusField::Activity, "接続ポート検出中");
  dialog.ScanPorts();
  Status(StatusField::Activity, {});
  if (dialog.exec() != QDialog::Accepted) return -1;
  vendor_name_ = dialog.VendorName();
  model_name_ = dialog.ModelName();
  port_name_ = dialog.PortName();
  return 0;
}

int SessionController::EditPassword() {
  PasswordDialog dialog(dialogs_parent_);
  dialog.SetPassword(password_);
  if (dialog.exec() == QDialog::Accepted) password_ = dialog.Password();
  return 0;
}

}  // namespace mirvo::app
