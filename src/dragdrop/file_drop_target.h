// FileDropTarget: takes local files dropped on the file list or pasted from
// the clipboard, to be sent to the handset. A drop is always taken as a
// copy, and a drag that offers only a move is refused, so the desktop never
// deletes what it dropped here; the program's own drags are refused too.
// Runs on the user-interface thread.
#pragma once

#include <QObject>
#include <QPoint>
#include <QStringList>
#include <functional>
#include <utility>
#include <vector>

#include "dragdrop/file_list_formats.h"

class QDropEvent;
class QMimeData;
class QWidget;

namespace mirvo::dragdrop {

class FileDropTarget : public QObject {
  Q_OBJECT

 public:
  // Files() holds what was dropped or pasted.
  using FilesDropped = std::function<void(Qt::KeyboardModifiers modifiers, QPoint pos)>;

  explicit FileDropTarget(QObject* parent = nullptr);

  // The local paths of the last drop or paste, in the order given, of
  // whatever kind; and the entries it named that are no local files.
  const QStringList& Files() const { return files_.paths; }
  const QList<PassedOver>& PassedOverEntries() const { return files_.passed_over; }
  // The actions accepted from the desktop.
  Qt::DropActions AcceptedActions() const { return accepted_actions_; }
  void SetAcceptedActions(Qt::DropActions actions) { accepted_actions_ = actions; }
  // While it answers false nothing is accepted and the cursor shows so.
  void SetAccepting(std::function<bool()> accepting) { accepting_ = std::move(accepting); }
  void SetOnFilesDropped(FilesDropped callback) { on_files_dropped_ = std::move(callback); }

  // Accepts drops on widget (several widgets may be added). Drags the
  // program itself started are not taken.
  void AcceptDropsOn(QWidget* widget);
  // Reads the file list on the clipboard as a drop; false when it holds
  // none (nothing is reported then).
  bool PasteFromClipboard();
  // Takes mime as dropped at pos, at once; false when it names nothing
  // (nothing is reported then).
  bool TakeDrop(const QMimeData* mime, Qt::KeyboardModifiers modifiers, QPoint pos);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool Accepts(const QDropEvent& event) const;
  void ReportDrop(const FileList& files, Qt::KeyboardModifiers modifiers, QPoint pos);

  std::vector<QWidget*> widgets_;
  FileList files_;
  Qt::DropActions accepted_actions_ = Qt::CopyAction | Qt::MoveAction;
  std::function<bool()> accepting_;
  FilesDropped on_files_dropped_;
};

}  // namespace mirvo::dragdrop
