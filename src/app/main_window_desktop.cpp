// The main window's exchange with the desktop: the clipboard, the list's
// edit keys, drags out of the list, drops onto it and files handed over by
// a second start.
#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <QListView>
#include <QTreeView>
#include <algorithm>
#include <cctype>

#include "app/file_view.h"
#include "app/main_window.h"
#include "app/qt_ui_hooks.h"
#include "app/session_controller.h"
#include "app/transfer_controller.h"
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

void MainWindow::CreateDragAndDrop() {
  drag_source_ = new dragdrop::FileDragSource(this);
  drag_source_->SetOnFilesWanted([this](Qt::DropActions types, bool& go_on) { FetchFilesForDrag(types, go_on); });
  drop_target_ = new dragdrop::FileDropTarget(this);
  drop_target_->SetAccepting([this] { return !session_->IsBusy(); });
  drop_target_->SetOnFilesDropped([this](Qt::KeyboardModifiers, QPoint) { UploadDroppedFiles(); });
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{files_->IconView(), files_->DetailView()})
    drop_target_->AcceptDropsOn(view->viewport());
}

int MainWindow::CopyFiles() { return PutOnClipboard(false); }

int MainWindow::CutFiles() { return PutOnClipboard(true); }

int MainWindow::PutOnClipboard(bool cut) {
  if (session_->IsBusy()) return -1;
  QStringList files;
  drag_source_->SetDragActions(cut ? Qt::MoveAction : Qt::CopyAction);
  transfers_->DownloadSelected(files);
  drag_source_->SetFiles(files);
  drag_source_->PutOnClipboard(cut);
  ShowStatus(StatusField::Activity, {});
  if (cut) {
    // A line and the copy it gave are appended together; a handset file
    // goes only when its copy is on disk.
    const std::vector<std::string> fetched = transfers_->LastDownloaded();
    std::vector<std::string>& lines = session_->Lines();
    for (std::size_t i = 0; i < fetched.size(); ++i) {
      if (fetched.size() != static_cast<std::size_t>(files.size()) ||
          !QFileInfo(files[static_cast<qsizetype>(i)]).isFile())
        continue;
      if (transfers_->DeleteOneFile(fetched[i]) != 0) continue;
      const auto it = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& line) { return SameNameIgnoringCase(line, fetched[i]); });
      if (it != lines.end()) lines.erase(it);
    }
  }
  UpdateStatusText();
  if (!cut && !files.isEmpty())
    ShowStatus(StatusField::Activity, QString("%1 個のファイルをコピーしました。貼り付けできます。").arg(files.size()));
  UpdateCommands();
  if (cut) RefreshFileView();
  return 0;
}

int MainWindow::PasteFiles() {
  if (session_->IsBusy()) return -1;
  drop_target_->PasteFromClipboard();
  ShowStatus(StatusField::Activity, {});
  UpdateStatusText();
  UpdateCommands();
  return 0;
}

void MainWindow::UploadDroppedFiles() {
  ForceForeground(this);
  // The drop is taken only while the window is free; the sending comes a
  // moment later and finds it so unless the user started something since.
  if (!session_->IsSessionOpen() || session_->IsBusy()) return;
  transfers_->UploadFiles(drop_target_->Files());
  UpdateStatusText();
}

void MainWindow::FetchFilesForDrag(Qt::DropActions, bool& go_on) {
  if (session_->IsBusy()) {
    go_on = false;
    return;
  }
  Ui().ReleaseCapture();
  QStringList files = drag_source_->Files();
  transfers_->DownloadSelected(files);
  drag_source_->SetFiles(files);
  ForceForeground(this);
  ForceActive(this);
  UpdateStatusText();
}

int MainWindow::StartDrag(Qt::KeyboardModifiers modifiers) {
  if (session_->IsBusy()) return -1;
  drag_source_->SetFiles({});
  drag_source_->SetDragActions(modifiers == Qt::ShiftModifier ? Qt::MoveAction : Qt::CopyAction);
  // What the line brings within the target's patience comes at the drop;
  // more is fetched first, so that the drag offers files already there.
  const bool lazy = dragdrop::FetchFitsDropWait(files_->SelectedSize().bytes, session_->Port().GetSettings().baud_rate);
  if (!lazy) {
    bool go_on = true;
    FetchFilesForDrag(drag_source_->DragActions(), go_on);
    ShowStatus(StatusField::Activity, {});
    // A button let go while the files came ends the gesture: no drag
    // starts without a hand on it.
    if (!go_on || drag_source_->Files().isEmpty() || !(QApplication::mouseButtons() & Qt::LeftButton)) return -1;
  }
  drag_source_->RunDrag(lazy);
  ShowStatus(StatusField::Activity, {});
  return 0;
}

void MainWindow::HandleListKey(int key, Qt::KeyboardModifiers modifiers) {
  if (!session_->IsSessionOpen() || !files_->HasSelection()) return;
  if (modifiers == Qt::ControlModifier) {
    if (key == Qt::Key_C) CopyFiles();
    if (key == Qt::Key_V) PasteFiles();
    if (key == Qt::Key_X) CutFiles();
  }
  if (key == Qt::Key_Delete) transfers_->DeleteSelected(true);
}

void MainWindow::ReceiveFiles(const QStringList& paths) {
  transfers_->AddPendingUploads(paths);
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  SendReceivedFiles();
}

// Sent at once when a session stands, otherwise after the next connection,
// as command-line files are.
void MainWindow::SendReceivedFiles() {
  if (!session_->IsSessionOpen() || !transfers_->HasPendingUploads() || closing_) return;
  // A running exchange, or a connect that will send them itself: look again
  // once it has ended.
  if (session_->IsBusy() || session_->IsConnecting()) {
    QTimer::singleShot(200, this, &MainWindow::SendReceivedFiles);
    return;
  }
  transfers_->UploadPending();
}

}  // namespace mirvo::app
