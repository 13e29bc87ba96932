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
  setObjectName("TransferProgress");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  labelProgress = new QLabel(this);
  labelProgress->setObjectName("labelProgress");
  barTransfer = new QProgressBar(this);
  barTransfer->setObjectName("barTransfer");
  barTransfer->setFixedWidth(120);
  barTransfer->setMaximumHeight(16);
  barTransfer->setRange(0, 1000);
  btnStop = new QPushButton(QString::fromUtf8("中止"), this);
  btnStop->setObjectName("btnStop");
  btnStop->setFocusPolicy(Qt::NoFocus);
  btnStop->setMaximumHeight(18);
  row->addWidget(labelProgress);
  row->addWidget(barTransfer);
  row->addWidget(btnStop);
  connect(btnStop, &QPushButton::clicked, this, [this] {
    if (OnStop) OnStop();
  });
  hide();
}

void TransferProgress::BeginRun(int files, std::int64_t total_bytes) {
  files_ = files;
  files_done_ = 0;
  total_ = total_bytes;
  done_before_ = file_size_ = file_done_ = 0;
  started_ = Clock::now();
  btnStop->setEnabled(true);
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
  const int value = file_size_ > 0 ? static_cast<int>(std::min<std::int64_t>(1000, file_done_ * 1000 / file_size_)) : 0;
  barTransfer->setValue(value);
  labelProgress->setText(Text());
  return true;
}

}  // namespace mirvo::app
