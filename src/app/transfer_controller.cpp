#include "app/transfer_controller.h"

#include <QApplication>
#include <QFile>
#include <QDateTime>
#include <QFileInfo>
#include <QStatusBar>
#include <algorithm>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/staging.h"
#include "app/transfer_progress.h"
#include "app/transfer_results_dialog.h"
#include "protocol/list_records.h"
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
// Beside the fixed texts: what a user can act on.
const char* const kCopyGuarded = "コピーガードが設定されています";
const char* const kProtected = "保護が設定されています";
// A frame lost or refused on the way; the link stands again.
const char* const kDataLost = "データが正しく届きませんでした";

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

// The fixed text stays the first line; the file follows on the second.
QString FileBox(const QString& text, const QString& about_file) {
  return about_file.isEmpty() ? text : text + "\n" + about_file;
}

// The delete question with the files it is about: ten names at most.
QString DeleteQuestion(const std::vector<HandsetFile>& files) {
  constexpr std::size_t kNamesShown = 10;
  QString text = "ファイルを削除しますか？";
  for (std::size_t i = 0; i < files.size() && i < kNamesShown; ++i) text += "\n" + FromCp932(files[i].record.name);
  if (files.size() > kNamesShown) text += QString("\n他 %1 件").arg(files.size() - kNamesShown);
  return text;
}

// Both files' sizes and dates, so that the user can tell which to keep.
QString SendReplaceQuestion(const QString& path, const QString& shown, const ListRecord& existing) {
  const QFileInfo local(path);
  QString handset_date;
  if (const std::optional<ListDate> d = ParseListDate(existing.date)) handset_date = DateTimeCell(*d);
  return QString("電話機に同じ名前のファイルがあります。置き換えますか？\n%1\n"
                 "送信するファイル: %2　%3\n電話機のファイル: %4　%5")
      .arg(shown, SizeText(local.size()), local.lastModified().toString("yyyy/MM/dd hh:mm"), SizeText(existing.size),
           handset_date);
}

std::string UploadAttributes() {
  std::string attributes = BlankAttributes();
  SetFlag(attributes, kProtectionFlag, kFlagOff);
  SetFlag(attributes, kCopyGuardFlag, kFlagOff);
  return attributes;
}

}  // namespace

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
  SessionWorker* worker = &session_.Worker();
  connect(worker, &SessionWorker::FileStarted, this, &TransferController::FileStarted);
  connect(worker, &SessionWorker::FileProgress, this, [this](qint64 bytes) {
    if (run_) progress_->FileBytes(bytes);
  });
  connect(worker, &SessionWorker::FileSettled, this, &TransferController::FileSettled);
  connect(worker, &SessionWorker::RunFinished, this, &TransferController::Finished);
  connect(worker, &SessionWorker::RunRefused, this, &TransferController::Refused);
}

bool TransferController::Begin(Run run) {
  if (run_ || session_.IsBusy() || !session_.IsSessionOpen()) return false;
  stop_requested_ = false;
  emit RunStarting();
  std::int64_t total = 0;
  for (std::int64_t size : run.sizes) total += std::max<std::int64_t>(0, size);
  if (!run.sizes.empty()) progress_->BeginRun(static_cast<int>(run.sizes.size()), total);
  run_ = std::move(run);
  session_.BeginRun();
  return true;
}

void TransferController::StopTransfer() {
  if (!run_ || stop_requested_) return;
  stop_requested_ = true;
  progress_->DisableStop();
  session_.Worker().StopJob();
}

CommandResult TransferController::DownloadSelected(FetchDone done) {
  return DownloadFiles(files_.SelectedFiles().files, std::move(done));
}

CommandResult TransferController::DownloadFiles(std::vector<HandsetFile> files, FetchDone done, Delivery deliver) {
  Run run;
  run.kind = Kind::kFetch;
  for (const HandsetFile& file : files) {
    run.names.push_back(FromCp932(BareHandsetName(file.record.name)));
    run.sizes.push_back(file.Size());
    run.refusal_reasons.push_back(FlagAt(file.record.attributes, kCopyGuardFlag) == kFlagOn ? kCopyGuarded : "");
  }
  run.files = files;
  run.fetch_done = std::move(done);
  if (!Begin(std::move(run))) return CommandResult::kRefused;
  session_.Worker().PostFetch({std::move(files), staging_dir_, std::move(deliver)});
  return CommandResult::kStarted;
}

CommandResult TransferController::UploadFiles(const QStringList& paths, const QList<dragdrop::PassedOver>& passed_over,
                                    std::function<void(int)> done) {
  QList<Upload> files;
  for (const QString& path : paths) files.push_back({path, {}, {}});
  return UploadFiles(files, passed_over, std::move(done));
}

CommandResult TransferController::UploadFiles(const QList<Upload>& uploads,
                                    const QList<dragdrop::PassedOver>& passed_over_entries,
                                    std::function<void(int)> done) {
  if (run_ || session_.IsBusy() || !session_.IsSessionOpen()) return CommandResult::kRefused;
  Run run;
  run.kind = Kind::kSend;
  run.count_done = std::move(done);
  // What a drop named that is no local file had no box of its own: the
  // results say why, first; then every file in the order given.
  int place = 0;
  auto passed_over = [&](const QString& line, const QString& reason) {
    run.results[place++] = {line, reason};
    run.failed = run.passed_over_any = true;
  };
  for (const dragdrop::PassedOver& entry : passed_over_entries) passed_over(PassedOverLine(entry.name, entry.reason), {});
  SendJob job;
  job.attributes = UploadAttributes();
  for (const auto& [path, folder, shown] : uploads) {
    const QString file_name = QFileInfo(path).fileName();
    const QString name = shown.isEmpty() ? file_name : shown;
    QString why = dragdrop::WhyNotAFile(path);
    const std::int64_t size = why.isEmpty() ? LocalFileSize(path) : -1;
    if (size == -1) {
      passed_over(PassedOverLine(name, why.isEmpty() ? QString("ファイルを読めません") : why), {});
      continue;
    }
    // A name the handset cannot take is never sent: the results say why,
    // all such names in one list, and the others go.
    const text::HandsetNameCheck check = text::CheckHandsetName(file_name.toStdString());
    std::string handset_name;
    if (!check.IsSendable() || !ToCp932(file_name, handset_name)) {
      passed_over(ResultLine(false, name), QString::fromStdString(BadLocalNameText(check)));
      continue;
    }
    job.files.push_back({QFile::encodeName(path).toStdString(), folder, handset_name, size});
    run.names.push_back(name);
    run.sizes.push_back(size);
    run.place.push_back(place++);
  }
  // Asked before anything is sent, as a save into a folder asks: the line
  // is slow, and the user need not wait by it for the next question.
  if (!AskBeforeReplacing(job, run)) return CommandResult::kRefused;
  if (!Begin(std::move(run))) return CommandResult::kRefused;
  if (job.files.empty()) {
    // Nothing to send: the run ends with what was passed over.
    QMetaObject::invokeMethod(this, &TransferController::Finished, Qt::QueuedConnection);
    return CommandResult::kStarted;
  }
  Status(StatusField::Activity, "ファイル転送中");
  session_.Worker().PostSend(std::move(job));
  return CommandResult::kStarted;
}

bool TransferController::AskBeforeReplacing(SendJob& job, Run& run) {
  if (!ask_replace_) return true;
  std::optional<ReplaceAnswer> for_all;
  for (std::size_t i = 0; i < job.files.size();) {
    const SendJob::File& file = job.files[i];
    const std::string handset_path = file.folder + file.name;
    const auto& files = session_.Listing()->Files();
    const auto existing = std::find_if(files.begin(), files.end(), [&](const HandsetFile& f) {
      return f.record.tag.empty() && SameHandsetName(f.record.name, handset_path);
    });
    if (existing == files.end()) {
      ++i;
      continue;
    }
    const ReplaceAnswer answer =
        for_all ? *for_all
                : ask_replace_(window_, SendReplaceQuestion(QFile::decodeName(file.local_path.c_str()), run.names[i],
                                                            existing->record));
    if (answer == ReplaceAnswer::Cancel) return false;
    if (answer == ReplaceAnswer::ReplaceAll || answer == ReplaceAnswer::SkipAll) for_all = answer;
    if (answer == ReplaceAnswer::Replace || answer == ReplaceAnswer::ReplaceAll) {
      ++i;
      continue;
    }
    const auto at = static_cast<std::ptrdiff_t>(i);
    job.files.erase(job.files.begin() + at);
    run.names.erase(run.names.begin() + at);
    run.sizes.erase(run.sizes.begin() + at);
    run.place.erase(run.place.begin() + at);
  }
  return true;
}

CommandResult TransferController::DeleteSelected(bool confirm) {
  if (run_ || session_.IsBusy() || !session_.IsSessionOpen()) return CommandResult::kRefused;
  std::vector<HandsetFile> selected = files_.SelectedFiles().files;
  if (confirm && ShowMessage(DeleteQuestion(selected), MsgIcon::Question, MsgButtons::OkCancel) != MsgAnswer::Ok)
    return CommandResult::kRefused;
  return DeleteFiles(std::move(selected));
}

CommandResult TransferController::DeleteFiles(std::vector<HandsetFile> files, std::function<void(int)> done) {
  Run run;
  run.kind = Kind::kDelete;
  for (const HandsetFile& file : files) {
    run.names.push_back(FromCp932(file.record.name));
    run.refusal_reasons.push_back(FlagAt(file.record.attributes, kProtectionFlag) == kFlagOn ? kProtected : "");
  }
  run.files = files;
  run.count_done = std::move(done);
  if (!Begin(std::move(run))) return CommandResult::kRefused;
  session_.Worker().PostDelete(std::move(files));
  return CommandResult::kStarted;
}

CommandResult TransferController::UploadPending() {
  if (pending_uploads_.isEmpty()) return CommandResult::kStarted;
  const QStringList paths = pending_uploads_;
  if (UploadFiles(paths) != CommandResult::kStarted) return CommandResult::kRefused;
  pending_uploads_.clear();
  return CommandResult::kStarted;
}

void TransferController::FileStarted(int index) {
  if (!run_ || index < 0 || static_cast<std::size_t>(index) >= run_->names.size()) return;
  const auto i = static_cast<std::size_t>(index);
  const QString& name = run_->names[i];
  if (run_->kind != Kind::kDelete) {
    // A fetched file settles once its copy is on disk, often after the next
    // one has begun: its bytes count as done from here.
    EndProgressOf(run_->started);
    progress_->BeginFile(run_->sizes[i]);
    run_->started = index;
  }
  switch (run_->kind) {
    case Kind::kFetch:
      Status(StatusField::Activity, QString("ファイル取得中...%1").arg(FromCp932(run_->files[i].record.name)));
      break;
    case Kind::kSend:
      Status(StatusField::Activity, QString("ファイル転送中...%1").arg(name));
      Status(StatusField::Size, SizeText(run_->sizes[i]));
      break;
    case Kind::kDelete: Status(StatusField::Activity, QString("ファイル削除中...%1").arg(name)); break;
  }
}

void TransferController::EndProgressOf(int index) {
  if (index < 0 || !run_->counted.insert(index).second) return;
  if (index != run_->started) progress_->BeginFile(run_->sizes[static_cast<std::size_t>(index)]);
  progress_->EndFile();
  if (index == run_->started) run_->started = -1;
}

void TransferController::FileFailed(int index, const QString& box, const QString& reason) {
  run_->failed = true;
  run_->results[run_->Place(index)] = {ResultLine(false, run_->names[static_cast<std::size_t>(index)]), reason};
  session_.Tell(box);
}

void TransferController::FileSettled(const FileOutcome& outcome) {
  if (!run_ || outcome.index < 0 || static_cast<std::size_t>(outcome.index) >= run_->names.size()) return;
  const auto i = static_cast<std::size_t>(outcome.index);
  if (run_->kind != Kind::kDelete) {
    // One never begun (refused before it was asked for) is counted with
    // whatever is under way ended first.
    if (run_->started != outcome.index && !run_->counted.count(outcome.index)) EndProgressOf(run_->started);
    EndProgressOf(outcome.index);
  }
  const QString& name = run_->names[i];
  switch (outcome.kind) {
    case FileOutcome::Kind::kDone:
      ++run_->done;
      run_->results[run_->Place(outcome.index)] = {ResultLine(true, name), {}};
      if (run_->kind == Kind::kFetch) {
        run_->fetched.local_paths << QString::fromStdString(outcome.local_path);
        run_->fetched.files.push_back(run_->files[i]);
        QApplication::beep();
      }
      break;
    case FileOutcome::Kind::kStopped:
      // Given up at the user's word: neither done nor failed.
      break;
    case FileOutcome::Kind::kLocal: {
      const QString why = QString::fromStdString(outcome.why);
      FileFailed(outcome.index, FileBox(kCopyFailed, AboutFile(name, why)), why.isEmpty() ? kCopyFailed : why);
      break;
    }
    case FileOutcome::Kind::kHungUp: FileFailed(outcome.index, FileBox(kHungUp, name), kHungUp); break;
    case FileOutcome::Kind::kExchange: ExchangeFailed(outcome); break;
  }
}

void TransferController::ExchangeFailed(const FileOutcome& outcome) {
  const auto i = static_cast<std::size_t>(outcome.index);
  const QString& name = run_->names[i];
  const QString reason = i < run_->refusal_reasons.size() ? run_->refusal_reasons[i] : QString();
  const char* refused = kGetRefused;
  const char* error = kCopyFailed;
  const char* broken = kBroken;
  if (run_->kind == Kind::kSend) {
    refused = kPutRefused;
    broken = kHungUp;
  } else if (run_->kind == Kind::kDelete) {
    refused = kDelRefused;
    error = kDeleteFailed;
  }
  switch (outcome.result) {
    case ExchangeResult::Refused:
      FileFailed(outcome.index, FileBox(refused, AboutFile(name, reason)), reason.isEmpty() ? QString(refused) : reason);
      return;
    case ExchangeResult::DataRefused:
    case ExchangeResult::FrameLost:
      // The link stands again: the file fails alone, its notice said why.
      FileFailed(outcome.index, FileBox(kCopyFailed, AboutFile(name, kDataLost)), kDataLost);
      return;
    case ExchangeResult::Failed: FileFailed(outcome.index, FileBox(error, name), error); return;
    default: FileFailed(outcome.index, FileBox(broken, name), broken); return;
  }
}

void TransferController::Refused(const std::string& why) {
  if (!run_) return;
  // Nothing was tried: the box says why, no results follow.
  session_.Tell(FileBox(kCopyFailed, QString::fromStdString(why)));
  run_->failed = false;
  run_->results.clear();
}

void TransferController::Finished() {
  if (!run_) return;
  Run run = std::move(*run_);
  run_.reset();
  progress_->EndRun();
  Status(StatusField::Activity, {});
  if (run.kind == Kind::kSend) Status(StatusField::Size, {});
  const bool session_lost = !session_.IsSessionOpen();
  session_.EndRun();

  QStringList lines, reasons;
  for (const auto& [place, result] : run.results) {
    lines << result.first;
    reasons << result.second;
  }
  // A session that closed under the run ends it as under any other: no
  // results, the list is gone.
  const bool results =
      !session_lost && run.failed &&
      (run.kind == Kind::kFetch ? !lines.isEmpty() : run.kind == Kind::kSend && (lines.size() >= 2 || run.passed_over_any));
  if (results) ShowResults(lines, reasons);
  if (run.kind == Kind::kFetch && !run.fetched.files.empty() && !told_staging_folder_) {
    told_staging_folder_ = true;
    QString folder = QString::fromStdString(staging_dir_);
    while (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
    emit CopiesKeptIn(folder);
  }
  emit StatusChanged();
  emit ListChanged();
  // What is left after a delete shows without the search, as the folder is.
  if (run.kind == Kind::kDelete && !session_lost) files_.ShowFolder(files_.CurrentFolderPath(), nullptr);
  // What went well is said too, where a screen reader reads it.
  if (run.done > 0 && run.kind == Kind::kSend)
    Status(StatusField::Activity, QString("%1 個のファイルを送信しました。").arg(run.done));
  if (run.done > 0 && run.kind == Kind::kDelete && !run.count_done)
    Status(StatusField::Activity, QString("%1 個のファイルを削除しました。").arg(run.done));
  if (stop_requested_) Status(StatusField::Activity, kStoppedNotice);
  run.fetched.session_lost = session_lost;
  run.fetched.stopped = stop_requested_;
  if (run.fetch_done) run.fetch_done(run.fetched);
  if (run.count_done) run.count_done(run.done);
  emit RunFinished();
}

int TransferController::ShowResults(const QStringList& lines, const QStringList& reasons) {
  int result = 0;
  {
    TransferResultsDialog dialog(window_);
    dialog.SetResults(lines, reasons);
    result = dialog.exec();
  }
  ForceForeground(window_);
  ForceActive(window_);
  return result;
}

}  // namespace mirvo::app
