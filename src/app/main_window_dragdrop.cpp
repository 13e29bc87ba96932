// The main window's clipboard, keys and drag and drop with the desktop.
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>
#include <cctype>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/qt_ui_hooks.h"
#include "dragdrop/file_drag_source.h"
#include "dragdrop/file_drop_target.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

// Handset names compare without regard to the case of their single-byte
// letters; the second byte of a double-byte character is no letter.
bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size();) {
    const std::size_t n = text::CharLength(a, i);
    if (n == 1) {
      const int ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
      const bool ascii = ca < 0x80 && cb < 0x80;
      if (ascii ? std::tolower(ca) != std::tolower(cb) : ca != cb) return false;
    } else if (a.compare(i, n, b, i, n) != 0) {
      return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

void MainWindow::CreateDragDrop() {
  DropFileSource1 = new dragdrop::FileDragSource(this);
  DropFileSource1->OnDrop = [this](Qt::DropActions types, bool& go_on) { DropFileSource1Drop(types, go_on); };
  DropFileTarget1 = new dragdrop::FileDropTarget(this);
  DropFileTarget1->Accepting = [this] { return !Busy; };
  DropFileTarget1->OnDrop = [this](Qt::KeyboardModifiers shift, QPoint pos, Qt::DropAction& effect) {
    DropFileTarget1Drop(shift, pos, effect);
  };
  // The window's filter on the application already sees the viewports' mouse.
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{listIcons_, listDetails_})
    DropFileTarget1->Register(view->viewport());
  connect(miCut, &QAction::triggered, this, [this] { CutFiles(); });
  connect(miCut1, &QAction::triggered, this, [this] { CutFiles(); });
  connect(miCopy, &QAction::triggered, this, [this] { CopyFiles(); });
  connect(miCopy1, &QAction::triggered, this, [this] { CopyFiles(); });
  connect(miPaste, &QAction::triggered, this, [this] { PasteFiles(); });
  connect(miPaste1, &QAction::triggered, this, [this] { PasteFiles(); });
  connect(tbtnCut, &QToolButton::clicked, this, [this] { CutFiles(); });
  connect(tbtnCopy, &QToolButton::clicked, this, [this] { CopyFiles(); });
  connect(tbtnPaste, &QToolButton::clicked, this, [this] { PasteFiles(); });
}

int MainWindow::CopyFiles() { return PutOnClipboard(false); }

int MainWindow::CutFiles() { return PutOnClipboard(true); }

int MainWindow::PutOnClipboard(bool cut) {
  if (Busy) return -1;
  QStringList& files = DropFileSource1->Files;
  files.clear();
  DropFileSource1->DragTypes = cut ? Qt::MoveAction : Qt::CopyAction;
  DownloadSelected(files);
  DropFileSource1->PutOnClipboard(cut);
  SetPanel(0, {});
  if (cut) {
    // A line and the copy it gave are appended together; a handset file
    // goes only when its copy is on disk.
    const std::vector<std::string> fetched = LastDownloaded;
    for (std::size_t i = 0; i < fetched.size(); ++i) {
      if (fetched.size() != static_cast<std::size_t>(files.size()) || !QFileInfo(files[static_cast<qsizetype>(i)]).isFile())
        continue;
      if (DeleteOneFile(fetched[i]) != 0) continue;
      const auto it = std::find_if(DeviceListCache.begin(), DeviceListCache.end(),
                                   [&](const std::string& line) { return SameNameIgnoringCase(line, fetched[i]); });
      if (it != DeviceListCache.end()) DeviceListCache.erase(it);
    }
  }
  UpdateStatusText();
  UpdateCommands();
  if (cut) RefreshFileView();
  return 0;
}

int MainWindow::PasteFiles() {
  if (Busy) return -1;
  DropFileTarget1->Files.clear();
  DropFileTarget1->PasteFromClipboard();
  SetPanel(0, {});
  UpdateStatusText();
  UpdateCommands();
  return 0;
}

void MainWindow::DropFileTarget1Drop(Qt::KeyboardModifiers, QPoint, Qt::DropAction&) {
  ForceForeground(this);
  // The drop is taken only while the window is free; the sending comes a
  // moment later and finds it so unless the user started something since.
  if (!SessionOpen || Busy) return;
  UploadFiles(DropFileTarget1->Files);
  UpdateStatusText();
}

void MainWindow::DropFileSource1Drop(Qt::DropActions, bool& go_on) {
  if (Busy) {
    go_on = false;
    return;
  }
  Ui().ReleaseCapture();
  DownloadSelected(DropFileSource1->Files);
  ForceForeground(this);
  ForceActive(this);
  UpdateStatusText();
}

std::int64_t MainWindow::SelectedBytes() const {
  std::int64_t total = 0;
  for (const QModelIndex& index : listDetails_->selectionModel()->selectedRows())
    total += model_->SizeOfRow(index.row());
  return total;
}

int MainWindow::ListView1MouseDown(Qt::KeyboardModifiers shift) {
  if (Busy) return -1;
  DropFileSource1->Files.clear();
  DropFileSource1->DragTypes = shift == Qt::ShiftModifier ? Qt::MoveAction : Qt::CopyAction;
  // What the line brings within the target's patience comes at the drop;
  // more is fetched first, so that the drag offers files already there.
  const bool lazy = dragdrop::FetchFitsDropWait(SelectedBytes(), Serial().Bps);
  if (!lazy) {
    bool go_on = true;
    DropFileSource1Drop(DropFileSource1->DragTypes, go_on);
    SetPanel(0, {});
    // A button let go while the files came ends the gesture: no drag
    // starts without a hand on it.
    if (!go_on || DropFileSource1->Files.isEmpty() || !(QApplication::mouseButtons() & Qt::LeftButton)) return -1;
  }
  DropFileSource1->Execute(lazy);
  SetPanel(0, {});
  return 0;
}

bool MainWindow::ListView1KeyDown(int key, Qt::KeyboardModifiers shift) {
  if (!SessionOpen || !HasSelection()) return false;
  if (shift == Qt::ControlModifier) {
    if (key == Qt::Key_C) return CopyFiles(), true;
    if (key == Qt::Key_V) return PasteFiles(), true;
    if (key == Qt::Key_X) return CutFiles(), true;
  }
  if (key == Qt::Key_Delete) {
    DeleteSelected(true);
    return true;
  }
  return false;
}

bool MainWindow::ListViewportEvent(QWidget* viewport, QEvent* e) {
  auto* view = static_cast<QAbstractItemView*>(viewport->parentWidget());
  switch (e->type()) {
    case QEvent::MouseButtonPress: {
      auto* m = static_cast<QMouseEvent*>(e);
      dragPress_.reset();
      if (m->button() == Qt::LeftButton && view->indexAt(m->position().toPoint()).isValid())
        dragPress_ = DragPress{m->position().toPoint(), std::chrono::steady_clock::now()};
      return false;
    }
    case QEvent::MouseMove: {
      auto* m = static_cast<QMouseEvent*>(e);
      if (!dragPress_ || !(m->buttons() & Qt::LeftButton)) return false;
      const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             dragPress_->time);
      // Moves of a press on a row belong to the drag, not to the selection.
      if (!dragdrop::DragDetect(dragPress_->pos, m->position().toPoint(), held)) return true;
      dragPress_.reset();
      ListView1MouseDown(m->modifiers());
      return true;
    }
    case QEvent::MouseButtonRelease:
      dragPress_.reset();
      return false;
    default:
      return false;
  }
}

bool MainWindow::ListViewKeyEvent(QKeyEvent* k) {
  // Keys the window's enabled commands took never come here; the rest must
  // not reach the view, which would copy a caption as text.
  const bool edit_key = k->modifiers() == Qt::ControlModifier &&
                        (k->key() == Qt::Key_C || k->key() == Qt::Key_V || k->key() == Qt::Key_X);
  if (!edit_key && k->key() != Qt::Key_Delete) return false;
  ListView1KeyDown(k->key(), k->modifiers());
  return true;
}

}  // namespace mirvo::app
