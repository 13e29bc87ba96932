#include "app/transfer_progress.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QFile>
#include <QPushButton>
#include <sys/stat.h>
#include <algorithm>

namespace mirvo::app {

QString SizeText(std::int64_t bytes) {
  if (bytes > 1048576) return QString::asprintf("%.2f MB", static_cast<double>(bytes) / 1048576.0);
  if (bytes > 1024) return QString::asprintf("%.2f KB", static_cast<double>(bytes) / 1024.0);
  return QString::asprintf("%lld B", static_cast<long long>(bytes));
}

std::int64_t LocalFileSize(const QString& path) {
  struct stat st {};
  if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

TransferProgress::TransferProgress(QWidget* parent) : QWidget(parent) {
  setObjectName("transfer_progress");
  setAccessibleName("転送の進み具合");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  label_ = new QLabel(this);
  label_->setObjectName("progress_label");
  bar_ = new QProgressBar(this);
  bar_->setObjectName("progress_bar");
  // Named the same idle or running; what the run has done is its
  // description, as the text beside it says.
  bar_->setAccessibleName("進み具合");
  bar_->setFixedWidth(120);
  bar_->setMaximumHeight(16);
  bar_->setRange(0, 1000);
  stop_button_ = new QPushButton("中止", this);
  stop_button_->setObjectName("stop_button");
  stop_button_->setFocusPolicy(Qt::NoFocus);
  stop_button_->setMaximumHeight(18);
  // Fixed widths: the window must never grow with the numbers.
  label_->setFixedWidth(label_->fontMetrics().horizontalAdvance(QString::fromUtf8("9999/9999 ファイル  残り 999:59")));
  row->addWidget(label_);
  row->addWidget(bar_);
  row->addWidget(stop_button_);
  connect(stop_button_, &QPushButton::clicked, this, &TransferProgress::StopClicked);
  hide();
}

void TransferProgress::DisableStop() { stop_button_->setEnabled(false); }

void TransferProgress::BeginRun(int files, std::int64_t total_bytes) {
  files_ = files;
  files_done_ = 0;
  total_ = total_bytes;
  done_before_ = file_size_ = file_done_ = 0;
  started_ = Clock::now();
  stop_button_->setEnabled(true);
  show();
  Show(true);
}

void TransferProgress::BeginFile(std::int64_t size) {
  file_size_ = size;
  file_done_ = 0;
  Show(true);
}

bool TransferProgress::FileBytes(std::int64_t done) {
  file_done_ = done;
  return Show(file_size_ > 0 && done >= file_size_);
}

void TransferProgress::EndFile() {
  ++files_done_;
  done_before_ += std::max(file_size_, file_done_);
  file_size_ = file_done_ = 0;
  Show(true);
}

void TransferProgress::EndRun() {
  files_ = 0;
  bar_->setAccessibleDescription({});
  hide();
}

QString TransferProgress::Text() const {
  QString text = QString::fromUtf8("%1/%2 ファイル").arg(files_done_).arg(files_);
  const std::int64_t done = done_before_ + file_done_;
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  if (done > 0 && total_ > done && seconds > 0.5) {
    const auto left = static_cast<long long>(static_cast<double>(total_ - done) * seconds / static_cast<double>(done));
    text += QString::fromUtf8("  残り %1:%2").arg(left / 60).arg(left % 60, 2, 10, QChar('0'));
  }
  return text;
}

bool TransferProgress::Show(bool force) {
  const auto now = Clock::now();
  if (!force && now - shown_ < std::chrono::milliseconds(50)) return false;
  shown_ = now;
  // The whole run: bytes of every file, or files when no sizes are known.
  const std::int64_t done = done_before_ + file_done_;
  int value = 0;
  if (total_ > 0)
    value = static_cast<int>(std::min<std::int64_t>(1000, done * 1000 / total_));
  else if (files_ > 0)
    value = files_done_ * 1000 / files_;
  bar_->setValue(value);
  const QString text = Text();
  label_->setText(text);
  if (bar_->accessibleDescription() != text) bar_->setAccessibleDescription(text);
  return true;
}

}  // namespace mirvo::app
