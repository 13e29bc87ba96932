// The help command: F1 finds the manual beside the program, then where an
// install puts it, and hands it to a viewer; what the user is told when the
// manual or a PDF viewer is missing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <fstream>

#include "app/main_window.h"
#include "app/manual_opener.h"
#include "app_test_support.h"
#include "core/paths.h"

using mirvo::app::ManualOpener;
using namespace mirvo::apptest;

namespace {

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
 public:
  void Set(const char* name, const QByteArray& value) {
    saved_.push_back({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
    qputenv(name, value);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      it->was_set ? qputenv(it->name, it->value) : qunsetenv(it->name);
  }

 private:
  struct Saved {
    const char* name;
    bool was_set;
    QByteArray value;
  };
  std::vector<Saved> saved_;
};

void WriteText(const QString& path, const char* text) {
  QDir().mkpath(QFileInfo(path).path());
  std::ofstream(path.toStdString()) << text;
}

}  // namespace

class HelpTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { env = std::make_unique<AppEnv>(); }
  void cleanup() { env.reset(); }

  void f1ShowsTheManualBesideTheProgramThenInstalledElseSaysWhatIsMissing() {
    mirvo::app::MainWindow w;
    w.SetConnectOnFirstActivation(false);
    ShowAndActivate(w);
    QStringList shown;
    bool viewer_works = true;
    auto* opener = Child<ManualOpener>(w, "manual_opener");
    opener->SetViewer([&](const QString& path) {
      shown << path;
      return viewer_works;
    });
    const QStringList places = ManualOpener::Places();
    const QString beside = places.value(0), installed = places.value(1);
    QCOMPARE(QFileInfo(beside).dir(), QDir(QString::fromStdString(mirvo::ProgramDir())));
    QCOMPARE(installed, QDir::cleanPath(QFileInfo(beside).path() + QString("/../share/doc/mirvo/取扱説明書.pdf")));

    QTest::keyClick(&w, Qt::Key_F1);
    QCOMPARE(env->Texts(), QStringList{QString("ヘルプファイル\n%1\n%2\nが見つかりませんでした。").arg(beside, installed)});

    const QString share = QDir::cleanPath(QFileInfo(beside).path() + "/../share");
    const bool made_share = !QFileInfo::exists(share);
    struct Cleanup {
      QString beside, share;
      bool made_share;
      ~Cleanup() {
        QFile::remove(beside);
        if (made_share) QDir(share).removeRecursively();
      }
    } cleanup{beside, share, made_share};
    WriteText(installed, "%PDF");
    QTest::keyClick(&w, Qt::Key_F1);
    WriteText(beside, "%PDF");
    QTest::keyClick(&w, Qt::Key_F1);
    QCOMPARE(shown, (QStringList{installed, beside}));
    QCOMPARE(env->Texts().size(), 1);

    viewer_works = false;
    QCOMPARE(w.ShowManual(), -1);
    QCOMPARE(env->Texts().size(), 2);
    QVERIFY(env->Texts().last().contains("PDF を表示するプログラムが必要です"));
    QVERIFY(env->Texts().last().endsWith("\n" + beside));
  }

  // Only an application that names PDF files counts: the desktop's opener
  // alone starts and fails unseen.
  void aPdfViewerIsOneThatSaysItOpensPdf() {
    const QString base = QString::fromStdString(env->dir.path()) + "/xdg";
    ScopedEnv scoped;
    scoped.Set("XDG_DATA_HOME", (base + "/home-data").toUtf8());
    scoped.Set("XDG_DATA_DIRS", (base + "/data").toUtf8());
    scoped.Set("XDG_CONFIG_HOME", (base + "/home-config").toUtf8());
    scoped.Set("XDG_CONFIG_DIRS", (base + "/config").toUtf8());
    const QString apps = base + "/data/applications/";
    WriteText(apps + "image-viewer.desktop", "[Desktop Entry]\nMimeType=image/png;application/pdf+zip;\n");
    WriteText(apps + "mimeinfo.cache", "[MIME Cache]\nimage/png=image-viewer.desktop;\napplication/pdf=\n");
    QVERIFY(!mirvo::app::DesktopShowsPdf());
    QVERIFY(!mirvo::app::OpenWithDesktopViewer(apps + "manual.pdf"));

    WriteText(apps + "pdf-viewer.desktop", "[Desktop Entry]\nMimeType=image/tiff;application/pdf;\n");
    QVERIFY(mirvo::app::DesktopShowsPdf());
    QFile::remove(apps + "pdf-viewer.desktop");
    WriteText(base + "/home-config/mimeapps.list", "[Default Applications]\napplication/pdf=pdf-viewer.desktop\n");
    QVERIFY(mirvo::app::DesktopShowsPdf());
  }

 private:
  std::unique_ptr<AppEnv> env;
};

QTEST_MAIN(HelpTest)
#include "help_test.moc"
