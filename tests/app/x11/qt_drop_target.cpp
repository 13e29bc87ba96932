// A Qt drop target for the X11 tests: a window at a given place that takes
// one drop of files, checks that each exists with the bytes of the file of
// the same name in the reference folder at the moment the drop arrives, and
// exits 0 when all do.
//   qt_drop_target <reference dir> <files expected> <x> <y>
// Prints "ready" once shown, then "dropped <n> files in <ms> ms" or "FAIL ...".
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>

namespace {

QByteArray Bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Target : public QWidget {
 public:
  Target(QString reference, int expected) : reference_(std::move(reference)), expected_(expected) {
    setAcceptDrops(true);
    setWindowTitle("qt-drop-target");
  }

 protected:
  void dragEnterEvent(QDragEnterEvent* e) override {
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  }
  void dropEvent(QDropEvent* e) override {
    QElapsedTimer clock;
    clock.start();
    const QList<QUrl> urls = e->mimeData()->urls();
    const qint64 ms = clock.elapsed();
    e->acceptProposedAction();
    QString fault;
    if (urls.size() != expected_) fault = QString("%1 files, expected %2").arg(urls.size()).arg(expected_);
    for (const QUrl& url : urls) {
      const QString path = url.toLocalFile();
      const QString ref = QDir(reference_).filePath(QFileInfo(path).fileName());
      if (!QFileInfo(path).isFile() || Bytes(path) != Bytes(ref)) fault += " wrong: " + path;
    }
    if (fault.isEmpty())
      std::printf("dropped %lld files in %lld ms\n", static_cast<long long>(urls.size()), static_cast<long long>(ms));
    else
      std::printf("FAIL %s\n", qPrintable(fault));
    std::fflush(stdout);
    QTimer::singleShot(0, qApp, [ok = fault.isEmpty()] { QApplication::exit(ok ? 0 : 1); });
  }

 private:
  QString reference_;
  int expected_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 5) {
    std::fprintf(stderr, "usage: qt_drop_target <reference dir> <files> <x> <y>\n");
    return 2;
  }
  Target target(QString::fromLocal8Bit(argv[1]), std::atoi(argv[2]));
  target.setGeometry(std::atoi(argv[3]), std::atoi(argv[4]), 300, 300);
  target.show();
  QTimer::singleShot(200, &target, [] {
    std::printf("ready\n");
    std::fflush(stdout);
  });
  return app.exec();
}
