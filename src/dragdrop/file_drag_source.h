// FileDragSource: offers the local copies of handset files to the desktop,
// by drag and drop or on the clipboard, as copied or as cut. A drag asks
// its owner for the files only when the drop target first reads them, so
// that a drag that is cancelled fetches nothing. Runs on the user-interface
// thread.
#pragma once

#include <QMimeData>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

class QWidget;

namespace mirvo::dragdrop {

class LazyFileMime;

// Whether the mouse, pressed at pressed and now at pos after held, has left
// the platform's drag distance, or moved at all once its drag delay passed.
bool IsDragGesture(QPoint pressed, QPoint pos, std::chrono::milliseconds held);

// Some drop targets ask for the files as the pointer enters and give up
// after about half a second, others at the drop after five: a drag fetches
// at the drop only what a line of bits_per_second brings in this time, and
// fetches larger selections before it starts.
inline constexpr std::chrono::milliseconds kLazyFetchBudget{2000};
bool FetchFitsDropWait(std::int64_t bytes, int bits_per_second);

class FileDragSource : public QObject {
  Q_OBJECT

 public:
  // The drop target is about to read the files: set them now. Clearing
  // go_on offers nothing.
  using FilesWanted = std::function<void(Qt::DropActions actions, bool& go_on)>;
  // The drag has ended with this action (Qt::IgnoreAction: cancelled). On
  // X11 the target may not have read the files yet.
  using DragEnded = std::function<void(Qt::DropAction action)>;

  explicit FileDragSource(QWidget* owner);

  // Full local paths offered.
  const QStringList& Files() const { return files_; }
  void SetFiles(const QStringList& files) { files_ = files; }
  // Copy, move or both; a move moves only these local copies.
  Qt::DropActions DragActions() const { return drag_actions_; }
  void SetDragActions(Qt::DropActions actions) { drag_actions_ = actions; }
  void SetOnFilesWanted(FilesWanted callback) { on_files_wanted_ = std::move(callback); }
  void SetOnDragEnded(DragEnded callback) { on_drag_ended_ = std::move(callback); }

  // A modal drag of the files; returns the action the target reported
  // (Qt::IgnoreAction when cancelled). lazy: the files are set through
  // the files-wanted callback at the first request for data; otherwise
  // they are offered as they stand.
  Qt::DropAction RunDrag(bool lazy = true);
  // The data a drag offers; RunDrag hands it to Qt.
  std::unique_ptr<LazyFileMime> MakeDragData(bool lazy);
  // The files that exist on the clipboard; preferred effect move when cut.
  // Returns how many went; with none the clipboard is left as it was.
  int PutOnClipboard(bool cut);
  // Whether the clipboard still holds it (another program may have taken
  // the clipboard, or refused to give it up).
  bool HoldsClipboard() const;

 private:
  QStringList FilesForDrop();

  QPointer<QWidget> owner_;
  QStringList files_;
  Qt::DropActions drag_actions_ = Qt::CopyAction;
  FilesWanted on_files_wanted_;
  DragEnded on_drag_ended_;
  QPointer<QMimeData> clipboard_data_;
};

}  // namespace mirvo::dragdrop
