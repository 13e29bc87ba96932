#include "app/transfer_controller.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QStatusBar>
#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "app/app_resources.h"
#include "app/file_view.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/staging.h"
#include "app/status_panel.h"
#include "app/transfer_progress.h"
#include "app/transfer_results_dialog.h"
#include "core/committer.h"
#include "protocol/list_records.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "text/cp932.h"
#include "text/handset_name.h"

namespace mirvo::app {
namespace {

const char* const kCopyFailed = "ファイルのコピーに失敗しました。";
const char* const kDeleteFailed = "ファイルの削除に失敗しました。";
const char* const kGetRefused = "指定したファイルがありません。またはコピー不可のファイルです。";
const char* const kPutRefused = "ファイルサイズが大きすぎるか、ファイルのコピーが許可されていません。";
const char* const kDelRefused = "ファイルが存在しないか、ファイルの削除が許可されていません。";
const char* const kBroken = "不正な処理が発生しました。切断します。";
const char* const kBadLocalName = "ファイル名に電話機で使えない文字が含まれています。";
const char* const kHungUp = "電話機との通信が中断されました。";
const char* const kPutBroken = kHungUp;
// Beside the fixed texts: what a user can act on.
const char* const kCopyGuarded = "コピーガードが設定されています";
const char* const kProtected = "保護が設定されています";

QString ResultLine(bool ok, const QString& name) {
  return QString(ok ? "転送成功 … %1" : "転送失敗 … %1").arg(name);
}

// Names the character the handset cannot take in a file name.
std::string BadLocalNameText(const text::HandsetNameCheck& check) {
  switch (check.fault) {
    case text::HandsetNameFault::kLeadingHash:
      return "ファイル名の先頭の「#」は電話機で使えません。";
    case text::HandsetNameFault::kEmpty:
    case text::HandsetNameFault::kDotPart:
      return kBadLocalName;
    default:
      return "ファイル名に電話機で使えない文字「" + check.ShownCharacter() + "」が含まれています。";
  }
}

QString PassedOverLine(const QString& name, const QString& why) {
  return ResultLine(false, name) + QString("（%1）").arg(why);
}

// The second line of a box about one file: its name and, where known, why.
QString AboutFile(const QString& name, const QString& reason) {
  return reason.isEmpty() ? name : name + "（" + reason + "）";
}

// The delete question with the files it is about: ten names at most.
QString DeleteQuestion(const std::vector<std::string>& lines) {
  constexpr std::size_t kNamesShown = 10;
  QString text = "ファイルを削除しますか？";
  for (std::size_t i = 0; i < lines.size() && i < kNamesShown; ++i) {
    ListRecord item;
    ParseListLine(lines[i], item);
    text += "\r\n" + FromCp932(item.name);
  }
  if (lines.size() > kNamesShown) text += QString("\r\n他 %1 件").arg(lines.size() - kNamesShown);
  return text;
}

std::string UploadAttributes() {
  std::string attributes = BlankAttributes();
  SetFlag(attributes, kProtectionFlag, kFlagOff);
  SetFlag(attributes, kCopyGuardFlag, kFlagOff);
  return attributes;
}

// A failure message of a transfer, with the pointer as an arrow: the
// hourglass of the run would stand over the box.
MsgAnswer TransferBox(const QString& text, MsgIcon icon = MsgIcon::Error, MsgButtons buttons = MsgButtons::Ok) {
  int cursors = 0;
  for (; QApplication::overrideCursor(); ++cursors) QApplication::restoreOverrideCursor();
  ReleaseCapture();
  const MsgAnswer answer = ShowMessage(text, icon, buttons);
  for (int i = 0; i < cursors; ++i) QApplication::setOverrideCursor(Qt::WaitCursor);
  return answer;
}

// The fixed text stays the first line; the file follows on the second.
void TransferError(const QString& text, const QString& about_file) {
  TransferBox(about_file.isEmpty() ? text : text + "\r\n" + about_file);
}

}  // namespace

// The session's busy flag and the status of one single-file exchange, put
// back on every way out.
class TransferController::OneFileExchange {
 public:
  OneFileExchange(TransferController& transfers, bool shows_size) : transfers_(transfers), shows_size_(shows_size) {
    transfers_.session_.BeginExchange();
  }
  ~OneFileExchange() {
    transfers_.Status(StatusField::Activity, {});
    if (shows_size_) transfers_.Status(StatusField::Size, {});
    transfers_.session_.EndExchange();
  }
  OneFileExchange(const OneFileExchange&) = delete;
  OneFileExchange& operator=(const OneFileExchange&) = delete;

 private:
  TransferController& transfers_;
  const bool shows_size_;
};

// A download run's copies on their way to disk: each is written, synced and
// renamed on the committer's thread while the next file comes.
struct TransferController::PendingCopies {
  struct Copy {
    std::string relative, local_path;
    QString name;
  };
  bool InFlight(const std::string& relative) const {
    return std::any_of(copies.begin(), copies.end(), [&](const auto& c) { return c.second.relative == relative; });
  }
  std::map<std::size_t, Copy> copies;  // by the run's file index
  Committer committer{1, [] { QCoreApplication::processEvents(); }};
};

TransferController::TransferController(SessionController& session, FileView& files, QStatusBar* status_bar,
                                       QWidget* window)
    : QObject(window),
      session_(session),
      files_(files),
      window_(window),
      progress_(new TransferProgress(status_bar)),
      staging_dir_(StagingDirPath()) {
  connect(progress_, &TransferProgress::StopClicked, this, &TransferController::StopTransfer);
  status_bar->addPermanentWidget(progress_);
  // A fast line never makes the engine wait: the window is served here.
  session_.Engine().On().progress = [this](std::int64_t done) {
    if (progress_->FileBytes(done)) QCoreApplication::processEvents();
  };
}

void TransferController::StopTransfer() {
  if (!progress_->isVisible()) return;
  stop_requested_ = true;
  progress_->DisableStop();
}

int TransferController::ExchangeFailed(ExchangeResult result, const char* refused, const char* error,
                                       const char* broken, const QString& name, const QString& refusal_reason) {
  // A line that hung up says so, whatever the engine made of it: a reply
  // that never came may read as a refusal.
  if (session_.Port().HasHungUp()) {
    Failure(kHungUp);
    TransferError(kHungUp, name);
    session_.DropSession(true);
    return -1;
  }
  // A refusal leaves the session open; "ERROR" means the handset has given
  // up the link; anything else is a broken exchange.
  if (result == ExchangeResult::Refused) {
    Failure(refusal_reason.isEmpty() ? QString(refused) : refusal_reason);
    TransferError(refused, AboutFile(name, refusal_reason));
    return -2;
  }
  const char* text = result == ExchangeResult::Failed ? error : broken;
  Failure(text);
  TransferError(text, name);
  session_.DropSession(result == ExchangeResult::Failed);
  return -1;
}

int TransferController::LocalFailure(const QString& text, const QString& name, const QString& reason) {
  Failure(reason.isEmpty() ? text : reason);
  TransferError(text, AboutFile(name, reason));
  return -2;
}

int TransferController::DownloadOneFile(const std::string& dir, const std::string& line) {
  if (!session_.IsSessionOpen() || session_.IsBusy()) return -1;
  failure_reason_.clear();
  StagingRun run;
  std::string why, local_path;
  if (!run.Open(dir, why)) return LocalFailure(kCopyFailed, {}, QString::fromStdString(why));
  return FetchIntoRun(run, line, local_path);
}

int TransferController::FetchIntoRun(StagingRun& run, const std::string& line, std::string& local_path,
                                     PendingCopies* pending, std::size_t index) {
  if (!session_.IsSessionOpen() || session_.IsBusy()) return -1;
  failure_reason_.clear();
  std::string data;
  ListRecord item;
  ParseListLine(line, item);
  const QString name = FromCp932(item.name);
  WaitCursor cursor;
  const OneFileExchange exchange(*this, false);
  std::string why;
  // A name with no local form, or whose copy this run already wrote, is
  // never fetched: its handset file must not count as copied.
  const std::optional<std::string> target = run.Target(item, why);
  if (!target) {
    cursor.Release();
    return LocalFailure(kCopyFailed, name, QString::fromStdString(why));
  }
  Status(StatusField::Activity, QString("ファイル取得中...%1").arg(name));
  QCoreApplication::processEvents();
  const ExchangeResult r = session_.Engine().GetFile(data, item.tag + item.folder + item.name);
  QCoreApplication::processEvents();
  if (r == ExchangeResult::Ok && pending) {
    local_path = run.FolderPath() + "/" + *target;
    auto copy = std::make_shared<const std::string>(std::move(data));
    pending->committer.Submit(index, [&run, relative = *target, copy, date = item.date](std::string& failure) {
      return run.Write(relative, *copy, date, failure);
    });
    pending->copies[index] = {*target, local_path, name};
    return 0;
  }
  if (r == ExchangeResult::Ok) {
    if (!run.Write(*target, data, item.date, why, [] { QCoreApplication::processEvents(); })) {
      cursor.Release();
      return LocalFailure(kCopyFailed, name, QString::fromStdString(why));
    }
    local_path = run.FolderPath() + "/" + *target;
    QApplication::beep();
    return 0;
  }
  cursor.Release();
  const bool guarded = FlagAt(item.attributes, kCopyGuardFlag) == kFlagOn;
  return ExchangeFailed(r, kGetRefused, kCopyFailed, kBroken, name, guarded ? kCopyGuarded : "");
}

int TransferController::UploadOneFile(const std::string& folder, const QString& path, const std::string& attributes) {
  if (!session_.IsSessionOpen() || session_.IsBusy()) return -1;
  failure_reason_.clear();
  const OneFileExchange exchange(*this, true);
  const QString name = QFileInfo(path).fileName();
  Status(StatusField::Activity, QString("ファイル転送中...%1").arg(name));
  const std::int64_t size = LocalFileSize(path);
  Status(StatusField::Size, size == -1 ? QString() : SizeText(size));
  if (const text::HandsetNameCheck check = text::CheckHandsetName(name.toStdString()); !check.IsSendable())
    return LocalFailure(QString::fromStdString(BadLocalNameText(check)), name, {});
  ExchangeResult r = ExchangeResult::Broken;
  try {
    r = session_.Engine().PutFile(folder, QFile::encodeName(path).toStdString(), attributes);
  } catch (const std::bad_alloc&) {
    // Where the exchange stood is unknown: a broken one, this file failed.
  }
  if (r == ExchangeResult::Ok) return 0;
  return ExchangeFailed(r, kPutRefused, kCopyFailed, kPutBroken, name, {});
}

int TransferController::DeleteOneFile(const std::string& line) {
  if (!session_.IsSessionOpen() || session_.IsBusy()) return -1;
  failure_reason_.clear();
  ListRecord item;
  ParseListLine(line, item);
  const QString name = FromCp932(item.name);
  WaitCursor cursor;
  const OneFileExchange exchange(*this, false);
  Status(StatusField::Activity, QString("ファイル削除中...%1").arg(name));
  const ExchangeResult r = session_.Engine().DelFile(item.tag + item.folder + item.name);
  if (r == ExchangeResult::Ok) return 0;
  cursor.Release();
  const bool is_protected = FlagAt(item.attributes, kProtectionFlag) == kFlagOn;
  return ExchangeFailed(r, kDelRefused, kDeleteFailed, kBroken, name, is_protected ? kProtected : "");
}

int TransferController::DownloadSelected(QStringList& local_paths) {
  return DownloadFiles(files_.SelectedFiles().lines, local_paths);
}

int TransferController::DownloadFiles(const std::vector<std::string>& lines, QStringList& local_paths,
                                      const Delivery& deliver) {
  last_downloaded_.clear();
  bool failed = false;
  RunResults results;
  const int files = static_cast<int>(lines.size());
  std::string why;
  StagingRun run;
  if (files > 0 && session_.IsSessionOpen() && !run.Open(staging_dir_, why)) {
    ShowMessage(QString(kCopyFailed) + "\r\n" + QString::fromStdString(why));
    return -1;
  }
  emit RunStarting();
  stop_requested_ = false;
  WaitCursor cursor;
  if (files > 0) {
    std::int64_t bytes = 0;
    for (const std::string& line : lines) {
      ListRecord item;
      if (ParseListLine(line, item) == 0) bytes += std::max<std::int64_t>(0, item.size);
    }
    progress_->BeginRun(files, bytes);
  }
  struct EndRun {
    TransferProgress* p;
    ~EndRun() { p->EndRun(); }
  } end_run{progress_};
  // Each file's result line, by its place in the run: copies settle later.
  std::map<std::size_t, std::pair<bool, QString>> outcomes;
  std::vector<QString> names(lines.size());
  PendingCopies pending;
  // A copy counts as fetched (listed, and so deletable by a cut) only once
  // it is on disk; a failed one fails its file as a write here always did.
  auto settle = [&](const std::vector<Committer::Result>& done) {
    for (const Committer::Result& c : done) {
      auto node = pending.copies.extract(c.tag);
      if (node.empty()) continue;  // its file failed already (see the catch below)
      const PendingCopies::Copy& copy = node.mapped();
      if (c.ok) {
        // A copy the run delivers elsewhere counts only once delivered.
        if (deliver) {
          if (const QString why = deliver(copy.local_path, lines[c.tag]); !why.isEmpty()) {
            failed = true;
            outcomes[c.tag] = {false, why};
            continue;
          }
        }
        last_downloaded_.push_back(lines[c.tag]);
        local_paths << QString::fromStdString(copy.local_path);
        outcomes[c.tag] = {true, {}};
        QApplication::beep();
        continue;
      }
      failed = true;
      LocalFailure(kCopyFailed, copy.name, QString::fromStdString(c.why));
      outcomes[c.tag] = {false, failure_reason_};
    }
  };
  bool session_lost = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    settle(pending.committer.TakeDone());
    const std::string& line = lines[i];
    if (!session_.IsSessionOpen()) {
      session_lost = true;
      break;
    }
    if (StopWanted()) break;
    ListRecord item;
    ParseListLine(line, item);
    names[i] = FromCp932(BareHandsetName(item.name));
    // A second file for a copy still on its way waits for it, so that the
    // run refuses it as it always has.
    if (const auto relative = StagedRelativePath(item); relative && pending.InFlight(*relative))
      settle(pending.committer.Finish());
    progress_->BeginFile(item.size);
    int r = -100;
    std::string local_path;
    try {
      r = FetchIntoRun(run, line, local_path, &pending, i);
    } catch (...) {
      // A file that could not be had (memory, for one) fails alone.
      r = -2;
    }
    progress_->EndFile();
    if (r == 0) continue;
    failed = true;
    if (r == -1 || r == -2) outcomes[i] = {false, failure_reason_};
    if (r == -1) session_.DropSession(true);
  }
  settle(pending.committer.Finish());
  for (const auto& [i, outcome] : outcomes) results.Add(outcome.first, names[i], outcome.second);
  // A session that closed under the last file ends the run as under any other.
  if (session_lost || !session_.IsSessionOpen()) return -1;
  if (!results.lines.isEmpty() && failed) ShowResults(results);
  if (!last_downloaded_.empty() && !told_staging_folder_) {
    told_staging_folder_ = true;
    emit CopiesKeptIn(QString::fromStdString(run.FolderPath()));
  }
  emit ListChanged();
  cursor.Release();
  if (stop_requested_) Status(StatusField::Activity, kStoppedNotice);
  return 0;
}

int TransferController::UploadFiles(const QStringList& paths, const QList<dragdrop::PassedOver>& passed_over) {
  QList<Upload> files;
  for (const QString& path : paths) files.push_back({path, {}, {}});
  return UploadFiles(files, passed_over);
}

int TransferController::UploadFiles(const QList<Upload>& uploads, const QList<dragdrop::PassedOver>& passed_over) {
  if (!session_.IsSessionOpen()) return -1;
  int sent = 0;
  bool changed = false, failed = !passed_over.isEmpty(), session_lost = false;
  // A file passed over had no box of its own: the results say why.
  bool passed_over_any = failed;
  RunResults results;
  for (const dragdrop::PassedOver& entry : passed_over) {
    results.lines << PassedOverLine(entry.name, entry.reason);
    results.reasons << QString();
  }
  std::optional<WaitCursor> cursor;
  if (!uploads.isEmpty()) cursor.emplace();
  // The progress counts only what will be sent.
  int files = 0;
  std::int64_t total = 0;
  for (const auto& [path, folder, shown] : uploads) {
    if (!dragdrop::WhyNotAFile(path).isEmpty()) continue;
    ++files;
    total += std::max<std::int64_t>(0, LocalFileSize(path));
  }
  emit RunStarting();
  stop_requested_ = false;
  if (files > 0) progress_->BeginRun(files, total);
  const std::string attributes = UploadAttributes();
  for (const auto& [path, folder, shown] : uploads) {
    if (!session_.IsSessionOpen()) {
      session_lost = true;
      break;
    }
    if (StopWanted()) break;
    Status(StatusField::Activity, "ファイル転送中");
    QString why = dragdrop::WhyNotAFile(path);
    const std::int64_t size = why.isEmpty() ? LocalFileSize(path) : -1;
    if (size == -1) {
      if (why.isEmpty()) why = "ファイルを読めません";
      results.lines << PassedOverLine(shown.isEmpty() ? QFileInfo(path).fileName() : shown, why);
      results.reasons << QString();
      failed = passed_over_any = true;
      continue;
    }
    progress_->BeginFile(size);
    const int r = UploadOneFile(folder, path, attributes);
    progress_->EndFile();
    const QString name = shown.isEmpty() ? QFileInfo(path).fileName() : shown;
    if (r == 0) {
      ++sent;
      std::string handset_name;
      ToCp932(QFileInfo(path).fileName(), handset_name);
      handset_name.insert(0, folder);
      std::string line = MakeListLine({}, handset_name, size, {}, attributes);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      session_.Lines().push_back(std::move(line));
      changed = true;
      results.Add(true, name, {});
    } else {
      results.Add(false, name, failure_reason_);
      failed = true;
    }
  }
  progress_->EndRun();
  if (!session_lost && (results.lines.size() >= 2 || passed_over_any) && failed) ShowResults(results);
  emit StatusChanged();
  cursor.reset();
  // Whether or not the list came again, the view shows what the session
  // holds, the files just sent included.
  if (changed) {
    session_.FetchFileList();
    emit ListChanged();
  }
  if (stop_requested_) Status(StatusField::Activity, kStoppedNotice);
  return sent;
}

int TransferController::DeleteSelected(bool confirm) {
  if (session_.IsBusy()) return -1;
  const FileView::Selection selected = files_.SelectedFiles();
  if (confirm && ShowMessage(DeleteQuestion(selected.lines), MsgIcon::Question, MsgButtons::OkCancel) != MsgAnswer::Ok)
    return -1;
  emit RunStarting();
  std::vector<std::string>& lines = session_.Lines();
  for (const std::string& line : selected.lines) {
    if (!session_.IsSessionOpen()) return -1;
    if (DeleteOneFile(line) != 0) continue;
    const auto it = std::find(lines.begin(), lines.end(), line);
    if (it != lines.end()) lines.erase(it);
  }
  if (!session_.IsSessionOpen()) return -1;
  files_.ShowLines(files_.CurrentFolderPath(), lines, nullptr);
  return 0;
}

int TransferController::UploadPending() {
  const QStringList paths = pending_uploads_;
  pending_uploads_.clear();
  return UploadFiles(paths);
}

void TransferController::RunResults::Add(bool ok, const QString& name, const QString& reason) {
  lines << ResultLine(ok, name);
  reasons << (ok ? QString() : reason);
}

int TransferController::ShowResults(const RunResults& results) {
  int result = 0;
  {
    TransferResultsDialog dialog(window_);
    dialog.SetResults(results.lines, results.reasons);
    result = dialog.exec();
  }
  ForceForeground(window_);
  ForceActive(window_);
  return result;
}

}  // namespace mirvo::app
