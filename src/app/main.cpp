#include <QApplication>
#include <chrono>

#include "app/app_resources.h"
#include "app/file_handover.h"
#include "app/main_window.h"
#include "app/mirvo_application.h"
#include "app/qt_ui_hooks.h"
#include "app/single_instance.h"
#include "app/splash_screen.h"
#include "protocol/trace_log.h"

namespace {

// A second start passes its files to the running window, which sends them;
// without files it just ends. 1 when files were given but not taken.
int SecondStart(const QStringList& params) {
  if (params.isEmpty()) return 0;
  QString error;
  if (mirvo::app::HandOverFiles(mirvo::app::HandoverSocketPath(), params, std::chrono::seconds(10), &error))
    return 0;
  mirvo::app::ShowMessage(QString::fromUtf8("起動中のMirvoにファイルを渡せませんでした。\n%1\n\n%2")
                              .arg(params.join('\n'), error));
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  mirvo::app::MirvoApplication app(argc, argv);
  QApplication::setApplicationName("Mirvo");
  mirvo::app::ApplyAppFont();
  mirvo::app::LoadQtJapanese();
  QApplication::setWindowIcon(QIcon(mirvo::app::SvgPixmap("about_icon", QSize(32, 32))));
  mirvo::LogStart();

  const QStringList params = QApplication::arguments().mid(1);
  if (params.isEmpty()) mirvo::app::ShowSplash(2000);

  mirvo::app::SingleInstance instance;
  mirvo::app::QtUiHooks hooks;
  int rc = 0;
  if (instance.Acquire()) {
    mirvo::app::MainWindow window(params);
    hooks.SetMainWindow(&window);
    // Without the socket the program still runs; only hand-over is lost.
    mirvo::app::FileHandover handover;
    handover.Listen(mirvo::app::HandoverSocketPath());
    QObject::connect(&handover, &mirvo::app::FileHandover::FilesReceived, &window,
                     &mirvo::app::MainWindow::ReceiveFiles);
    window.show();
    rc = QApplication::exec();
  } else {
    rc = SecondStart(params);
  }
  mirvo::LogClose();
  return rc;
}
