// Files a second start handed to this window: sent at once when a session
// stands, otherwise after the next connection, as command-line files are.
#include <QTimer>

#include "app/main_window.h"

namespace mirvo::app {

void MainWindow::ReceiveFiles(const QStringList& paths) {
  PendingUploads += paths;
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  SendReceivedFiles();
}

void MainWindow::SendReceivedFiles() {
  if (!SessionOpen || PendingUploads.isEmpty() || closing_) return;
  // A running exchange, or a connect that will send them itself: look again
  // once it has ended.
  if (Busy || Connecting) {
    QTimer::singleShot(200, this, &MainWindow::SendReceivedFiles);
    return;
  }
  UploadPending();
}

}  // namespace mirvo::app
