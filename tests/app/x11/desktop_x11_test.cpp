// Mirvo's clipboard and drags with other programs on a real X server: what
// xclip reads, drags out onto a Qt and a GTK drop target that check the
// files when the drop arrives, Esc during a drag, and a drop onto the list.
// The mouse is xdotool's: a press and a move on one side, then, once the
// drag runs, a move to the other side and the release.
#include <QApplication>
#include <QDrag>
#include <QListWidget>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <cstdlib>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/transfer_results_dialog.h"
#include "app_test_support.h"
#include "dragdrop/file_drag_source.h"
#include "dragdrop/pending_cut.h"
#include "test_files.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr QPoint kTargetCentre(850, 250);  // helpers' windows: 300 x 300 at (700, 100)

QStringList Xdo(QPoint p) { return {"mousemove", QString::number(p.x()), QString::number(p.y()), "sleep", "0.05"}; }

QString Url(const fs::path& p) { return QUrl::fromLocalFile(QString::fromStdString(p.string())).toString(); }

}  // namespace

class DesktopX11Test : public QObject {
  Q_OBJECT

  std::unique_ptr<AppEnv> env;
  fs::path root, staging;
  std::unique_ptr<MainWindow> w;
  mirvo::sim::SimHandset* handset = nullptr;
  std::vector<std::unique_ptr<QProcess>> processes;

  QProcess& Start(const QString& program, const QStringList& args) {
    processes.push_back(std::make_unique<QProcess>());
    QProcess& p = *processes.back();
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    return p;
  }
  QProcess& StartTarget(const QString& program, int files) {
    QProcess& p = Start(program, {QString::fromStdString(root.string()), QString::number(files), "700", "100"});
    if (!p.waitForStarted(10000)) qFatal("cannot start %s", qPrintable(program));
    return p;
  }
  static bool WaitOutput(QProcess& p, const char* text, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    QByteArray seen;
    while (clock.elapsed() < ms) {
      QTest::qWait(20);
      seen += p.readAll();
      if (seen.contains(text)) return true;
    }
    return false;
  }
  QString Clipboard(const char* target) {
    QProcess& p = Start("xclip", {"-o", "-selection", "clipboard", "-t", target});
    // This process owns the clipboard: it must go on serving while xclip reads.
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 10000)) return "timed out";
    return QString::fromUtf8(p.readAllStandardOutput());
  }
  void Select(const QStringList& names) { SelectNamed(*w, names); }
  QPoint RowCentre(const QString& name) {
    auto& model = w->Files().Model();
    for (int row = 0; row < model.rowCount(); ++row)
      if (model.index(row, 0).data().toString() == name) {
        QTreeView* view = w->Files().DetailView();
        return view->viewport()->mapToGlobal(view->visualRect(model.index(row, 0)).center());
      }
    return {};
  }

  // Presses at from and moves; once started() holds, moves to to and
  // releases there (or presses Esc first). Returns when xdotool is done.
  bool Drag(QPoint from, QPoint to, const std::function<bool()>& started, bool esc = false) {
    QStringList press = {"mousemove", QString::number(from.x()), QString::number(from.y()), "sleep", "0.1",
                         "mousedown", "1", "sleep", "0.05"};
    press << Xdo(from + QPoint(4, 4)) << Xdo(from + QPoint(20, 20)) << Xdo(from + QPoint(40, 30));
    QStringList drop = Xdo(to) << Xdo(to + QPoint(5, 5)) << Xdo(to + QPoint(10, 10));
    if (esc) drop << "key" << "Escape" << "sleep" << "0.1";
    drop << "mouseup" << "1";
    Start("xdotool", press);
    QProcess* second = nullptr;
    QTimer poll;
    poll.setInterval(20);
    // Runs inside the drag's own event loop as well.
    connect(&poll, &QTimer::timeout, this, [&] {
      if (!second && started()) second = &Start("xdotool", drop);
    });
    poll.start();
    return QTest::qWaitFor([&] { return second && second->state() == QProcess::NotRunning; }, 120000);
  }
  bool MirvoDragging() { return w->findChild<QDrag*>() != nullptr; }

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = fs::path(env->dir.path()) / "handset";
    for (int i = 0; i < 3; ++i)
      WriteFile(root / ("s" + std::to_string(i) + ".txt"), PatternBytes(2048 + i).substr(0, 2048));
    const std::size_t big = std::getenv("MIRVO_FETCH_FIRST_BYTES") ? std::stoul(std::getenv("MIRVO_FETCH_FIRST_BYTES"))
                                                                   : 40000;
    WriteFile(root / "big.bin", PatternBytes(big));
    staging = fs::path(env->dir.path()) / "temp";
    setenv("TEMP", staging.c_str(), 1);
    mirvo::sim::HandsetOptions options;
    options.bytes_per_second = 11520;  // 115,200 bit/s
    handset = &env->StartHandset(3, root, options);
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    w = std::make_unique<MainWindow>();
    ShrinkTimeouts(*w);
    w->setGeometry(0, 0, 640, 480);
    ShowAndActivate(*w);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy() && w->Files().Model().rowCount() == 4, 20000);
  }
  void cleanup() {
    for (auto& p : processes) {
      p->kill();
      p->waitForFinished(5000);
    }
    processes.clear();
    w.reset();
    unsetenv("TEMP");  // the next test's folders are made under it
    env.reset();
  }

  void clipboardAsOtherProgramsReadIt() {
    Select({"s0.txt", "s2.txt"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CopyFiles(); }), 0);
    const fs::path dir = fs::path(w->Transfers().StagingDir());
    QCOMPARE(Clipboard("x-special/gnome-copied-files"), "copy\n" + Url(dir / "s0.txt") + "\n" + Url(dir / "s2.txt"));
    QCOMPARE(Clipboard("text/uri-list"), Url(dir / "s0.txt") + "\r\n" + Url(dir / "s2.txt") + "\r\n");
    Select({"s1.txt"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    QCOMPARE(Clipboard("x-special/gnome-copied-files"), "cut\n" + Url(dir / "s1.txt"));
    QCOMPARE(Clipboard("application/x-kde-cutselection"), QString("1"));
    QCOMPARE(ReadFile(dir / "s1.txt"), PatternBytes(2049).substr(0, 2048));
    // Reading is no paste. Another program takes the clipboard: the cut is
    // over and the handset keeps its file.
    QVERIFY(fs::exists(root / "s1.txt"));
    QCOMPARE(w->Cut().Waiting().size(), 1);
    QProcess& taker = Start("xclip", {"-quiet", "-selection", "clipboard", "-i"});
    QVERIFY(taker.waitForStarted(10000));
    taker.write("other");
    taker.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(w->Cut().Watched().isEmpty(), 20000);
    QVERIFY(w->Cut().Waiting().isEmpty());
    QVERIFY(fs::exists(root / "s1.txt") && fs::exists(dir / "s1.txt"));
    for (const std::string& command : handset->Commands()) QVERIFY(command.rfind("DEL", 0) != 0);
  }

  void dragOutOntoTargets_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("names");
    const QString gtk = MIRVO_GTK_TARGET, qt = MIRVO_QT_TARGET;
    const QStringList small{"s0.txt", "s1.txt", "s2.txt"}, large{"big.bin"};
    QTest::newRow("qt, fetched at the drop") << qt << small;
    QTest::newRow("qt, fetched first") << qt << large;
    QTest::newRow("gtk, fetched at the drop") << gtk << small;
    QTest::newRow("gtk, fetched first") << gtk << large;
  }
  void dragOutOntoTargets() {
    QFETCH(QString, target);
    QFETCH(QStringList, names);
    QProcess& dropper = StartTarget(target, static_cast<int>(names.size()));
    QVERIFY(WaitOutput(dropper, "ready"));
    Select(names);
    QElapsedTimer press_to_drag;
    bool started = false;
    QVERIFY(Drag(RowCentre(names[0]), kTargetCentre, [&] {
      if (!press_to_drag.isValid() && QGuiApplication::mouseButtons() & Qt::LeftButton) press_to_drag.start();
      if (!started && MirvoDragging()) {
        started = true;
        qInfo("press to drag: %lld ms", static_cast<long long>(press_to_drag.elapsed()));
      }
      return started;
    }));
    QVERIFY(QTest::qWaitFor([&] { return dropper.state() == QProcess::NotRunning; }, 60000));
    const QByteArray said = dropper.readAll();
    qInfo("%s", said.trimmed().constData());
    QCOMPARE(dropper.exitCode(), 0);
    QVERIFY(said.contains("dropped"));
    for (const QString& name : names) QVERIFY(fs::exists(root / name.toStdString()));  // a drag moves nothing
  }

  void escDuringTheDragFetchesNothing() {
    QProcess& dropper = StartTarget(MIRVO_QT_TARGET, 2);
    QVERIFY(WaitOutput(dropper, "ready"));
    Select({"s0.txt", "s1.txt"});
    handset->ClearLog();
    Qt::DropAction ended = Qt::CopyAction;
    bool done = false;
    w->DragSource().SetOnDragEnded([&](Qt::DropAction action) {
      ended = action;
      done = true;
    });
    QVERIFY(Drag(RowCentre("s0.txt"), kTargetCentre, [&] { return MirvoDragging(); }, true));
    QTRY_VERIFY(done);
    QCOMPARE(ended, Qt::IgnoreAction);
    QCOMPARE(dropper.state(), QProcess::Running);
    for (const std::string& command : handset->Commands()) QVERIFY(command.rfind("GET_FILE", 0) != 0);
    QVERIFY(!fs::exists(fs::path(w->Transfers().StagingDir()) / "s0.txt") && !fs::exists(fs::path(w->Transfers().StagingDir()) / "s1.txt"));
  }

  void dropFromAnotherProgramUploads() {
    const fs::path local = fs::path(env->dir.path()) / "local";
    WriteFile(local / "up1.txt", PatternBytes(3000));
    WriteFile(local / "folder" / "inner.txt", "x");
    WriteFile(local / "up2.txt", PatternBytes(10));
    QProcess& source = Start(MIRVO_DRAG_SOURCE, {"700", "100", QString::fromStdString((local / "up1.txt").string()),
                                                 QString::fromStdString((local / "folder").string()),
                                                 QString::fromStdString((local / "up2.txt").string())});
    QVERIFY(WaitOutput(source, "ready"));
    QByteArray said;
    // The folder goes with its file after one question (answered yes).
    QStringList results;
    OnNextModal([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<mirvo::app::TransferResultsDialog*>(modal))
        for (int i = 0; i < dialog->ResultList()->count(); ++i) results << dialog->ResultList()->item(i)->text();
      modal->close();
    });
    QVERIFY(Drag(kTargetCentre, w->Files().DetailView()->viewport()->mapToGlobal(QPoint(200, 150)), [&] {
      said += source.readAll();
      return said.contains("dragging");
    }));
    // The window sends from its own thread: wait with its events running.
    QTRY_VERIFY_WITH_TIMEOUT(handset->State().files_stored == 3 && !w->Session().IsBusy(), 30000);
    QCOMPARE(env->Texts().size(), 1);
    QVERIFY(env->Texts()[0].startsWith("フォルダー「folder」の 1 個のファイル"));
    QCOMPARE(ReadFile(root / "up1.txt"), PatternBytes(3000));
    QCOMPARE(ReadFile(root / "up2.txt"), PatternBytes(10));
    QCOMPARE(ReadFile(root / "folder" / "inner.txt"), std::string("x"));
    QVERIFY2(results.isEmpty(), qPrintable(results.join('\n')));
    QVERIFY(fs::exists(local / "up1.txt") && fs::exists(local / "up2.txt"));
  }
};

QTEST_MAIN(DesktopX11Test)
#include "desktop_x11_test.moc"
