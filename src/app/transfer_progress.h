// The status bar's progress of a download or upload run: bytes of the file
// in progress, files done of the run, time left, and the 中止 button.
#pragma once

#include <QWidget>
#include <chrono>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

namespace mirvo::app {

// "%f MB", "%f KB" (two decimals) or "%d B".
QString SizeText(std::int64_t bytes);
// Size of a local file (not a folder), or -1 when there is none.
std::int64_t LocalFileSize(const QString& path);

class TransferProgress : public QWidget {
  Q_OBJECT
 public:
  explicit TransferProgress(QWidget* parent);

  // Shown from BeginRun to EndRun. total_bytes: the sizes of every file of
  // the run, as far as known, for the time left.
  void BeginRun(int files, std::int64_t total_bytes);
  void BeginFile(std::int64_t size);
  // Bytes of the current file done so far. Updates the bar at most every
  // 50 ms; true when it did, so that the caller lets it repaint.
  bool FileBytes(std::int64_t done);
  void EndFile();
  void EndRun();

  // Files finished so far (with or without success) and the bar's text.
  int FilesDone() const { return files_done_; }
  QString Text() const;

  // Greys out 中止 once a stop is asked for; BeginRun offers it again.
  void DisableStop();

 signals:
  void StopClicked();

 private:
  bool Show(bool force);

  QLabel* label_;
  QProgressBar* bar_;
  QPushButton* stop_button_;

  using Clock = std::chrono::steady_clock;
  int files_ = 0, files_done_ = 0;
  std::int64_t total_ = 0, done_before_ = 0, file_size_ = 0, file_done_ = 0;
  Clock::time_point started_{}, shown_{};
};

}  // namespace mirvo::app
