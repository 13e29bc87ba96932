// FileDropTarget: takes local files dropped on its widgets or pasted from
// the clipboard, fills Files and raises OnDrop. A drop is always taken as a
// copy, and a drag that offers only a move is refused, so the desktop never
// deletes what it dropped here. Runs on the user-interface thread.
#pragma once

#include <QObject>
#include <QPoint>
#include <QStringList>
#include <functional>
#include <vector>

class QDropEvent;
class QMimeData;
class QWidget;

namespace mirvo::dragdrop {

class FileDropTarget : public QObject {
  Q_OBJECT

 public:
  explicit FileDropTarget(QObject* parent = nullptr);

  // The existing local files of the last drop or paste, in the order given.
  QStringList Files;
  // The actions accepted from the desktop.
  Qt::DropActions DragTypes = Qt::CopyAction | Qt::MoveAction;
  // While it answers false nothing is accepted and the cursor shows so.
  std::function<bool()> Accepting;
  std::function<void(Qt::KeyboardModifiers shift, QPoint pos, Qt::DropAction& effect)> OnDrop;

  // Accepts drops on target (several widgets may be registered). Drags the
  // program itself started are not taken.
  void Register(QWidget* target);
  // Reads the file list on the clipboard as a drop; false when it holds
  // none (OnDrop is not raised then).
  bool PasteFromClipboard();
  // Takes mime as dropped at pos, at once; false when it names no
  // existing local file (OnDrop is not raised then).
  bool Deliver(const QMimeData* mime, Qt::KeyboardModifiers shift, QPoint pos);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool Takes(const QDropEvent& event) const;
  void Raise(const QStringList& files, Qt::KeyboardModifiers shift, QPoint pos);

  std::vector<QWidget*> targets_;
};

}  // namespace mirvo::dragdrop
