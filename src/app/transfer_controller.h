// Moving files between the handset and this computer: fetching files into
// the staging folder (and on into a folder of the user's), sending local
// files, deleting handset files, the files named on the command line, the
// progress of a run in the status bar and the results of a run that had
// failures.
//
// Main thread only. A run is one job of the session's worker: it starts
// here, the worker reports each file as it settles, and the run ends when
// the worker says so; the window goes on meanwhile. One run at a time.
// Handset texts are code page 932; local paths are UTF-8.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "app/session_worker.h"
#include "app/command_result.h"
#include "app/status_field.h"
#include "dragdrop/file_list_formats.h"
#include "protocol/handset_listing.h"

class QStatusBar;
class QWidget;

namespace mirvo::app {

class FileView;
class SessionController;
class TransferProgress;

// The activity text after a run the user stopped.
inline constexpr const char* kStoppedNotice = "中止しました";

// What the user says to a file of the same name where a copy goes.
enum class ReplaceAnswer { Replace, Skip, ReplaceAll, SkipAll, Cancel };
using ReplaceAsker = std::function<ReplaceAnswer(QWidget* parent, const QString& question)>;

class TransferController : public QObject {
  Q_OBJECT

 public:
  // The progress goes into status_bar; window owns the results dialog.
  TransferController(SessionController& session, FileView& files, QStatusBar* status_bar, QWidget* window);

  // What a download run gave: the copies on disk (delivered, where the run
  // delivers) and the handset files they came from, in run order.
  struct Fetched {
    QStringList local_paths;
    std::vector<HandsetFile> files;
    bool session_lost = false;  // the session closed under the run
    bool stopped = false;       // the user stopped it
  };
  using FetchDone = std::function<void(const Fetched&)>;
  // What a run does with each copy once it is on disk, on the session's
  // thread: empty when done, else why the file failed (UTF-8).
  using Delivery = std::function<std::string(const std::string& local_path, const HandsetFile& file)>;

  // Each starts a run and returns 0, or -1 when refused (a run or another
  // job under way, no session); done runs once it has ended.
  CommandResult DownloadFiles(std::vector<HandsetFile> files, FetchDone done = {}, Delivery deliver = {});
  CommandResult DownloadSelected(FetchDone done = {});
  // A local file and the handset folder it goes into: code page 932, "\"
  // after each part, checked already; empty for the top folder. shown: its
  // name in the results (the bare file name when empty).
  struct Upload {
    QString path;
    std::string folder;
    QString shown;
  };
  // done gets the number of files sent. A path that is no regular file,
  // and each entry of passed_over (what a drop named that is no local
  // file), gets a failure line with its reason. A file the handset has
  // already is replaced only when the user says so, asked before anything
  // is sent; -1 when the user cancels there.
  CommandResult UploadFiles(const QStringList& paths, const QList<dragdrop::PassedOver>& passed_over = {},
                  std::function<void(int)> done = {});
  CommandResult UploadFiles(const QList<Upload>& files, const QList<dragdrop::PassedOver>& passed_over,
                  std::function<void(int)> done = {});
  // Asks first when confirm is set; -1 when refused or cancelled.
  CommandResult DeleteSelected(bool confirm);
  // done gets the number of files deleted.
  CommandResult DeleteFiles(std::vector<HandsetFile> files, std::function<void(int)> done = {});
  // Sends the files waiting for a session (the command line's, a second
  // start's) and forgets them.
  CommandResult UploadPending();
  void AddPendingUploads(const QStringList& paths) { pending_uploads_ += paths; }
  const QStringList& PendingUploads() const { return pending_uploads_; }
  bool HasPendingUploads() const { return !pending_uploads_.isEmpty(); }

  bool IsRunning() const { return run_.has_value(); }
  // Ends the run under way: the file in progress is given up at its next
  // data frame, the rest are not tried (Esc, 中止, closing the window).
  void StopTransfer();

  // Who is asked before a handset file is replaced.
  void SetReplaceAsker(ReplaceAsker asker) { ask_replace_ = std::move(asker); }

  const std::string& StagingDir() const { return staging_dir_; }
  void SetStagingDir(std::string dir) { staging_dir_ = std::move(dir); }
  TransferProgress& Progress() { return *progress_; }

 signals:
  void StatusText(StatusField field, const QString& text);
  // The list shows the session's files again.
  void ListChanged();
  // The selection's count and size, and the connection state, are shown again.
  void StatusChanged();
  // Once per window, after the first copies were staged: the folder that holds them.
  void CopiesKeptIn(const QString& folder);
  // A download, upload or delete run begins, and has ended.
  void RunStarting();
  void RunFinished();

 private:
  enum class Kind { kFetch, kSend, kDelete };
  struct Run {
    Kind kind = Kind::kFetch;
    std::vector<QString> names;  // each file's, as the results show it
    std::vector<std::int64_t> sizes;
    std::vector<HandsetFile> files;  // fetch and delete
    // Why the handset may refuse each file, where its list tells.
    std::vector<QString> refusal_reasons;
    // Each file's place among those the user gave (none: its index).
    std::vector<int> place;
    // The results by place: the line, and beside a failed one why.
    std::map<int, std::pair<QString, QString>> results;
    bool failed = false, passed_over_any = false;
    int done = 0;
    int started = -1;         // the file whose bytes the progress shows
    std::set<int> counted;    // files the progress has counted as done
    int Place(int index) const {
      return static_cast<std::size_t>(index) < place.size() ? place[static_cast<std::size_t>(index)] : index;
    }
    Fetched fetched;
    FetchDone fetch_done;
    std::function<void(int)> count_done;
  };
  bool Begin(Run run);
  // Drops from the job the files the user keeps on the handset; false on a cancel.
  bool AskBeforeReplacing(SendJob& job, Run& run);
  void FileStarted(int index);
  void FileSettled(const FileOutcome& outcome);
  // Counts a file as done in the progress, once.
  void EndProgressOf(int index);
  void Finished();
  void Refused(const std::string& why);
  // A failed file: its box (shown once the run ends) and its result line.
  void FileFailed(int index, const QString& box, const QString& reason);
  void ExchangeFailed(const FileOutcome& outcome);
  int ShowResults(const QStringList& lines, const QStringList& reasons);
  void Status(StatusField field, const QString& text) { emit StatusText(field, text); }

  SessionController& session_;
  FileView& files_;
  QWidget* window_;
  TransferProgress* progress_;
  std::string staging_dir_;
  QStringList pending_uploads_;
  ReplaceAsker ask_replace_;
  std::optional<Run> run_;
  bool stop_requested_ = false;
  bool told_staging_folder_ = false;
};

}  // namespace mirvo::app
