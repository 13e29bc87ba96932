// The main window's exchange with the desktop: the clipboard, the list's
// edit keys, drags out of the list, drops onto it and files handed over by
// a second start.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QStatusBar>
#include <QFileInfo>
#include <QTimer>
#include <QListView>
#include <QTreeView>
#include <algorithm>

#include "app/file_view.h"
#include "app/folder_upload.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/session_controller.h"
#include "app/transfer_controller.h"
#include "app/transfer_progress.h"
#include "dragdrop/file_drag_source.h"
#include "dragdrop/file_drop_target.h"
#include "dragdrop/file_list_formats.h"
#include "dragdrop/pending_cut.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

QString CutWaitingText(qsizetype files) {
  return QString("切り取った %1 個のファイルが貼り付けを待っています。貼り付けた分だけ電話機から削除します。").arg(files);
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

  pending_cut_ = new dragdrop::PendingCut(this);
  pending_cut_->SetOnTaken([this](const std::string& line) {
    taken_lines_.push_back(line);
    DeleteTakenFiles();
  });
  pending_cut_->SetOnEnded([this](int left) {
    ShowClipboardStatus(left > 0 ? QString("貼り付けられなかった %1 個のファイルは電話機に残しました。").arg(left)
                                 : QString());
  });
  // A deletion that found the window busy comes back when it is free.
  connect(session_.get(), &SessionController::Idle, this, &MainWindow::DeleteTakenFiles, Qt::QueuedConnection);
  connect(session_.get(), &SessionController::ConnectionLost, pending_cut_, &dragdrop::PendingCut::Finish);
  clipboard_status_ = new QLabel(status_bar_);
  clipboard_status_->setObjectName("clipboard_status");
  // Never wider than the window leaves it: the whole text is its tooltip.
  clipboard_status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  clipboard_status_->hide();
  status_bar_->insertWidget(3, clipboard_status_, 1);
}

void MainWindow::ShowClipboardStatus(const QString& text) {
  clipboard_status_->setText(text);
  clipboard_status_->setToolTip(text);
  clipboard_status_->setVisible(!text.isEmpty());
}

CommandResult MainWindow::CopyFiles() { return PutOnClipboard(false); }

CommandResult MainWindow::CutFiles() { return PutOnClipboard(true); }

CommandResult MainWindow::PutOnClipboard(bool cut) {
  if (session_->IsBusy()) return CommandResult::kRefused;
  // The last cut's copies that were pasted count; the others stay, and so
  // do their handset files.
  pending_cut_->Finish();
  // A paste made while the files come gets nothing rather than the
  // clipboard's older files.
  QClipboard* clipboard = QApplication::clipboard();
  if (session_->IsSessionOpen() && files_->HasSelection() && dragdrop::HasFileList(clipboard->mimeData()))
    clipboard->clear();
  drag_source_->SetDragActions(cut ? Qt::MoveAction : Qt::CopyAction);
  return transfers_->DownloadSelected([this, cut](const TransferController::Fetched& fetched) {
    OfferOnClipboard(cut, fetched);
  });
}

void MainWindow::OfferOnClipboard(bool cut, const TransferController::Fetched& fetched) {
  drag_source_->SetFiles(fetched.local_paths);
  const int offered = drag_source_->PutOnClipboard(cut);
  ShowStatus(StatusField::Activity, {});
  if (offered > 0 && !drag_source_->HoldsClipboard()) {
    ShowClipboardStatus(cut ? "クリップボードを使えませんでした。電話機のファイルはそのままです。"
                            : "クリップボードを使えませんでした。");
  } else if (offered > 0 && !cut) {
    ShowClipboardStatus({});
  } else if (offered > 0) {
    // A handset file waits for a paste only when its copy is on disk.
    std::vector<dragdrop::PendingCut::Entry> entries;
    for (std::size_t i = 0; i < fetched.files.size(); ++i) {
      const QString& path = fetched.local_paths[static_cast<qsizetype>(i)];
      if (QFileInfo(path).isFile()) entries.push_back({path, fetched.files[i].line});
    }
    if (pending_cut_->Watch(std::move(entries), [this] { return drag_source_->HoldsClipboard(); }))
      ShowClipboardStatus(CutWaitingText(pending_cut_->Waiting().size()));
  }
  UpdateStatusText();
  if (!cut && offered > 0 && drag_source_->HoldsClipboard())
    ShowStatus(StatusField::Activity, QString("%1 個のファイルをコピーしました。貼り付けできます。").arg(offered));
  UpdateCommands();
}

// The copies a paste took: their handset files go, in one run, whenever
// the window is free. Without a session the handset keeps them.
void MainWindow::DeleteTakenFiles() {
  if (taken_lines_.empty()) return;
  if (!session_->IsSessionOpen() || close_pending_) {
    taken_lines_.clear();
    return;
  }
  if (session_->IsBusy()) return;  // Idle brings this back
  std::vector<HandsetFile> files;
  for (const std::string& line : taken_lines_) {
    for (const HandsetFile& file : session_->Listing()->Files())
      if (file.line == line) {
        files.push_back(file);
        break;
      }
  }
  taken_lines_.clear();
  if (files.empty()) return;
  transfers_->DeleteFiles(std::move(files), [this](int deleted) {
    if (const qsizetype waiting = pending_cut_->Waiting().size(); waiting > 0)
      ShowClipboardStatus(CutWaitingText(waiting));
    UpdateStatusText();
    if (deleted > 0)
      ShowStatus(StatusField::Activity, QString("貼り付けた %1 個のファイルを電話機から削除しました。").arg(deleted));
  });
}

CommandResult MainWindow::PasteFiles() {
  if (session_->IsBusy()) return CommandResult::kRefused;
  // Our own copies of the handset's files would go back over themselves.
  if (drag_source_->HoldsClipboard()) {
    ShowStatus(StatusField::Activity, "電話機からコピーしたファイルは、電話機に貼り付けられません。");
    return CommandResult::kRefused;
  }
  drop_target_->PasteFromClipboard();
  ShowStatus(StatusField::Activity, {});
  UpdateStatusText();
  UpdateCommands();
  return CommandResult::kStarted;
}

void MainWindow::UploadDroppedFiles() {
  ForceForeground(this);
  // The drop is taken only while the window is free; the sending comes a
  // moment later and finds it so unless the user started something since.
  if (!session_->IsSessionOpen() || session_->IsBusy()) return;
  // A folder goes with the files below it into a handset folder of its
  // name, as the command line's put --to sends them; once the user agrees.
  FolderUpload dropped;
  dropped.refused = drop_target_->PassedOverEntries();
  QStringList folders;
  for (const QString& path : drop_target_->Files()) {
    const QFileInfo info(path);
    if (!info.isDir()) {
      dropped.files.push_back({path, {}, {}});
      continue;
    }
    folders << info.fileName();
    const qsizetype files = dropped.files.size(), refused = dropped.refused.size();
    CollectFolder(path, dropped);
    if (dropped.files.size() == files && dropped.refused.size() == refused)
      dropped.refused.push_back({info.fileName(), "送信できるファイルがありません"});
  }
  qsizetype in_folders = 0;
  for (const TransferController::Upload& upload : dropped.files) in_folders += !upload.folder.empty();
  if (in_folders > 0) {
    const QString what = folders.size() == 1 ? QString("フォルダー「%1」").arg(folders[0])
                                             : QString("%1 個のフォルダー").arg(folders.size());
    const QString question = QString("%1の %2 個のファイル（%3）を、電話機の同じ名前のフォルダーに送信しますか？")
                                 .arg(what)
                                 .arg(in_folders)
                                 .arg(SizeText(dropped.bytes));
    if (ShowMessage(question, MsgIcon::Question, MsgButtons::OkCancel) != MsgAnswer::Ok) return;
    if (!session_->IsSessionOpen() || session_->IsBusy()) return;
  }
  transfers_->UploadFiles(dropped.files, dropped.refused);
  UpdateStatusText();
}

// The drop target asks for the files of a lazy drag and waits for them: the
// one wait of the window on the session, bounded by what the line brings
// within the target's patience (see FetchFitsDropWait).
void MainWindow::FetchFilesForDrag(Qt::DropActions, bool& go_on) {
  if (session_->IsBusy() || !session_->IsSessionOpen()) {
    go_on = false;
    return;
  }
  ReleaseCapture();
  const std::vector<FileOutcome> outcomes = session_->Worker().FetchNow(
      {files_->SelectedFiles().files, transfers_->StagingDir(), {}});
  QStringList files;
  for (const FileOutcome& o : outcomes)
    if (o.kind == FileOutcome::Kind::kDone) files << QString::fromStdString(o.local_path);
  drag_source_->SetFiles(files);
  ForceForeground(this);
  ForceActive(this);
  UpdateStatusText();
}

CommandResult MainWindow::StartDrag(Qt::KeyboardModifiers modifiers) {
  if (session_->IsBusy()) return CommandResult::kRefused;
  drag_source_->SetFiles({});
  drag_source_->SetDragActions(modifiers == Qt::ShiftModifier ? Qt::MoveAction : Qt::CopyAction);
  // What the line brings within the target's patience comes at the drop;
  // more is fetched first, so that the drag offers files already there.
  if (dragdrop::FetchFitsDropWait(files_->SelectedSize().bytes, session_->BitsPerSecond())) {
    drag_source_->RunDrag(true);
    ShowStatus(StatusField::Activity, {});
    return CommandResult::kStarted;
  }
  return transfers_->DownloadSelected([this](const TransferController::Fetched& fetched) {
    drag_source_->SetFiles(fetched.local_paths);
    ForceForeground(this);
    ForceActive(this);
    UpdateStatusText();
    // A button let go while the files came ends the gesture: no drag
    // starts without a hand on it.
    if (fetched.local_paths.isEmpty() || !(QApplication::mouseButtons() & Qt::LeftButton)) return;
    drag_source_->RunDrag(false);
    ShowStatus(StatusField::Activity, {});
  });
}

void MainWindow::HandleListKey(int key, Qt::KeyboardModifiers modifiers) {
  if (!session_->IsSessionOpen() || !files_->HasSelection()) return;
  // The desktop's other clipboard keys go through the same commands; the
  // view's own would put a caption on the clipboard in place of the files.
  const bool ctrl = modifiers == Qt::ControlModifier, shift = modifiers == Qt::ShiftModifier;
  if ((ctrl && key == Qt::Key_C) || (ctrl && key == Qt::Key_Insert)) CopyFiles();
  if ((ctrl && key == Qt::Key_V) || (shift && key == Qt::Key_Insert)) PasteFiles();
  if (ctrl && key == Qt::Key_X) CutFiles();
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
  if (!transfers_->HasPendingUploads() || close_pending_) return;
  if (!session_->IsSessionOpen()) {
    if (!session_->IsConnecting())
      ShowStatus(StatusField::Activity, QString("%1 個のファイルは電話機に接続したら送信します。")
                                            .arg(transfers_->PendingUploads().size()));
    return;
  }
  // A running exchange, or a connect that will send them itself: look again
  // once it has ended.
  if (session_->IsBusy() || session_->IsConnecting()) {
    QTimer::singleShot(200, this, &MainWindow::SendReceivedFiles);
    return;
  }
  transfers_->UploadPending();
}

}  // namespace mirvo::app
