// The main window's commands between the handset and files of the user's
// choosing: send chosen files, open a file with the desktop's application.
#include <QAbstractItemView>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QListView>
#include <QTreeView>
#include <QUrl>

#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/main_window.h"
#include "app/qt_ui_hooks.h"
#include "app/session_controller.h"
#include "app/transfer_controller.h"

namespace mirvo::app {

void MainWindow::CreateFileCommands() {
  pick_files_ = [](QWidget* parent) {
    return QFileDialog::getOpenFileNames(parent, "ファイルを送信", QDir::homePath());
  };
  connect(send_files_action_, &QAction::triggered, this, &MainWindow::SendFiles);
  // Double-click or Enter, as the desktop has it.
  for (QAbstractItemView* view : std::initializer_list<QAbstractItemView*>{files_->IconView(), files_->DetailView()})
    connect(view, &QAbstractItemView::activated, this, &MainWindow::OpenFile);
}

int MainWindow::SendFiles() {
  if (!session_->IsSessionOpen() || session_->IsBusy()) return -1;
  const QStringList paths = pick_files_(this);
  if (paths.isEmpty() || !session_->IsSessionOpen() || session_->IsBusy()) return -1;
  transfers_->UploadFiles(paths);
  UpdateStatusText();
  UpdateCommands();
  return 0;
}

int MainWindow::OpenFile(const QModelIndex& index) {
  if (!session_->IsSessionOpen() || session_->IsBusy() || !index.isValid()) return -1;
  const int line = files_->Model().LineOfRow(index.row());
  const std::vector<std::string>& lines = session_->Lines();
  if (line < 0 || line >= static_cast<int>(lines.size())) return -1;
  QStringList fetched;
  if (transfers_->DownloadFiles({lines[static_cast<std::size_t>(line)]}, fetched) != 0 || fetched.size() != 1)
    return -1;
  UpdateStatusText();
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(fetched[0]))) return 0;
  ShowMessage(QString("このファイルを開くアプリケーションが見つかりませんでした。\r\n%1").arg(fetched[0]));
  return -1;
}

}  // namespace mirvo::app
