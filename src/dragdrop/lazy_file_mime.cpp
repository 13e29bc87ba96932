#include "dragdrop/lazy_file_mime.h"

#include "dragdrop/file_list_formats.h"

namespace mirvo::dragdrop {

LazyFileMime::LazyFileMime(std::function<QStringList()> fetch, bool cut) : fetch_(std::move(fetch)), cut_(cut) {}

LazyFileMime::LazyFileMime(const QStringList& files, bool cut) : cut_(cut) { Fill(files); }

QStringList LazyFileMime::formats() const { return FileListFormats(cut_); }

bool LazyFileMime::hasFormat(const QString& mimetype) const { return formats().contains(mimetype); }

void LazyFileMime::Fill(const QStringList& files) const {
  // Only copies that are on disk may reach the desktop.
  FillFileList(cache_, ExistingFiles(files), cut_);
  fetched_ = true;
}

QVariant LazyFileMime::retrieveData(const QString& mimetype, QMetaType type) const {
  if (!hasFormat(mimetype) || fetching_) return {};
  if (!fetched_) {
    fetching_ = true;
    ++fetch_count_;
    QStringList files;
    if (fetch_) files = fetch_();
    fetching_ = false;
    Fill(files);
  }
  if (!cache_.hasFormat(mimetype)) return {};
  // QMimeData turns the bytes into the type asked for (a URL list, a text).
  Q_UNUSED(type);
  return cache_.data(mimetype);
}

}  // namespace mirvo::dragdrop
