// Cut, copy, paste, the list's keys, drops and the data of a drag out, on the
// main window offscreen against the simulated handset. Offscreen a drag ends
// at once, so a drag is tested through the data it offers.
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <mutex>
#include <sys/stat.h>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/transfer_progress.h"
#include "app/transfer_results_dialog.h"
#include "app_test_support.h"
#include "window_fixture.h"
#include "dragdrop/file_drag_source.h"
#include "dragdrop/file_list_formats.h"
#include "dragdrop/lazy_file_mime.h"
#include "dragdrop/pending_cut.h"
#include "test_files.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
using namespace mirvo::dragdrop;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;
namespace fs = std::filesystem;

namespace {

QString Path(const fs::path& p) { return QString::fromStdString(p.string()); }

}  // namespace

class DesktopExchangeTest : public QObject {
  Q_OBJECT

  std::unique_ptr<AppEnv> env;
  fs::path root, local;
  mirvo::sim::SimHandset* handset = nullptr;
  std::unique_ptr<MainWindow> w;
  // What the handset does on a command, on its serving thread.
  std::mutex hook_mutex;
  std::function<void(const std::string&)> on_command;

  void Select(const QStringList& names) { SelectNamed(*w, names); }
  int Commands(const char* prefix) const {
    int n = 0;
    for (const std::string& command : handset->Commands()) n += command.rfind(prefix, 0) == 0;
    return n;
  }
  QString Staged(const char* name) const { return Path(fs::path(w->Transfers().StagingDir()) / name); }
  QString ClipboardStatus() const { return w->findChild<QLabel*>("clipboard_status")->text(); }

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    root = fs::path(env->dir.path()) / "handset";
    local = fs::path(env->dir.path()) / "local";
    for (int i = 1; i <= 3; ++i) WriteFile(root / ("f" + std::to_string(i) + ".txt"), PatternBytes(100 + i));
    WriteFile(root / "lazy.bin", PatternBytes(23040));  // 2 s at 115,200 bit/s
    WriteFile(root / "first.bin", PatternBytes(23041));
    WriteFile(root / ".handset-attributes", "f2.txt\t01" + std::string(30, '-') + "\n");  // copy guarded
    setenv("TEMP", (env->dir.path() + "/temp").c_str(), 1);
    mirvo::sim::HandsetOptions options;
    options.on_command = [this](const std::string& command) {
      std::lock_guard<std::mutex> lock(hook_mutex);
      if (on_command) on_command(command);
    };
    handset = &env->StartHandset(3, root, std::move(options));
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    w = std::make_unique<MainWindow>();
    w->SetReplaceAsker([](QWidget*, const QString&) { return MainWindow::ReplaceAnswer::Replace; });
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy() && w->Files().Model().rowCount() == 5, 20000);
  }
  void cleanup() {
    w.reset();
    env->handsets.clear();  // no hook runs after this test's state is gone
    on_command = nullptr;
    unsetenv("TEMP");  // the next test's folders are made under it
    env.reset();
  }

  void copyAndCutKeepWhatFailed_data() {
    QTest::addColumn<bool>("cut");
    QTest::newRow("copy") << false;
    QTest::newRow("cut") << true;
  }
  void copyAndCutKeepWhatFailed() {
    QFETCH(bool, cut);
    Select({"f1.txt", "f2.txt", "f3.txt"});
    QStringList results;
    OnNextModal([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<mirvo::app::TransferResultsDialog*>(modal)) {
        for (int i = 0; i < dialog->ResultList()->count(); ++i) results << dialog->ResultList()->item(i)->text();
      }
      modal->close();
    });
    QCOMPARE(RunToEnd(*w, [&] { return cut ? w->CutFiles() : w->CopyFiles(); }), 0);
    QCOMPARE(results.size(), 3);
    QCOMPARE(env->boxes.size(), std::size_t{1});  // the refusal of f2.txt

    const QMimeData* clip = QApplication::clipboard()->mimeData();
    QCOMPARE(LocalFiles(clip), QStringList({Staged("f1.txt"), Staged("f3.txt")}));
    QVERIFY(clip->data(kGnomeCopiedFiles).startsWith(cut ? "cut\n" : "copy\n"));
    QCOMPARE(clip->data(kGnomeCopiedFiles).count('\n'), 2);
    QCOMPARE(clip->hasFormat(kKdeCutSelection), cut);
    QCOMPARE(clip->text(), Staged("f1.txt") + "\n" + Staged("f3.txt"));
    QCOMPARE(ReadFile(Staged("f3.txt").toStdString()), PatternBytes(103));

    // Until a paste takes them, a cut deletes nothing.
    QCOMPARE(Commands("DEL"), 0);
    QCOMPARE(w->Files().Model().rowCount(), 5);
    if (cut)
      QVERIFY(ClipboardStatus().startsWith("切り取った 2 個"));
    else
      QCOMPARE(w->StatusText(StatusField::Activity), QString("2 個のファイルをコピーしました。貼り付けできます。"));
    // Where the copies are kept is said beside it, the fields still shown.
    QTRY_VERIFY(w->StatusText(StatusField::Activity).contains("コピーしたファイルの保存先: "));
    QVERIFY(w->statusBar()->currentMessage().isEmpty());
  }

  void cutDeletesWhatAPasteMovedOnly() {
    Select({"f1.txt", "f3.txt"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    QCOMPARE(w->Cut().Waiting().size(), 2);
    // A paste that copies leaves the staged file: the handset keeps f3. One
    // that moves takes it: f1 goes, and its row with it.
    fs::create_directories(local);
    fs::copy_file(Staged("f3.txt").toStdString(), local / "f3.txt");
    fs::rename(Staged("f1.txt").toStdString(), local / "f1.txt");
    QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(root / "f1.txt"), 20000);
    QTRY_COMPARE(w->Files().Model().rowCount(), 4);
    QVERIFY(WaitIdle(*w));
    QVERIFY(fs::exists(root / "f3.txt"));
    QVERIFY(ClipboardStatus().startsWith("切り取った 1 個"));
    // Another program takes the clipboard: the cut is over, f3 stays, and
    // its copy is no longer watched.
    QApplication::clipboard()->setText("other");
    QVERIFY(w->Cut().Watched().isEmpty() && w->Cut().Waiting().isEmpty());
    QVERIFY(ClipboardStatus().startsWith("貼り付けられなかった 1 個"));
    fs::rename(Staged("f3.txt").toStdString(), local / "f3-later.txt");
    QCoreApplication::processEvents();
    QVERIFY(!w->Transfers().IsRunning() && !w->Session().IsBusy());
    QVERIFY(fs::exists(root / "f3.txt"));
    QCOMPARE(Commands("DEL"), 1);

    // A delete the handset refuses keeps the row.
    handset->SetReply("DEL", "REJ");
    Select({"f3.txt"});
    QCOMPARE(RunToEnd(*w, [&] { return w->CutFiles(); }), 0);
    fs::rename(Staged("f3.txt").toStdString(), local / "f3-again.txt");
    QTRY_COMPARE(Commands("DEL"), 2);
    QTRY_VERIFY(w->Cut().Waiting().isEmpty() && !w->Session().IsBusy());
    QCOMPARE(w->Files().Model().rowCount(), 4);
    QVERIFY(fs::exists(root / "f3.txt"));
    QVERIFY(env->Texts().last().startsWith("ファイルが存在しないか、ファイルの削除が許可されていません。"));
  }

  void refusedDeleteKeepsItsRow() {
    handset->SetReply("DEL", "REJ");
    Select({"f1.txt"});
    QTreeView* list = w->Files().DetailView();
    list->setFocus();
    QCOMPARE(RunToEnd(*w, [&] {
               QTest::keyClick(list, Qt::Key_Delete);
               return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
             }),
             0);
    QCOMPARE(env->Texts().value(0), QString("ファイルを削除しますか？\nf1.txt"));
    QCOMPARE(Commands("DEL"), 1);
    QVERIFY(fs::exists(root / "f1.txt"));
    QCOMPARE(w->Files().Model().rowCount(), 5);
    QCOMPARE(w->Session().Listing()->Size(), std::size_t{5});
  }

  void copyKeyNeedsASelectionAndAFreeSession() {
    QApplication::clipboard()->setText("before");
    QTreeView* list = w->Files().DetailView();
    list->setFocus();
    handset->ClearLog();
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    Select({"f1.txt"});
    w->Session().BeginRun();  // a run in progress takes no keys
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QVERIFY(!w->Transfers().IsRunning());
    QCOMPARE(Commands("GET_FILE"), 0);
    QCOMPARE(QApplication::clipboard()->text(), QString("before"));
    w->Session().EndRun();
    QVERIFY(!w->Session().IsBusy());
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QTRY_COMPARE(LocalFiles(QApplication::clipboard()->mimeData()), QStringList{Staged("f1.txt")});
    QCOMPARE(Commands("GET_FILE"), 1);
    // The desktop's other clipboard keys take the same commands: no caption
    // of a row replaces the files.
    Select({"f3.txt"});
    QTest::keyClick(list, Qt::Key_Insert, Qt::ControlModifier);
    QTRY_COMPARE(LocalFiles(QApplication::clipboard()->mimeData()), QStringList{Staged("f3.txt")});
    // Our own copies never go back over themselves.
    QTest::keyClick(list, Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(w->StatusText(StatusField::Activity), QString("電話機からコピーしたファイルは、電話機に貼り付けられません。"));
    QVERIFY(!w->Session().IsBusy());
    QCOMPARE(Commands("PUT_FILE"), 0);
  }

  void pasteAndDropSendLocalFilesAndSayWhatNot() {
    WriteFile(local / "p1.txt", PatternBytes(1500));
    fs::create_directories(local / "folder");
    WriteFile(local / "p2.txt", PatternBytes(7));
    QVERIFY(mkfifo((local / "fifo").c_str(), 0600) == 0);
    auto url = [&](const char* name) { return QUrl::fromLocalFile(Path(local / name)).toEncoded(); };
    auto mime = std::make_unique<QMimeData>();
    mime->setData(kUriList, url("p1.txt") + "\r\n" + url("folder") + "\r\n" + url("gone.txt") + "\r\nfile://otherhost" +
                                Path(local / "p2.txt").toUtf8() + "\r\nfile:p2.txt\r\n" + url("fifo") + "\r\n" +
                                url("p2.txt") + "\r\n");
    QApplication::clipboard()->setMimeData(mime.release());
    w->UpdateCommands();
    QVERIFY(Action(*w, "paste")->isEnabled());
    QStringList results, progress;
    OnNextModal([&](QWidget* modal) {
      if (auto* dialog = qobject_cast<mirvo::app::TransferResultsDialog*>(modal)) {
        for (int i = 0; i < dialog->ResultList()->count(); ++i) results << dialog->ResultList()->item(i)->text();
      }
      modal->close();
    });
    connect(&w->Transfers(), &mirvo::app::TransferController::StatusText, this,
            [&](mirvo::app::StatusField, const QString& text) {
              if (text.startsWith("ファイル転送中...")) progress << w->Transfers().Progress().Text();
            });
    QCOMPARE(w->PasteFiles(), mirvo::app::CommandResult::kStarted);
    QTRY_VERIFY_WITH_TIMEOUT(handset->State().files_stored == 2 && !w->Session().IsBusy() && results.size() == 7, 20000);
    QCOMPARE(ReadFile(root / "p1.txt"), PatternBytes(1500));
    QCOMPARE(ReadFile(root / "p2.txt"), PatternBytes(7));
    QVERIFY(!fs::exists(root / "folder") && fs::exists(local / "p1.txt"));
    // Every entry has its line, what was not sent with its reason; the
    // progress counted only the two files sent.
    QCOMPARE(results, QStringList({"転送失敗 … p2.txt（この PC のファイルではありません）",
                                   "転送失敗 … p2.txt（この PC のファイルではありません）",
                                   "転送失敗 … folder（送信できるファイルがありません）", "転送成功 … p1.txt",
                                   "転送失敗 … gone.txt（ファイルが見つかりません）",
                                   "転送失敗 … fifo（通常のファイルではありません）", "転送成功 … p2.txt"}));
    QCOMPARE(progress, QStringList({"0/2 ファイル", "1/2 ファイル"}));
    // Sent unprotected and without copy guard; the list comes again from the
    // handset, with its dates.
    int puts = 0;
    for (const std::string& command : handset->Commands()) {
      if (command.rfind("PUT_FILE", 0) != 0) continue;
      ++puts;
      const std::string flags = command.substr(command.rfind(',') + 1);
      QCOMPARE(std::count(flags.begin(), flags.end(), '0'), 2);
      QCOMPARE(std::count(flags.begin(), flags.end(), '-'), 30);
    }
    QCOMPARE(puts, 2);
    QCOMPARE(handset->Commands().back(), std::string("GET_LIST"));
    QVERIFY(!Column(*w, 3)[RowNamed(*w, "p1.txt")].isEmpty());

    // A drop is refused while an exchange runs.
    QWidget* viewport = w->Files().DetailView()->viewport();
    auto enter = [&] {
      QDragEnterEvent e(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, QApplication::clipboard()->mimeData(),
                        Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &e);
      return e.isAccepted();
    };
    w->Session().BeginRun();
    QVERIFY(!enter());
    w->Session().EndRun();
    QVERIFY(enter());

    // Without a session nothing is sent.
    QCOMPARE(w->Session().Disconnect(), mirvo::app::CommandResult::kStarted);
    QVERIFY(WaitIdle(*w));
    handset->ClearLog();
    QCOMPARE(w->PasteFiles(), mirvo::app::CommandResult::kStarted);
    QVERIFY(!w->Transfers().IsRunning() && !w->Session().IsBusy());
    QCOMPARE(Commands("PUT_FILE"), 0);
  }

  // A pasted folder goes with its files into a handset folder of its name
  // after one question; cancel sends nothing; what cannot go (a link out
  // of the folder, a name the handset cannot take) has its line.
  void pastedFolderGoesWithItsFilesAfterOneQuestion() {
    WriteFile(local / "album" / "a.jpg", PatternBytes(2000));
    WriteFile(local / "album" / "sub" / "b.txt", PatternBytes(5));
    WriteFile(local / "album" / "x,y.txt", "z");
    WriteFile(local / "secret.txt", "outside");
    fs::create_symlink(local / "secret.txt", local / "album" / "out");
    WriteFile(local / "a,b" / "c.txt", "c");
    auto paste = [&](const char* name) {
      auto mime = std::make_unique<QMimeData>();
      mime->setUrls({QUrl::fromLocalFile(Path(local / name))});
      QApplication::clipboard()->setMimeData(mime.release());
      return w->PasteFiles();
    };
    std::vector<QStringList> results;
    auto watch = WatchResultDialogs(&results);
    handset->ClearLog();
    env->answers = {mirvo::app::MsgAnswer::Cancel};
    QCOMPARE(paste("album"), mirvo::app::CommandResult::kStarted);
    QCOMPARE(env->Texts(),
             QStringList{QString("フォルダー「album」の 2 個のファイル（1.96 KB）を、電話機の同じ名前のフォルダーに送信しますか？")});
    QCOMPARE(Commands("PUT_FILE"), 0);
    QVERIFY(results.empty());

    QVERIFY(!w->Transfers().IsRunning());
    env->boxes.clear();
    QCOMPARE(RunToEnd(*w, [&] { return paste("album"); }), 0);
    QCOMPARE(env->boxes.size(), std::size_t{1});
    QCOMPARE(ReadFile(root / "album" / "a.jpg"), PatternBytes(2000));
    QCOMPARE(ReadFile(root / "album" / "sub" / "b.txt"), PatternBytes(5));
    QCOMPARE(Commands("PUT_FILE"), 2);
    QCOMPARE(results, std::vector<QStringList>{QStringList(
                          {"転送失敗 … album/out（フォルダーの外を指すリンクです）",
                           "転送失敗 … album/x,y.txt（ファイル名に電話機で使えない文字「,」が含まれています）",
                           "転送成功 … album/a.jpg", "転送成功 … album/sub/b.txt"})});

    results.clear();
    env->boxes.clear();
    handset->ClearLog();
    QCOMPARE(RunToEnd(*w, [&] { return paste("a,b"); }), 0);
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(Commands("PUT_FILE"), 0);
    QCOMPARE(results, std::vector<QStringList>{
                          QStringList{"転送失敗 … a,b（フォルダー名に電話機で使えない文字「,」が含まれています）"}});
  }

  void dragFetchesAtTheDropOrFirstBy2Seconds() {
    int drags = 0;
    w->DragSource().SetOnDragEnded([&](Qt::DropAction) { ++drags; });
    Select({"lazy.bin"});
    handset->ClearLog();
    // Offscreen the drag ends at once, without a drop: nothing is fetched.
    QCOMPARE(w->StartDrag(Qt::ShiftModifier), mirvo::app::CommandResult::kStarted);
    QCOMPARE(drags, 1);
    QVERIFY(!w->Session().IsBusy());
    QCOMPARE(w->DragSource().DragActions(), Qt::DropActions(Qt::MoveAction));
    QCOMPARE(Commands("GET_FILE"), 0);
    std::unique_ptr<LazyFileMime> data = w->DragSource().MakeDragData(true);
    QCOMPARE(Commands("GET_FILE"), 0);
    QCOMPARE(data->urls(), QList<QUrl>{QUrl::fromLocalFile(Staged("lazy.bin"))});
    QCOMPARE(Commands("GET_FILE"), 1);
    QCOMPARE(ReadFile(Staged("lazy.bin").toStdString()), PatternBytes(23040));

    Select({"first.bin"});
    handset->ClearLog();
    // No button is held offscreen: fetched, no drag.
    QCOMPARE(RunToEnd(*w, [&] { return w->StartDrag(Qt::NoModifier); }), 0);
    QCOMPARE(drags, 1);
    QCOMPARE(Commands("GET_FILE"), 1);
    QCOMPARE(w->DragSource().Files(), QStringList{Staged("first.bin")});
    QCOMPARE(ReadFile(Staged("first.bin").toStdString()), PatternBytes(23041));
  }
};

QTEST_MAIN(DesktopExchangeTest)
#include "desktop_exchange_test.moc"
