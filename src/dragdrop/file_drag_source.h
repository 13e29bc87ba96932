// FileDragSource: offers local files to the desktop, by drag and drop or on
// the clipboard, as copied or as cut. A drag asks its owner for the files
// (OnDrop) only when the drop target first reads them, so that a drag that
// is cancelled fetches nothing. Runs on the user-interface thread.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

namespace mirvo::dragdrop {

class LazyFileMime;

// Whether the mouse, pressed at pressed and now at pos after held, has left
// the platform's drag distance, or moved at all once its drag delay passed.
bool DragDetect(QPoint pressed, QPoint pos, std::chrono::milliseconds held);

// Some drop targets ask for the files as the pointer enters and give up
// after about half a second, others at the drop after five: a drag fetches
// at the drop only what a line of bits_per_second brings in this time, and
// fetches larger selections before it starts.
inline constexpr std::chrono::milliseconds kLazyFetchBudget{2000};
bool FetchFitsDropWait(std::int64_t bytes, int bits_per_second);

class FileDragSource : public QObject {
  Q_OBJECT

 public:
  explicit FileDragSource(QWidget* owner);

  // Full local paths offered.
  QStringList Files;
  // Copy, move or both; a move moves only these local copies.
  Qt::DropActions DragTypes = Qt::CopyAction;
  // The drop target is about to read the files: fill Files now. The flag
  // may be cleared to offer nothing.
  std::function<void(Qt::DropActions drag_types, bool& go_on)> OnDrop;
  // The drag has ended with this action (Qt::IgnoreAction: cancelled). On
  // X11 the target may not have read the files yet.
  std::function<void(Qt::DropAction action)> OnAfterDrop;

  // A modal drag of the files; returns the action the target reported
  // (Qt::IgnoreAction when cancelled). lazy: Files is filled by OnDrop at
  // the first request for data; otherwise Files is offered as it stands.
  Qt::DropAction Execute(bool lazy = true);
  // The data a drag offers; Execute hands it to Qt.
  std::unique_ptr<LazyFileMime> MakeDragData(bool lazy);
  // The existing files of Files on the clipboard; preferred effect move
  // when cut. Returns how many went; with none the clipboard is left as
  // it was.
  int PutOnClipboard(bool cut);

 private:
  QStringList FetchForDrop();

  QPointer<QWidget> owner_;
};

}  // namespace mirvo::dragdrop
