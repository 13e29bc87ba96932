#include "dragdrop/file_drop_target.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QWidget>
#include <algorithm>

#include "dragdrop/file_list_formats.h"

namespace mirvo::dragdrop {

FileDropTarget::FileDropTarget(QObject* parent) : QObject(parent) {}

void FileDropTarget::Register(QWidget* target) {
  target->setAcceptDrops(true);
  target->installEventFilter(this);
  targets_.push_back(target);
  connect(target, &QObject::destroyed, this,
          [this, target] { std::erase(targets_, target); });
}

bool FileDropTarget::Takes(const QDropEvent& event) const {
  // A drag of our own list's files would only send the handset its own
  // files back.
  if (event.source()) return false;
  // A drop taken as a move lets the desktop delete its files, perhaps
  // before they are sent: only drags that allow a copy are taken.
  if (!(event.possibleActions() & DragTypes & Qt::CopyAction)) return false;
  if (Accepting && !Accepting()) return false;
  return HasFileList(event.mimeData());
}

bool FileDropTarget::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
  if (std::find(targets_.begin(), targets_.end(), watched) == targets_.end()) return false;
  auto& drop = static_cast<QDropEvent&>(*event);
  if (!Takes(drop)) {
    drop.ignore();
    return true;
  }
  if (type != QEvent::Drop) {
    drop.setDropAction(Qt::CopyAction);
    drop.accept();
    return true;
  }
  const QStringList files = LocalFiles(drop.mimeData());
  if (files.isEmpty()) {
    drop.ignore();
    return true;
  }
  drop.setDropAction(Qt::CopyAction);
  drop.accept();
  // The names are read now, while the drag's data is there; the sending
  // waits until the desktop has been told the drop is done, so that it is
  // not held for as long as the upload takes.
  const Qt::KeyboardModifiers shift = drop.modifiers();
  const QPoint pos = drop.position().toPoint();
  QMetaObject::invokeMethod(
      this, [this, files, shift, pos] { Raise(files, shift, pos); }, Qt::QueuedConnection);
  return true;
}

void FileDropTarget::Raise(const QStringList& files, Qt::KeyboardModifiers shift, QPoint pos) {
  Files = files;
  Qt::DropAction effect = Qt::CopyAction;
  if (OnDrop) OnDrop(shift, pos, effect);
}

bool FileDropTarget::Deliver(const QMimeData* mime, Qt::KeyboardModifiers shift, QPoint pos) {
  const QStringList files = LocalFiles(mime);
  if (files.isEmpty()) return false;
  Raise(files, shift, pos);
  return true;
}

bool FileDropTarget::PasteFromClipboard() {
  Files.clear();
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (!HasFileList(mime)) return false;
  return Deliver(mime, QApplication::keyboardModifiers(), {});
}

}  // namespace mirvo::dragdrop
