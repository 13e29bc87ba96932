// The drag-and-drop components offscreen, where no drag really runs: the
// data a drag offers, the clipboard formats and the target's events.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include "dragdrop/file_drag_source.h"
#include "dragdrop/file_drop_target.h"
#include "dragdrop/file_list_formats.h"
#include "dragdrop/lazy_file_mime.h"
#include "dragdrop/pending_cut.h"

using namespace mirvo::dragdrop;
using namespace std::chrono_literals;

class DragDropTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QString a_, b_, sub_;

  QString Make(const QString& name) {
    const QString path = dir_.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(path));
    f.write(name.toUtf8());
    return path;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    a_ = Make(QString::fromUtf8("a 1.txt"));
    b_ = Make(QString::fromUtf8("画像.jpg"));
    sub_ = dir_.filePath("sub");
    QVERIFY(QDir().mkdir(sub_));
  }

  void formatsAsFileManagersWriteThem() {
    const QString gone = dir_.filePath("gone.txt");
    QMimeData copy, cut;
    FillFileList(copy, {a_, b_}, false);
    FillFileList(cut, {a_}, true);
    const QByteArray ua = QUrl::fromLocalFile(a_).toEncoded(), ub = QUrl::fromLocalFile(b_).toEncoded();
    QVERIFY(ua.contains("a%201.txt"));
    QCOMPARE(copy.data(kUriList), ua + "\r\n" + ub + "\r\n");
    QCOMPARE(copy.data(kGnomeCopiedFiles), "copy\n" + ua + "\n" + ub);
    QCOMPARE(copy.data(kMateCopiedFiles), copy.data(kGnomeCopiedFiles));
    QCOMPARE(copy.text(), a_ + "\n" + b_);
    QVERIFY(!copy.hasFormat(kKdeCutSelection));
    QCOMPARE(cut.data(kGnomeCopiedFiles), "cut\n" + ua);
    QCOMPARE(cut.data(kKdeCutSelection), QByteArray("1"));
    QCOMPARE(LocalFiles(&copy), QStringList({a_, b_}));

    // What a file manager pastes: the GNOME list alone; other machines'
    // URLs, folders and files gone since are passed over.
    QMimeData gnome;
    gnome.setData(kGnomeCopiedFiles, "cut\n" + ub + "\nsftp://host/x.txt\n" + QUrl::fromLocalFile(sub_).toEncoded() +
                                         "\n" + QUrl::fromLocalFile(gone).toEncoded() + "\n" + ua + '\0');
    QVERIFY(HasFileList(&gnome));
    QCOMPARE(LocalFiles(&gnome), QStringList({b_, a_}));
    QMimeData mate;
    mate.setData(kMateCopiedFiles, "copy\n" + ub);
    QCOMPARE(LocalFiles(&mate), QStringList{b_});
    QMimeData uris;
    uris.setData(kUriList, "# comment\r\n" + ua + "\r\n" + ub + '\0');
    QCOMPARE(LocalFiles(&uris), QStringList({a_, b_}));

    // Only this machine's files by absolute path: another host's file and a
    // relative path are passed over with their reason, not taken as local.
    QMimeData hosts;
    hosts.setData(kUriList, "file://otherhost" + a_.toUtf8() + "\r\nfile:a%201.txt\r\nfile://LOCALHOST" +
                                QUrl::fromLocalFile(b_).path(QUrl::FullyEncoded).toUtf8() + "\r\n" +
                                QUrl::fromLocalFile(sub_).toEncoded() + "\r\n");
    const FileList list = ReadFileList(&hosts);
    QCOMPARE(list.paths, QStringList({b_, sub_}));
    QCOMPARE(list.passed_over.size(), 2);
    QCOMPARE(list.passed_over[0].name, QString("a 1.txt"));
    QVERIFY(!list.passed_over[1].reason.isEmpty());
    QVERIFY(WhyNotAFile(b_).isEmpty());
    QVERIFY(!WhyNotAFile(sub_).isEmpty() && !WhyNotAFile(gone).isEmpty() && !WhyNotAFile("/dev/null").isEmpty());
    QMimeData text;
    text.setText(a_);
    QVERIFY(!HasFileList(&text));
    QVERIFY(LocalFiles(&text).isEmpty());
  }

  void dragDataFetchesOnceAtTheFirstRequest() {
    LazyFileMime* mime = nullptr;
    QList<QUrl> nested{QUrl("file:///not-empty")};
    const QString gone = dir_.filePath("never-written.txt");
    LazyFileMime lazy(
        [&] {
          nested = mime->urls();  // a second request while the files come
          return QStringList{a_, gone, b_};
        },
        false);
    mime = &lazy;
    QVERIFY(lazy.formats().contains(kUriList));
    QVERIFY(lazy.hasUrls() && lazy.hasText() && !lazy.hasFormat(kKdeCutSelection));
    QCOMPARE(lazy.FetchCount(), 0);

    QCOMPARE(lazy.urls(), QList<QUrl>({QUrl::fromLocalFile(a_), QUrl::fromLocalFile(b_)}));
    QVERIFY(nested.isEmpty());
    QCOMPARE(lazy.text(), a_ + "\n" + b_);
    QCOMPARE(lazy.data(kGnomeCopiedFiles).left(5), QByteArray("copy\n"));
    QCOMPARE(lazy.FetchCount(), 1);
    QVERIFY(lazy.data("image/png").isEmpty());

    LazyFileMime ready({a_}, true);
    QCOMPARE(ready.data(kKdeCutSelection), QByteArray("1"));
    QCOMPARE(ready.FetchCount(), 0);
  }

  // A file manager that empties the clipboard as its paste of a cut begins
  // moves the copies a moment later; someone else's data ends the wait.
  void cutWaitsForMovesOnceTheClipboardEmpties() {
    const QString c1 = Make("c1"), c2 = Make("c2"), c3 = Make("c3");
    QClipboard* clipboard = QApplication::clipboard();
    PendingCut cut;
    std::vector<std::string> taken;
    int left = -1;
    bool offered = true;
    cut.SetOnTaken([&](const std::string& key) { taken.push_back(key); });
    cut.SetOnEnded([&](int n) { left = n; });
    clipboard->setText("ours");
    QVERIFY(cut.Watch({{c1, "k1"}, {c2, "k2"}}, [&] { return offered; }));
    offered = false;
    clipboard->clear();
    QVERIFY(QFile::rename(c1, sub_ + "/c1"));
    QTRY_COMPARE(taken, std::vector<std::string>{"k1"});
    QCOMPARE(left, -1);
    cut.SetEmptiedWait(1ms);
    QTRY_COMPARE(left, 1);
    QVERIFY(cut.Watched().isEmpty() && QFile::exists(c2));

    left = -1;
    offered = true;
    QVERIFY(cut.Watch({{c3, "k3"}}, [&] { return offered; }));
    offered = false;
    clipboard->setText("other");
    QCOMPARE(left, 1);
    QVERIFY(QFile::rename(c3, sub_ + "/c3"));
    QCoreApplication::processEvents();
    QCOMPARE(taken.size(), std::size_t{1});
  }

  void sourceAsksForFilesAndPutsOnlyWrittenFiles() {
    QWidget owner;
    FileDragSource source(&owner);
    int drops = 0;
    source.SetOnFilesWanted([&](Qt::DropActions actions, bool&) {
      ++drops;
      QCOMPARE(actions, Qt::DropActions(Qt::MoveAction));
      source.SetFiles({b_});
    });
    source.SetDragActions(Qt::MoveAction);
    std::unique_ptr<LazyFileMime> mime = source.MakeDragData(true);
    QCOMPARE(drops, 0);
    QCOMPARE(LocalFiles(mime.get()), QStringList{b_});
    QCOMPARE(mime->data(kKdeCutSelection), QByteArray("1"));
    QCOMPARE(drops, 1);

    source.SetFiles({a_, dir_.filePath("not-written.txt")});
    QCOMPARE(source.PutOnClipboard(false), 1);
    const QMimeData* clip = QApplication::clipboard()->mimeData();
    QCOMPARE(clip->data(kGnomeCopiedFiles), "copy\n" + QUrl::fromLocalFile(a_).toEncoded());
    // Nothing written: the clipboard keeps what it had.
    source.SetFiles({dir_.filePath("not-written.txt")});
    QCOMPARE(source.PutOnClipboard(true), 0);
    QVERIFY(!QApplication::clipboard()->mimeData()->hasFormat(kKdeCutSelection));
  }

  void lazyOnlyWhatTheDropWaitAllows() {
    QVERIFY(FetchFitsDropWait(23040, 115200));
    QVERIFY(!FetchFitsDropWait(23041, 115200));
    QVERIFY(FetchFitsDropWait(1920, 9600));
    QVERIFY(!FetchFitsDropWait(1921, 9600));
    QVERIFY(!FetchFitsDropWait(1, 0));
  }

  void dragDetection() {
    const int d = QApplication::startDragDistance();
    const auto delay = std::chrono::milliseconds(QApplication::startDragTime());
    const QPoint p(100, 100);
    QVERIFY(!IsDragGesture(p, p + QPoint(d - 1, 0), 0ms));
    QVERIFY(IsDragGesture(p, p + QPoint(0, d), 0ms));
    QVERIFY(!IsDragGesture(p, p, delay + 1ms));
    QVERIFY(IsDragGesture(p, p + QPoint(1, 0), delay));
  }

  void targetTakesDesktopFilesAsCopies() {
    QWidget list;
    FileDropTarget target;
    target.AcceptDropsOn(&list);
    bool accepting = true;
    target.SetAccepting([&] { return accepting; });
    QStringList raised;
    target.SetOnFilesDropped([&](Qt::KeyboardModifiers, QPoint) { raised = target.Files(); });
    QMimeData mime;
    FillFileList(mime, {sub_, a_, b_}, true);

    auto enter = [&](Qt::DropActions offered) {
      QDragEnterEvent e(QPoint(5, 5), offered, &mime, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&list, &e);
      return e.isAccepted() ? e.dropAction() : Qt::IgnoreAction;
    };
    QCOMPARE(enter(Qt::CopyAction | Qt::MoveAction), Qt::CopyAction);
    QCOMPARE(enter(Qt::MoveAction), Qt::IgnoreAction);
    accepting = false;  // an exchange is running
    QCOMPARE(enter(Qt::CopyAction | Qt::MoveAction), Qt::IgnoreAction);
    accepting = true;

    // Our own drag's data is refused: it would send the handset its files back.
    LazyFileMime own({a_}, false);
    QDragEnterEvent own_enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &own, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&list, &own_enter);
    QVERIFY(!own_enter.isAccepted());

    // Shift proposes a move; the drop is still taken as a copy, so the file
    // manager keeps its files.
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
    QCOMPARE(drop.dropAction(), Qt::MoveAction);
    QApplication::sendEvent(&list, &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(drop.dropAction(), Qt::CopyAction);
    QTRY_COMPARE(raised, QStringList({sub_, a_, b_}));

    // Paste: the same road; with no file list nothing is raised.
    raised.clear();
    auto files = std::make_unique<QMimeData>();
    files->setData(kGnomeCopiedFiles, "copy\n" + QUrl::fromLocalFile(b_).toEncoded());
    QApplication::clipboard()->setMimeData(files.release());
    QVERIFY(target.PasteFromClipboard());
    QCOMPARE(raised, QStringList{b_});
    QApplication::clipboard()->setText("x");
    QVERIFY(!target.PasteFromClipboard());
    QVERIFY(target.Files().isEmpty());
  }
};

QTEST_MAIN(DragDropTest)
#include "dragdrop_test.moc"
