// A drag source for the X11 tests: a window at a given place that starts a
// copy drag of the given files when pressed and moved, printing "dragging"
// as it starts, and exits a little after it ends.
//   drag_source <x> <y> <file>...
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <memory>

namespace {

class Source : public QWidget {
 public:
  explicit Source(QList<QUrl> urls) : urls_(std::move(urls)) { setWindowTitle("drag-source"); }

 protected:
  void mousePressEvent(QMouseEvent*) override { pressed_ = true; }
  void mouseMoveEvent(QMouseEvent*) override {
    if (!pressed_ || started_) return;
    started_ = true;
    std::printf("dragging\n");
    std::fflush(stdout);
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls_);
    auto* drag = new QDrag(this);
    drag->setMimeData(mime.release());
    const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
    std::printf("drag ended %d\n", static_cast<int>(action));
    std::fflush(stdout);
    // The target reads after the release on X11: stay a little for it.
    QTimer::singleShot(3000, qApp, &QApplication::quit);
  }

 private:
  QList<QUrl> urls_;
  bool pressed_ = false, started_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: drag_source <x> <y> <file>...\n");
    return 2;
  }
  QList<QUrl> urls;
  for (int i = 3; i < argc; ++i) urls << QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i]));
  Source source(urls);
  source.setGeometry(std::atoi(argv[1]), std::atoi(argv[2]), 200, 200);
  source.show();
  QTimer::singleShot(200, &source, [] {
    std::printf("ready\n");
    std::fflush(stdout);
  });
  return app.exec();
}
