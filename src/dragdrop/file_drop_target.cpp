#include "dragdrop/file_drop_target.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QWidget>
#include <algorithm>

#include "dragdrop/file_list_formats.h"
#include "dragdrop/lazy_file_mime.h"

namespace mirvo::dragdrop {

FileDropTarget::FileDropTarget(QObject* parent) : QObject(parent) {}

void FileDropTarget::AcceptDropsOn(QWidget* widget) {
  widget->setAcceptDrops(true);
  widget->installEventFilter(this);
  widgets_.push_back(widget);
  connect(widget, &QObject::destroyed, this,
          [this, widget] { std::erase(widgets_, widget); });
}

bool FileDropTarget::Accepts(const QDropEvent& event) const {
  // A drag of our own list's files would only send the handset its own
  // files back.
  if (event.source() || qobject_cast<const LazyFileMime*>(event.mimeData())) return false;
  // A drop taken as a move lets the desktop delete its files, perhaps
  // before they are sent: only drags that allow a copy are taken.
  if (!(event.possibleActions() & accepted_actions_ & Qt::CopyAction)) return false;
  if (accepting_ && !accepting_()) return false;
  return HasFileList(event.mimeData());
}

bool FileDropTarget::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
  if (std::find(widgets_.begin(), widgets_.end(), watched) == widgets_.end()) return false;
  auto& drop = static_cast<QDropEvent&>(*event);
  if (!Accepts(drop)) {
    drop.ignore();
    return true;
  }
  if (type != QEvent::Drop) {
    drop.setDropAction(Qt::CopyAction);
    drop.accept();
    return true;
  }
  const FileList files = ReadFileList(drop.mimeData());
  if (files.paths.isEmpty() && files.passed_over.isEmpty()) {
    drop.ignore();
    return true;
  }
  drop.setDropAction(Qt::CopyAction);
  drop.accept();
  // The names are read now, while the drag's data is there; the sending
  // waits until the desktop has been told the drop is done, so that it is
  // not held for as long as the upload takes.
  const Qt::KeyboardModifiers modifiers = drop.modifiers();
  const QPoint pos = drop.position().toPoint();
  QMetaObject::invokeMethod(
      this, [this, files, modifiers, pos] { ReportDrop(files, modifiers, pos); }, Qt::QueuedConnection);
  return true;
}

void FileDropTarget::ReportDrop(const FileList& files, Qt::KeyboardModifiers modifiers, QPoint pos) {
  files_ = files;
  if (on_files_dropped_) on_files_dropped_(modifiers, pos);
}

bool FileDropTarget::TakeDrop(const QMimeData* mime, Qt::KeyboardModifiers modifiers, QPoint pos) {
  const FileList files = ReadFileList(mime);
  if (files.paths.isEmpty() && files.passed_over.isEmpty()) return false;
  ReportDrop(files, modifiers, pos);
  return true;
}

bool FileDropTarget::PasteFromClipboard() {
  files_ = {};
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (!HasFileList(mime)) return false;
  return TakeDrop(mime, QApplication::keyboardModifiers(), {});
}

}  // namespace mirvo::dragdrop
