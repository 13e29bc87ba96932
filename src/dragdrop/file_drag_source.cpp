#include "dragdrop/file_drag_source.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QMimeData>
#include <QWidget>

#include "dragdrop/file_list_formats.h"
#include "dragdrop/lazy_file_mime.h"

namespace mirvo::dragdrop {

bool IsDragGesture(QPoint pressed, QPoint pos, std::chrono::milliseconds held) {
  if ((pos - pressed).manhattanLength() >= QApplication::startDragDistance()) return true;
  return pos != pressed && held.count() >= QApplication::startDragTime();
}

bool FetchFitsDropWait(std::int64_t bytes, int bits_per_second) {
  // Eight data bits framed by a start and a stop bit.
  const std::int64_t bytes_per_second = bits_per_second / 10;
  return bytes >= 0 && bytes * 1000 <= bytes_per_second * kLazyFetchBudget.count();
}

FileDragSource::FileDragSource(QWidget* owner) : QObject(owner), owner_(owner) {}

QStringList FileDragSource::FilesForDrop() {
  bool go_on = true;
  if (on_files_wanted_) on_files_wanted_(drag_actions_, go_on);
  return go_on ? files_ : QStringList();
}

std::unique_ptr<LazyFileMime> FileDragSource::MakeDragData(bool lazy) {
  const bool move = !(drag_actions_ & Qt::CopyAction);
  if (!lazy) return std::make_unique<LazyFileMime>(files_, move);
  // The drag's data outlives this call on X11 (the target reads after the
  // release), so it must not outlive the source unnoticed.
  QPointer<FileDragSource> self(this);
  return std::make_unique<LazyFileMime>([self] { return self ? self->FilesForDrop() : QStringList(); }, move);
}

Qt::DropAction FileDragSource::RunDrag(bool lazy) {
  if (!owner_) return Qt::IgnoreAction;
  // Qt owns the drag and its data from here: on X11 the target reads them
  // after exec has returned.
  auto* drag = new QDrag(owner_);
  drag->setMimeData(MakeDragData(lazy).release());
  const Qt::DropActions offered = drag_actions_ ? drag_actions_ : Qt::DropActions(Qt::CopyAction);
  const Qt::DropAction preferred = offered & Qt::CopyAction ? Qt::CopyAction : Qt::MoveAction;
  const Qt::DropAction action = drag->exec(offered, preferred);
  if (on_drag_ended_) on_drag_ended_(action);
  return action;
}

int FileDragSource::PutOnClipboard(bool cut) {
  const QStringList files = ExistingFiles(files_);
  if (files.isEmpty()) return 0;
  auto mime = std::make_unique<QMimeData>();
  FillFileList(*mime, files, cut);
  clipboard_data_ = mime.get();
  QApplication::clipboard()->setMimeData(mime.release());
  return static_cast<int>(files.size());
}

bool FileDragSource::HoldsClipboard() const {
  // On X11 the clipboard gives back our own data only while the server
  // names us its owner.
  return clipboard_data_ && QApplication::clipboard()->mimeData() == clipboard_data_.data();
}

}  // namespace mirvo::dragdrop
