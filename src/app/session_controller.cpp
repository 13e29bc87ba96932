#include "app/session_controller.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>

#include "app/app_resources.h"
#include "app/message_box.h"
#include "app/password_dialog.h"
#include "app/port_dialog.h"
#include "serial/port_diagnosis.h"
#include "serial/probe.h"

namespace mirvo::app {
namespace {

const char* const kConnectFailed =
    "接続に失敗しました。\nドライバが正しくインストールされていないか、電話機が正しく接続されていない可能性があります";
const char* const kInitFailed = "接続の初期化に失敗しました。";
const char* const kPasswordFailed =
    "何らかの理由により電話機との通信が開始できません。\n編集メニューのパスワード設定は電話機と一致していますか？";
const char* const kListFailed = "ファイル情報の取得に失敗しました。";
const char* const kSessionBroken = "電話機との通信が中断されました。";
const char* const kListBroken = "不正な処理が発生して、ファイル情報の取得に失敗しました。";

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
    : dialogs_parent_(dialogs_parent), worker_(std::make_unique<SessionWorker>()), listing_(HandsetListing::Empty()) {
  SessionWorker* w = worker_.get();
  connect(w, &SessionWorker::Identified, this, [this](const std::string& vendor, const std::string& model) {
    vendor_name_ = vendor;
    model_name_ = model;
    link_open_ = true;
    Status(StatusField::Port, FromCp932(port_name_));
    emit HandsetIdentified();
  });
  connect(w, &SessionWorker::ConnectFinished, this, &SessionController::ConnectFinished);
  connect(w, &SessionWorker::ListReplaced, this, [this](const ListingSnapshot& listing) {
    listing_ = listing;
    emit ListChanged();
  });
  connect(w, &SessionWorker::ListFetched, this, [this](ExchangeResult r) {
    Status(StatusField::Activity, {});
    if (r == ExchangeResult::Ok) {
      QApplication::beep();
    } else if (session_open_ || r == ExchangeResult::Failed) {
      Tell(r == ExchangeResult::Failed ? kListFailed : kListBroken);
    }
    JobEnded();
  });
  connect(w, &SessionWorker::ListFailed, this,
          [this](ExchangeResult r) { Tell(r == ExchangeResult::Failed ? kListFailed : kListBroken); });
  connect(w, &SessionWorker::Notice, this, &SessionController::ShowNotice);
  connect(w, &SessionWorker::SessionEnded, this, &SessionController::SessionEnded);
  connect(w, &SessionWorker::Disconnected, this, [this](bool) {
    Status(StatusField::Activity, {});
    QApplication::beep();
    const bool was_linked = link_open_ || session_open_;
    LinkDown();
    if (was_linked) Status(StatusField::Activity, "切断しました。");
    JobEnded();
  });
  connect(w, &SessionWorker::Probed, this, &SessionController::Probed);
  w->Start();

  // Plugged in and out: the watcher's descriptor is read by the event loop.
  watcher_ = PortWatcher::Create();
  if (watcher_) {
    auto* notifier = new QSocketNotifier(watcher_->Fd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SessionController::PortsChanged);
    PortsChanged();
  }
}

SessionController::~SessionController() { worker_->Shutdown(); }

void SessionController::SetHandsetNames(std::string vendor, std::string model) {
  vendor_name_ = std::move(vendor);
  model_name_ = std::move(model);
}

void SessionController::SetTimeouts(const SerialPort::Timeouts& port, const ProtocolEngine::Timeouts& engine) {
  worker_->PostTimeouts(port, engine);
}

void SessionController::JobPosted() {
  if (jobs_++ == 0 && !connecting_) busy_cursor_.emplace();
  emit CommandsChanged();
}

void SessionController::JobEnded() {
  if (jobs_ > 0) --jobs_;
  if (IsBusy()) return;
  busy_cursor_.reset();
  ShowBoxes();
  emit CommandsChanged();
  if (!IsBusy()) emit Idle();
}

void SessionController::ShowBoxes() {
  // One at a time, in the order raised: a box's own event loop may bring
  // the next.
  if (showing_boxes_) return;
  showing_boxes_ = true;
  while (!boxes_.isEmpty()) {
    const QString text = boxes_.takeFirst();
    ReleaseCapture();
    ShowMessage(text);
  }
  showing_boxes_ = false;
}

void SessionController::Tell(const QString& text) {
  boxes_ << text;
  if (!IsBusy()) ShowBoxes();
}

CommandResult SessionController::Connect() {
  if (IsBusy() || link_open_) return CommandResult::kRefused;
  // No port yet (the dialog was cancelled): the user picks one first.
  if (port_name_.empty() && (SelectPort() != CommandResult::kStarted || port_name_.empty())) return CommandResult::kRefused;
  connecting_ = true;
  busy_cursor_.emplace();
  Status(StatusField::Activity, "接続中...");
  worker_->PostConnect(port_name_, password_);
  emit CommandsChanged();
  return CommandResult::kStarted;
}

void SessionController::ConnectFinished(const ConnectOutcome& outcome) {
  connecting_ = false;
  using Step = ConnectOutcome::Step;
  bool select_port = false;
  switch (outcome.step) {
    case Step::kReady:
    case Step::kListBroken:
      session_open_ = true;
      QApplication::beep();
      break;
    case Step::kPortNotOpened:
      boxes_ << QString(kConnectFailed) + "\n" + PortNotOpened(port_name_, outcome.diagnosis);
      select_port = true;
      break;
    case Step::kNoLink:
      boxes_ << kInitFailed;
      select_port = true;
      break;
    case Step::kPasswordRefused: boxes_ << kPasswordFailed; break;
    case Step::kNotStarted: boxes_ << kInitFailed; break;
    case Step::kListFailed: boxes_ << kListFailed; break;
  }
  if (outcome.step == Step::kListBroken) boxes_ << kListBroken;
  if (!session_open_) LinkDown();
  // Said where a screen reader reads it, and left until the next activity.
  Status(StatusField::Activity, session_open_ ? QString("接続しました。") : QString());
  busy_cursor_.reset();
  ShowBoxes();
  emit CommandsChanged();
  if (select_port) SelectPort();
  if (outcome.step == Step::kReady) {
    QApplication::beep();
    emit ListChanged();
    emit SessionReady();
  }
  if (!IsBusy()) emit Idle();
}

CommandResult SessionController::Disconnect() {
  if (IsBusy()) return CommandResult::kRefused;
  // The session ended already; the worker let the port go with it.
  if (!link_open_ && !session_open_) {
    LinkDown();
    return CommandResult::kStarted;
  }
  if (session_open_) Status(StatusField::Activity, "切断中");
  JobPosted();
  worker_->PostDisconnect();
  return CommandResult::kStarted;
}

void SessionController::LinkDown() {
  const bool was = link_open_ || session_open_;
  link_open_ = session_open_ = false;
  listing_ = HandsetListing::Empty();
  if (was) emit ConnectionLost();
  emit CommandsChanged();
}

void SessionController::SessionEnded(SessionEnd why) {
  // A run says what ended it beside its file; outside one the user hears of
  // a line that went away here. The handset's own end has its notice.
  if (why == SessionEnd::kHungUp && runs_ == 0) Tell(kSessionBroken);
  LinkDown();
  if (why == SessionEnd::kHungUp && auto_connect_ && watcher_)
    Status(StatusField::Activity, "電話機がつながるのを待っています。");
}

void SessionController::PortsChanged() {
  const std::vector<PortChange> changes = watcher_->TakeChanges();
  // The ports there at start are the user's to pick; only one that comes
  // later is looked at.
  const bool at_start = !ports_known_;
  ports_known_ = true;
  if (at_start) return;
  for (const PortChange& change : changes) {
    if (change.kind == PortChange::Kind::kGone) continue;
    if (link_open_ || session_open_ || IsBusy()) continue;
    if (!PortIsFreeToProbe(change.port.device)) continue;
    JobPosted();
    worker_->PostProbe(change.port.com_name.empty() ? change.port.device : change.port.com_name);
  }
}

void SessionController::Probed(const std::string& port_name, const std::string& vendor, const std::string& model) {
  JobEnded();
  if (vendor.empty() && model.empty()) return;
  const ProbedPort info{port_name, vendor, model};
  // The handset saved is connected wherever it comes back; any handset
  // when none is saved yet. Another is named, and waits for the user.
  const bool saved = !vendor_name_.empty() || !model_name_.empty();
  const bool ours = saved ? vendor == vendor_name_ && model == model_name_ : IsSupportedHandset(info);
  if (ours && auto_connect_ && !link_open_ && !IsBusy()) {
    port_name_ = port_name;
    Connect();
    return;
  }
  if (ours || IsSupportedHandset(info))
    Status(StatusField::Activity, QString("電話機が接続されました: %1（%2 - %3）。「接続」で接続できます。")
                                      .arg(FromCp932(port_name), FromCp932(vendor), FromCp932(model)));
}

void SessionController::ShowNotice(EngineNotice notice) {
  switch (notice) {
    case EngineNotice::kCrcError: Tell("受信:CRCエラー"); break;
    case EngineNotice::kHandsetEnded: Tell(kSessionBroken); break;
    case EngineNotice::kListFailed: Tell("データリスト取得失敗"); break;
  }
}

CommandResult SessionController::Refresh() {
  if (!session_open_ || IsBusy()) return CommandResult::kRefused;
  Status(StatusField::Activity, "ファイル情報取得中...");
  Status(StatusField::Size, {});
  JobPosted();
  worker_->PostFetchList();
  return CommandResult::kStarted;
}

void SessionController::BeginRun() {
  ++runs_;
  JobPosted();
}

void SessionController::EndRun() {
  if (runs_ > 0) --runs_;
  JobEnded();
}

CommandResult SessionController::SelectPort() {
  if (IsBusy() || link_open_) return CommandResult::kRefused;
  PortDialog dialog(dialogs_parent_);
  Status(StatusField::Activity, "接続ポート検出中");
  dialog.ScanPorts();
  Status(StatusField::Activity, {});
  if (dialog.exec() != QDialog::Accepted) return CommandResult::kRefused;
  vendor_name_ = dialog.VendorName();
  model_name_ = dialog.ModelName();
  port_name_ = dialog.PortName();
  return CommandResult::kStarted;
}

CommandResult SessionController::EditPassword() {
  PasswordDialog dialog(dialogs_parent_);
  dialog.SetPassword(password_);
  if (dialog.exec() == QDialog::Accepted) password_ = dialog.Password();
  return CommandResult::kStarted;
}

}  // namespace mirvo::app
