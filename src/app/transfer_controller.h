// Moving files between the handset and this computer: fetching the
// selected files into the staging folder, sending local files, deleting
// handset files, the files named on the command line, the progress of a
// run in the status bar and the results of a run that had failures.
//
// Main thread only; every exchange goes through the session and holds its
// busy flag. Handset texts are code page 932; local paths are UTF-8.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/status_field.h"
#include "dragdrop/file_list_formats.h"

class QStatusBar;
class QWidget;

namespace mirvo {
enum class ExchangeResult : int;
}  // namespace mirvo

namespace mirvo::app {

class FileView;
class SessionController;
class StagingRun;
class TransferProgress;

// The activity text after a run the user stopped.
inline constexpr const char* kStoppedNotice = "中止しました";

class TransferController : public QObject {
  Q_OBJECT

 public:
  // The progress goes into status_bar; window owns the results dialog.
  TransferController(SessionController& session, FileView& files, QStatusBar* status_bar, QWidget* window);

  // One file: 0 done, -1 refused (busy, no session) or the session broke,
  // -2 this file failed and the session goes on.
  int DownloadOneFile(const std::string& dir, const std::string& line);
  int UploadOneFile(const std::string& folder, const QString& path, const std::string& attributes);
  int DeleteOneFile(const std::string& line);

  // Fetches the selected files into the staging folder and adds the paths
  // of those written to local_paths. 0 when the run ended normally (or was
  // stopped by the user), -1 when it stopped because the session closed.
  int DownloadSelected(QStringList& local_paths);
  // What a run does with each copy once staged (a save into a folder of the
  // user's): an empty text when done, else why the file failed.
  using Delivery = std::function<QString(const std::string& local_path, const std::string& line)>;
  // The same for the given list lines; a file deliver refuses fails with
  // its reason and is not counted as fetched.
  int DownloadFiles(const std::vector<std::string>& lines, QStringList& local_paths, const Delivery& deliver = {});
  // The number of files sent; -1 when no session was open at the start.
  // A path that is no regular file, and each entry of passed_over (what a
  // drop named that is no local file), gets a failure line with its reason.
  int UploadFiles(const QStringList& paths, const QList<dragdrop::PassedOver>& passed_over = {});
  // A local file and the handset folder it goes into: code page 932, "\"
  // after each part, checked already; empty for the top folder. shown: its
  // name in the results (the bare file name when empty).
  struct Upload {
    QString path;
    std::string folder;
    QString shown;
  };
  int UploadFiles(const QList<Upload>& files, const QList<dragdrop::PassedOver>& passed_over);
  // 0 when the run ended normally; -1 when refused, cancelled or stopped.
  int DeleteSelected(bool confirm);
  // Sends the files waiting for a session (the command line's, a second
  // start's) and forgets them.
  int UploadPending();
  void AddPendingUploads(const QStringList& paths) { pending_uploads_ += paths; }
  const QStringList& PendingUploads() const { return pending_uploads_; }
  bool HasPendingUploads() const { return !pending_uploads_.isEmpty(); }

  // Ends a download or upload run after the file in progress (Esc, 中止).
  void StopTransfer();
  // While this says a close waits, a run ends after the file in progress.
  void SetCloseCheck(std::function<bool()> close_pending) { close_pending_ = std::move(close_pending); }

  // The list lines of the files the last download run wrote, in order.
  const std::vector<std::string>& LastDownloaded() const { return last_downloaded_; }
  const std::string& StagingDir() const { return staging_dir_; }
  void SetStagingDir(std::string dir) { staging_dir_ = std::move(dir); }
  TransferProgress& Progress() { return *progress_; }

 signals:
  void StatusText(StatusField field, const QString& text);
  // The list shows the session's lines again.
  void ListChanged();
  // The selection's count and size, and the connection state, are shown again.
  void StatusChanged();
  // Once per window, after the first copies were staged: the folder that holds them.
  void CopiesKeptIn(const QString& folder);
  // A download, upload or delete run begins.
  void RunStarting();

 private:
  class OneFileExchange;
  struct PendingCopies;
  // One file of a run into its staging folder; local_path gets the copy's path.
  // With pending, 0 means fetched: the copy is handed to its committer as
  // the file numbered index, and counts only once that succeeded.
  int FetchIntoRun(StagingRun& run, const std::string& line, std::string& local_path,
                   PendingCopies* pending = nullptr, std::size_t index = 0);
  // A run's result lines and, beside each failed one, why it failed.
  struct RunResults {
    QStringList lines, reasons;
    void Add(bool ok, const QString& name, const QString& reason);
  };
  int ShowResults(const RunResults& results);
  void Failure(const QString& reason) { failure_reason_ = reason; }
  bool StopWanted() const { return stop_requested_ || (close_pending_ && close_pending_()); }
  void Status(StatusField field, const QString& text) { emit StatusText(field, text); }
  // The message of a failed single-file exchange and what it does to the
  // session; the single-file result, -2 or -1.
  // name: the file's, for the box's second line; refusal_reason: why the
  // handset refused it, where the list tells.
  int ExchangeFailed(ExchangeResult result, const char* refused, const char* error, const char* broken,
                     const QString& name, const QString& refusal_reason);
  // A failure on this computer's side: the session goes on; -2.
  int LocalFailure(const QString& text, const QString& name, const QString& reason);

  SessionController& session_;
  FileView& files_;
  QWidget* window_;
  TransferProgress* progress_;
  std::string staging_dir_;
  QStringList pending_uploads_;
  std::vector<std::string> last_downloaded_;
  bool stop_requested_ = false;
  bool told_staging_folder_ = false;
  // Why the last single-file exchange failed, for the results dialog.
  QString failure_reason_;
  std::function<bool()> close_pending_;
};

}  // namespace mirvo::app
