#include <QApplication>
#include <chrono>

#include "app/app_resources.h"
#include "app/file_handover.h"
#include "app/main_window.h"
#include "app/mirvo_application.h"
#include "app/message_box.h"
#include "app/single_instance.h"
#include "app/splash_screen.h"
#include "protocol/trace_log.h"

int main(int argc, char* argv[]) {
  mirvo::app::MirvoApplication app(argc, argv);
  QApplication::setApplicationName("Mirvo");
  mirvo::app::ApplyAppFont();
  mirvo::app::ApplyDesktopHabits();
  mirvo::app::LoadQtJapanese();
  QApplication::setWindowIcon(QIcon(mirvo::app::SvgPixmap("about_icon", QSize(32, 32))));
  mirvo::LogStart();

  const QStringList params = QApplication::arguments().mid(1);
  mirvo::app::SingleInstance instance;
  mirvo::app::MessageBoxes hooks;
  const int rc = mirvo::app::StartProgram(
      params, {.acquire = [&] { return instance.Acquire(); },
               .show_splash = [] { mirvo::app::ShowSplash(2000); },
               .run_window =
                   [&] {
                     mirvo::app::MainWindow window(params);
                     hooks.SetMainWindow(&window);
                     // Without the socket the program still runs; only hand-over is lost.
                     mirvo::app::FileHandover handover;
                     handover.Listen(mirvo::app::HandoverSocketPath());
                     QObject::connect(&handover, &mirvo::app::FileHandover::FilesReceived, &window,
                                      &mirvo::app::MainWindow::ReceiveFiles);
                     window.show();
                     return QApplication::exec();
                   },
               .hand_over = [&] { return mirvo::app::SecondStart(params, std::chrono::seconds(10)); }});
  mirvo::LogClose();
  return rc;
}
