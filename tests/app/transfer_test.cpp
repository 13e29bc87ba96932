// Fetching, sending and deleting handset files from the window, against the
// simulated handset on a pseudo-terminal.
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/transfer_results_dialog.h"
#include "app/transfer_progress.h"
#include "app_test_support.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "test_files.h"

using mirvo::HandsetListing;
using mirvo::app::MainWindow;
using mirvo::app::SessionWorker;
using namespace mirvo::apptest;
namespace fs = std::filesystem;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

namespace {


const char* const kCopyFailed = "ファイルのコピーに失敗しました。";
const char* const kHungUp = "電話機との通信が中断されました。";

// A box's fixed text, and the line about the file under it.
QString FirstLine(const QString& text) { return text.section("\n", 0, 0); }
QString SecondLine(const QString& text) { return text.section("\n", 1); }

// Whether the session's port is open, as its own thread sees it once the
// jobs before have run: 1 or 0, -1 when the worker did not answer.
int PortOpen(MainWindow& w) {
  auto open = std::make_shared<std::atomic<int>>(-1);
  w.Session().Worker().PostInspect(
      [open](mirvo::SerialPort& port, mirvo::ProtocolEngine&) { *open = port.IsOpen() ? 1 : 0; });
  return QTest::qWaitFor([&] { return *open != -1; }, 10000) ? open->load() : -1;
}

int CountOf(const std::vector<std::string>& commands, const char* prefix) {
  int n = 0;
  for (const std::string& command : commands) n += command.rfind(prefix, 0) == 0;
  return n;
}

}  // namespace

class TransferTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnv> env;
  fs::path root, stage;
  mirvo::sim::SimHandset* handset = nullptr;

  std::unique_ptr<MainWindow> Connected(const QStringList& params = {}, mirvo::sim::HandsetOptions options = {}) {
    handset = &env->StartHandset(3, root, std::move(options));
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    auto w = std::make_unique<MainWindow>(params);
    w->Transfers().SetStagingDir(stage.string() + "/");
    // Sent again and again over the same names: replaced without a question.
    w->SetReplaceAsker([](QWidget*, const QString&) { return MainWindow::ReplaceAnswer::Replace; });
    ShrinkTimeouts(*w);
    ShowAndActivate(*w);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting() && !w->Session().IsBusy(), 15000); }();
    handset->ClearLog();
    return w;
  }

  void Select(MainWindow& w, const QStringList& names) {
    auto& model = w.Files().Model();
    auto* selection = w.Files().DetailView()->selectionModel();
    selection->clearSelection();
    for (int row = 0; row < model.rowCount(); ++row)
      if (names.contains(model.index(row, 0).data().toString()))
        selection->select(model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(selection->selectedRows().size(), names.size());
  }

  // Every result dialog shown: its lines,
  // answered with OK (or Esc).
  std::vector<QStringList> dialogs;
  bool escape = false;
  std::unique_ptr<QTimer> dialogWatch;

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    dialogs.clear();
    dialogWatch = WatchResultDialogs(&dialogs, &escape);
    root = fs::path(env->dir.path()) / "handset";
    stage = fs::path(env->dir.path()) / "stage";
    WriteFile(root / "one.bin", PatternBytes(3000));
    WriteFile(root / "two.bin", PatternBytes(1024));
    WriteFile(root / "three.bin", PatternBytes(1));
    WriteFile(root / "sub" / "deep.txt", PatternBytes(10));
    MakeFile(root / "dated.txt", 5, 2004, 1, 23, 15, 30);
  }
  void cleanup() {
    dialogWatch.reset();
    env.reset();
  }

  // One row of the failure table for each operation: -1 (ERROR), -2 (REJ)
  // and a broken exchange (a reply with a bad CRC).
  void failureTable_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("session");
    QTest::addColumn<QString>("download");
    QTest::addColumn<QString>("upload");
    QTest::addColumn<QString>("remove");
    QTest::newRow("-1") << "ERROR" << false << QString(kCopyFailed) << QString(kCopyFailed) << QString("ファイルの削除に失敗しました。");
    QTest::newRow("-2") << "REJ" << true << QString("指定したファイルがありません。またはコピー不可のファイルです。")
                        << QString("ファイルサイズが大きすぎるか、ファイルのコピーが許可されていません。")
                        << QString("ファイルが存在しないか、ファイルの削除が許可されていません。");
    QTest::newRow("broken") << "CRC" << false << QString("不正な処理が発生しました。切断します。")
                            << QString("電話機との通信が中断されました。") << QString("不正な処理が発生しました。切断します。");
  }
  void failureTable() {
    QFETCH(QString, reply);
    QFETCH(bool, session);
    QFETCH(QString, download);
    QFETCH(QString, upload);
    QFETCH(QString, remove);
    const fs::path local = fs::path(env->dir.path()) / "local" / "up.dat";
    WriteFile(local, PatternBytes(100));
    const std::pair<const char*, QString> ops[] = {{"GET_FILE", download}, {"PUT_FILE", upload}, {"DEL", remove}};
    for (const auto& [command, message] : ops) {
      const QString op(command);
      env->boxes.clear();
      auto w = Connected();
      if (reply == "CRC")
        handset->CorruptCrc(1);
      else
        handset->SetReply(command, reply.toStdString());
      dialogs.clear();
      if (op == "GET_FILE") {
        Select(*w, {"one.bin"});
        const Download d = DownloadToEnd(*w);
        QCOMPARE(d.started, 0);
        QCOMPARE(d.fetched.session_lost, !session);
        // A closed session ends the run without its dialog.
        QCOMPARE(dialogs.size(), std::size_t{session});
        if (session) QCOMPARE(dialogs[0], QStringList{QString("転送失敗 … one.bin")});
        QVERIFY(d.fetched.local_paths.isEmpty() && d.fetched.files.empty());
        QVERIFY(!fs::exists(stage / "one.bin"));
      } else if (op == "PUT_FILE") {
        int sent = -1;
        QCOMPARE(RunToEnd(*w, [&] {
                   return w->Transfers().UploadFiles({QString::fromStdString(local.string())}, {},
                                                     [&](int n) { sent = n; });
                 }),
                 0);
        QCOMPARE(sent, 0);
        QVERIFY(dialogs.empty());  // a single line needs no dialog
        QVERIFY(!fs::exists(root / "up.dat"));
      } else {
        Select(*w, {"one.bin"});
        QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().DeleteSelected(false); }), 0);
        QVERIFY(dialogs.empty());
        // After a broken exchange the handset may or may not have deleted it.
        if (reply != "CRC") QVERIFY(fs::exists(root / "one.bin"));
      }
      // (A bad frame is first reported by the engine itself.)
      QVERIFY2(!env->boxes.empty() && FirstLine(env->boxes.back().text) == message,
               qPrintable(op + ": " + env->Texts().join("|")));
      QCOMPARE(SecondLine(env->boxes.back().text), QString(op == "PUT_FILE" ? "up.dat" : "one.bin"));
      QCOMPARE(env->boxes.back().icon, mirvo::app::MsgIcon::Error);
      if (reply == "CRC") QCOMPARE(env->boxes.front().text, QString("受信:CRCエラー"));
      QVERIFY2(w->Session().IsSessionOpen() == session && w->Session().IsLinkOpen() == session, command);
      QCOMPARE(PortOpen(*w), session ? 1 : 0);
      QVERIFY(!w->Session().IsBusy());
      QVERIFY(!QApplication::overrideCursor());
      w.reset();
      env->handsets.clear();
    }
  }

  void downloadRunStagesEveryFileByteExactWithItsDate() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin", "three.bin", "sub\\deep.txt", "dated.txt"});
    // A staging folder that is a link is refused before anything is fetched.
    fs::create_directories(fs::path(env->dir.path()) / "elsewhere");
    fs::create_directory_symlink(fs::path(env->dir.path()) / "elsewhere", stage);
    Download d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QVERIFY(d.fetched.local_paths.isEmpty() && d.fetched.files.empty());
    QVERIFY(env->Texts().value(0).startsWith(QString(kCopyFailed)));
    QVERIFY(handset->Commands().empty() && fs::is_empty(fs::path(env->dir.path()) / "elsewhere"));
    QVERIFY(dialogs.empty());
    fs::remove(stage);
    env->boxes.clear();
    d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QCOMPARE(env->Texts(), QStringList{});
    const QStringList& paths = d.fetched.local_paths;
    QCOMPARE(paths.size(), 5);
    QCOMPARE(d.fetched.files.size(), std::size_t{5});
    for (const char* name : {"one.bin", "two.bin", "three.bin", "dated.txt"})
      QCOMPARE(ReadFile(stage / name), ReadFile(root / name));
    QCOMPARE(ReadFile(stage / "sub" / "deep.txt"), ReadFile(root / "sub" / "deep.txt"));
    QVERIFY(paths.contains(QString::fromStdString((stage / "sub" / "deep.txt").string())));
    QCOMPARE(fs::last_write_time(stage / "dated.txt"), fs::last_write_time(root / "dated.txt"));
    struct stat st {};
    QCOMPARE(::stat(stage.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    QVERIFY(!d.fetched.session_lost && !d.fetched.stopped);
    QVERIFY(!w->Session().IsBusy() && w->Session().IsSessionOpen() && w->Session().IsLinkOpen());
    QVERIFY(!w->Transfers().Progress().isVisible());
  }

  // A refused file fails alone; a broken exchange ends the run; names that
  // would leave the staging folder and copies that cannot be written fail
  // without a disconnect and are never counted as fetched.
  void downloadRunsKeepGoingOrStopAsTheFailureSays() {
    std::ofstream(root / ".handset-attributes") << "two.bin\t-1" << std::string(30, '-') << "\n";
    auto w = Connected();
    Select(*w, {"one.bin", "three.bin", "two.bin"});
    escape = true;
    Download d = DownloadToEnd(*w);
    escape = false;
    QCOMPARE(d.started, 0);
    QCOMPARE(dialogs, (std::vector<QStringList>{{QString("転送成功 … one.bin"), QString("転送成功 … three.bin"),
                                                 QString("転送失敗 … two.bin")}}));
    QCOMPARE(env->Texts(), QStringList{QString("指定したファイルがありません。またはコピー不可のファイルです。\n"
                                               "two.bin（コピーガードが設定されています）")});
    QCOMPARE(ReadFile(stage / "one.bin"), ReadFile(root / "one.bin"));
    QCOMPARE(ReadFile(stage / "three.bin"), ReadFile(root / "three.bin"));
    QVERIFY(!fs::exists(stage / "two.bin"));
    QCOMPARE(d.fetched.local_paths.size(), 2);
    QVERIFY(w->Session().IsSessionOpen() && !w->Session().IsBusy());

    // Bad names and an unwritable copy, beside a good file. The handset
    // cannot hold such names: the view lists them beside its own.
    const std::string flags = "," + std::string(32, '-') + ",";
    std::vector<std::string> lines = ListedLines(*w);
    lines.push_back("..\\evil.txt,5,2004/01/23/1530" + flags);
    lines.push_back("\\abs.txt,5,2004/01/23/1530" + flags);
    w->Files().SetListing(HandsetListing::FromLines(lines));
    w->Files().ShowCurrentFolder();
    fs::remove(stage / "one.bin");
    fs::create_directories(stage / "one.bin");
    Select(*w, {"..\\evil.txt", "\\abs.txt", "one.bin", "three.bin"});
    dialogs.clear();
    env->boxes.clear();
    handset->ClearLog();
    d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QCOMPARE(env->Texts().size(), 3);
    for (const QString& text : env->Texts()) {
      QCOMPARE(FirstLine(text), QString(kCopyFailed));
      QVERIFY2(SecondLine(text).contains("（"), qPrintable(text));  // the name and why
    }
    QCOMPARE(dialogs.size(), std::size_t{1});
    QCOMPARE(dialogs[0].filter(QString("転送失敗")).size(), 3);
    QCOMPARE(d.fetched.local_paths, QStringList{QString::fromStdString((stage / "three.bin").string())});
    QCOMPARE(d.fetched.files.size(), std::size_t{1});
    QVERIFY(!fs::exists(fs::path(env->dir.path()) / "evil.txt") && !fs::exists("/abs.txt"));
    QVERIFY(fs::is_directory(stage / "one.bin") && fs::is_empty(stage / "one.bin"));
    for (const std::string& command : handset->Commands()) QVERIFY(command.find("evil") == std::string::npos);
    QVERIFY(w->Session().IsSessionOpen() && w->Session().IsLinkOpen() && !w->Session().IsBusy());

    // A broken exchange on the second file: the third is never asked for.
    Select(*w, {"dated.txt", "three.bin", "two.bin"});
    handset->ClearLog();
    handset->CorruptCrc(3);  // reply and data of the first, then the second's reply
    dialogs.clear();
    d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QVERIFY(d.fetched.session_lost);
    QVERIFY(dialogs.empty());
    QVERIFY(fs::exists(stage / "dated.txt"));
    QVERIFY(!w->Session().IsSessionOpen() && !w->Session().IsBusy());
    QCOMPARE(PortOpen(*w), 0);
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 2);

    // Broken on the last file of the run, the last row: it ends the same way.
    QCOMPARE(w->Session().Connect(), mirvo::app::CommandResult::kStarted);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy(), 15000);
    auto& model = w->Files().Model();
    Select(*w, {model.index(model.rowCount() - 1, 0).data().toString()});
    handset->CorruptCrc(1);  // its reply
    d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QVERIFY(d.fetched.session_lost && d.fetched.files.empty());
    QVERIFY(dialogs.empty());
    QVERIFY(!w->Session().IsSessionOpen());
  }

  // Progress while each file goes both ways, a file whose fetch throws
  // failing alone, and Esc giving up the file under way and the rest of
  // the run, the session kept for the next.
  void progressStopAndAThrowingFile() {
    // Paced as the real line, so that the window hears of a file while it
    // still comes.
    WriteFile(root / "long.bin", PatternBytes(30000));
    mirvo::sim::HandsetOptions paced;
    paced.bytes_per_second = 11520;
    auto w = Connected({}, std::move(paced));
    SessionWorker& worker = w->Session().Worker();
    std::vector<qint64> seen;
    bool stop = false;
    connect(&worker, &SessionWorker::FileProgress, w.get(), [&](qint64 done) {
      seen.push_back(done);
      if (std::exchange(stop, false)) QTest::keyClick(w->Files().DetailView(), Qt::Key_Escape);
    });
    Select(*w, {"one.bin"});
    QCOMPARE(DownloadToEnd(*w).fetched.files.size(), std::size_t{1});
    QVERIFY2(!seen.empty() && std::is_sorted(seen.begin(), seen.end()) && seen.back() == 3000,
             qPrintable(QString::number(seen.size())));
    seen.clear();
    const fs::path local = fs::path(env->dir.path()) / "local" / "up.dat";
    WriteFile(local, PatternBytes(2500));
    int sent = -1;
    QCOMPARE(RunToEnd(*w, [&] {
               return w->Transfers().UploadFiles({QString::fromStdString(local.string())}, {}, [&](int n) { sent = n; });
             }),
             0);
    QCOMPARE(sent, 1);
    QVERIFY2(!seen.empty() && std::is_sorted(seen.begin(), seen.end()) && seen.back() == 2500,
             qPrintable(QString::number(seen.size())));

    // The throwing file comes last: the link is made again and the run ends.
    struct Hook {
      std::atomic<int> calls{0};
      std::function<void(std::int64_t)> shown;
    };
    auto hook = std::make_shared<Hook>();
    worker.PostInspect([hook](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) {
      hook->shown = engine.On().progress;
      engine.On().progress = [hook](std::int64_t done) {
        if (++hook->calls == 2) throw std::bad_alloc();
        hook->shown(done);
      };
    });
    Select(*w, {"three.bin", "two.bin"});
    Download d = DownloadToEnd(*w);
    worker.PostInspect([hook](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) { engine.On().progress = hook->shown; });
    QCOMPARE(d.started, 0);
    QCOMPARE(hook->calls.load(), 2);
    QCOMPARE(dialogs, (std::vector<QStringList>{{QString("転送成功 … three.bin"), QString("転送失敗 … two.bin")}}));
    QCOMPARE(env->Texts(), QStringList{QString(kCopyFailed) + "\ntwo.bin（データが正しく届きませんでした）"});
    QCOMPARE(d.fetched.files.size(), std::size_t{1});
    QVERIFY(!fs::exists(stage / "two.bin"));
    QVERIFY(w->Session().IsSessionOpen() && !d.fetched.session_lost);
    QVERIFY(!w->Session().IsBusy() && !QApplication::overrideCursor() && !w->Transfers().Progress().isVisible());

    dialogs.clear();
    env->boxes.clear();
    Select(*w, {"long.bin", "three.bin", "two.bin"});
    fs::remove_all(stage);
    handset->ClearLog();
    stop = true;
    // As the user gives it: the command tidies up after the run.
    QCOMPARE(RunToEnd(*w, [&] {
               Action(*w, "copy")->trigger();
               return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
             }),
             0);
    QVERIFY(!stop);
    QVERIFY(!fs::exists(stage / "long.bin") && !fs::exists(stage / "three.bin") && !fs::exists(stage / "two.bin"));
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 1);
    QVERIFY(w->Session().IsSessionOpen() && w->Session().IsLinkOpen());
    // It stays until the next command, whatever tidies up after the run or
    // is selected meanwhile.
    QVERIFY2(w->StatusText(StatusField::Activity).startsWith("中止しました"), qPrintable(w->StatusText(StatusField::Activity)));
    QVERIFY(dialogs.empty() && env->Texts().isEmpty());
    Select(*w, {"three.bin", "two.bin"});
    QVERIFY(w->StatusText(StatusField::Activity).startsWith("中止しました"));

    // The next run goes as any other.
    handset->ClearLog();
    d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QVERIFY(!d.fetched.stopped);
    QCOMPARE(d.fetched.files.size(), std::size_t{2});
    QCOMPARE(CountOf(handset->Commands(), "GET_FILE"), 2);
  }

  // Ten runs leave the window's size alone; the bar counts the whole run's
  // bytes, not the current file's.
  void progressNeverWidensTheWindowAndCountsTheRun() {
    auto w = Connected();
    w->resize(640, 480);  // as at a first start
    QApplication::processEvents();
    const QSize size = w->size();
    auto* bar = w->Transfers().Progress().findChild<QProgressBar*>("progress_bar");
    QVERIFY(bar);
    auto* activity = w->findChild<QLabel*>("activity_status");
    // Beside the progress, what runs stays readable.
    const int readable = activity->fontMetrics().horizontalAdvance("ファイル取得中...");
    int narrowest = activity->width();
    SessionWorker& worker = w->Session().Worker();
    auto narrow = [&] { narrowest = std::min(narrowest, activity->width()); };
    connect(&worker, &SessionWorker::FileProgress, w.get(), narrow);
    // The bar as each file of a download begins and ends.
    std::vector<int> at_start, at_end, second_started;
    connect(&worker, &SessionWorker::FileStarted, w.get(), [&] {
      narrow();
      if (w->Transfers().Progress().isVisible()) at_start.push_back(bar->value());
    });
    connect(&worker, &SessionWorker::FileSettled, w.get(), [&] {
      narrow();
      if (w->Transfers().Progress().isVisible()) at_end.push_back(bar->value());
    });
    const fs::path local = fs::path(env->dir.path()) / "local" / "up.dat";
    WriteFile(local, PatternBytes(2500));
    for (int run = 0; run < 10; ++run) {
      at_start.clear();
      at_end.clear();
      if (run % 2 == 0) {
        Select(*w, {"one.bin", "two.bin"});
        QCOMPARE(DownloadToEnd(*w).fetched.files.size(), std::size_t{2});
        // one.bin settles once its copy is on disk, maybe after two.bin came.
        QCOMPARE(at_end.size(), std::size_t{2});
        QVERIFY(at_end[0] >= 3000 * 1000 / 4024);
        QCOMPARE(at_end[1], 1000);
        QCOMPARE(at_start.size(), std::size_t{2});
        QCOMPARE(at_start[0], 0);
        second_started.push_back(at_start[1]);
      } else {
        QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().UploadFiles({QString::fromStdString(local.string())}); }), 0);
      }
      QApplication::processEvents();
      QCOMPARE(w->size(), size);
    }
    QVERIFY2(narrowest >= readable, qPrintable(QString("%1 < %2").arg(narrowest).arg(readable)));
    // one.bin's 3000 of the run's 4024 bytes are done as two.bin begins.
    QCOMPARE(second_started, std::vector<int>(5, 3000 * 1000 / 4024));
  }

  // A box about one file names it on a second line, with the reason the
  // list gives; the delete question lists what it will delete; a line that
  // hangs up in the middle of a download says so.
  void messagesNameTheirFiles() {
    QStringList mails;
    for (int i = 1; i <= 12; ++i) {
      mails << QString("mail%1.eml").arg(i, 2, 10, QChar('0'));
      WriteFile(root / mails.last().toStdString(), PatternBytes(3));
    }
    std::ofstream(root / ".handset-attributes") << "two.bin\t10" << std::string(30, '-') << "\n";
    // Paced, so that the line hangs up while one.bin still comes.
    mirvo::sim::HandsetOptions paced;
    paced.bytes_per_second = 2000;
    auto w = Connected({}, std::move(paced));
    Select(*w, mails);
    env->answers = {mirvo::app::MsgAnswer::Cancel};
    QCOMPARE(w->Transfers().DeleteSelected(true), mirvo::app::CommandResult::kRefused);
    QCOMPARE(env->Texts(), QStringList{"ファイルを削除しますか？\n" + mails.mid(0, 10).join("\n") + "\n他 2 件"});
    QVERIFY(!w->Session().IsBusy());
    QVERIFY(fs::exists(root / "mail01.eml"));

    env->boxes.clear();
    Select(*w, {"two.bin"});
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().DeleteSelected(false); }), 0);
    QCOMPARE(env->Texts(), QStringList{"ファイルが存在しないか、ファイルの削除が許可されていません。\n"
                                       "two.bin（保護が設定されています）"});

    env->boxes.clear();
    Select(*w, {"one.bin", "three.bin"});
    bool hung_up = false;
    connect(&w->Session().Worker(), &SessionWorker::FileProgress, w.get(), [&] {
      if (!std::exchange(hung_up, true)) handset->HangUp();
    });
    const Download d = DownloadToEnd(*w);
    QCOMPARE(d.started, 0);
    QVERIFY(hung_up && d.fetched.session_lost);
    QVERIFY2(!env->Texts().isEmpty() && env->Texts().last() == QString(kHungUp) + "\none.bin",
             qPrintable(env->Texts().join("|")));
    QVERIFY(!env->Texts().join("|").contains("不正な処理"));
    QVERIFY(!w->Session().IsSessionOpen() && !w->Session().IsBusy());
    QCOMPARE(PortOpen(*w), 0);
    QVERIFY(d.fetched.local_paths.isEmpty() && !fs::exists(stage / "one.bin"));
  }

  // After an upload the view shows what the session holds, the sent file
  // included, even when the list does not come again.
  void uploadShowsTheSentFileWhenTheListDoesNotCome() {
    auto w = Connected();
    handset->SetReply("GET_LIST", "BAD");
    const fs::path local = fs::path(env->dir.path()) / "local" / "sent.dat";
    WriteFile(local, PatternBytes(10));
    int sent = -1;
    QCOMPARE(RunToEnd(*w, [&] {
               return w->Transfers().UploadFiles({QString::fromStdString(local.string())}, {}, [&](int n) { sent = n; });
             }),
             0);
    QCOMPARE(sent, 1);
    QCOMPARE(CountOf(handset->Commands(), "GET_LIST"), 1);
    QCOMPARE(env->Texts(), QStringList{QString("不正な処理が発生して、ファイル情報の取得に失敗しました。")});
    QStringList names;
    for (int row = 0; row < w->Files().Model().rowCount(); ++row) names << w->Files().Model().index(row, 0).data().toString();
    QVERIFY2(names.contains("sent.dat"), qPrintable(names.join(",")));
    QVERIFY(w->Session().IsSessionOpen());
  }

  // Chosen files are sent byte for byte; Enter on a row opens its file
  // with the desktop's application.
  void sendChosenFilesAndOpen() {
    const fs::path local = fs::path(env->dir.path()) / "local";
    WriteFile(local / "a.dat", PatternBytes(2500));
    WriteFile(local / "b.dat", PatternBytes(1));
    auto w = Connected();
    w->SetFilePicker([&](QWidget*) {
      return QStringList{QString::fromStdString((local / "a.dat").string()),
                         QString::fromStdString((local / "b.dat").string())};
    });
    QCOMPARE(RunToEnd(*w, [&] {
               Action(*w, "send_files")->trigger();
               return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
             }),
             0);
    QCOMPARE(ReadFile(root / "a.dat"), ReadFile(local / "a.dat"));
    QCOMPARE(ReadFile(root / "b.dat"), ReadFile(local / "b.dat"));

    UrlCatcher opened;
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    Select(*w, {"three.bin"});
    QTreeView* view = w->Files().DetailView();
    view->setCurrentIndex(view->selectionModel()->selectedRows().value(0));
    const int opening = RunToEnd(*w, [&] {
      QTest::keyClick(view, Qt::Key_Return);
      return w->Transfers().IsRunning() ? mirvo::app::CommandResult::kStarted : mirvo::app::CommandResult::kRefused;
    });
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(opening, 0);
    QCOMPARE(opened.urls, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString((stage / "three.bin").string()))});
    QCOMPARE(ReadFile(stage / "three.bin"), ReadFile(root / "three.bin"));
    QCOMPARE(env->Texts(), QStringList{});
  }

  // The window's event loop is never held while a run waits on the line.
  void windowKeepsProcessingEventsWhileTheHandsetIsSilent() {
    auto w = Connected();
    Select(*w, {"one.bin"});
    handset->SilenceFrom(0);  // the reply never comes: the worker waits it out
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    int ticks = 0;
    QTimer tick;
    tick.setInterval(10);
    connect(&tick, &QTimer::timeout, this, [&] {
      ++ticks;
      longest = std::max(longest, clock.elapsed() - last);
      last = clock.elapsed();
    });
    clock.start();
    tick.start();
    QCOMPARE(DownloadToEnd(*w).started, 0);
    tick.stop();
    QVERIFY2(clock.elapsed() >= 3000, "the silence was waited out");
    // Every 10 ms or so; the bounds leave room for a busy machine that does
    // not run us for a while, not for a loop served only now and then.
    QVERIFY2(ticks >= 50, qPrintable(QString("%1 turns in %2 ms").arg(ticks).arg(clock.elapsed())));
    QVERIFY2(longest < 1000, qPrintable(QString("longest gap %1 ms").arg(longest)));
  }

  void uploadOfANameTheHandsetCannotHoldFailsAlone() {
    const fs::path local = fs::path(env->dir.path()) / "local";
    // Each would land elsewhere on the handset or garble its list.
    const std::vector<std::string> bad = {"한.txt", "sub\\evil.txt", "a,1,b.txt", "#A#x.txt", "two\nrows.txt"};
    QStringList paths, lines;
    for (const std::string& name : bad) {
      WriteFile(local / name, PatternBytes(5));
      paths << QString::fromStdString((local / name).string());
      lines << QString("転送失敗 … %1").arg(QString::fromStdString(name));
    }
    WriteFile(local / "ok.txt", PatternBytes(5));
    paths << QString::fromStdString((local / "ok.txt").string());
    lines << QString("転送成功 … ok.txt");
    auto w = Connected();
    std::vector<QStringList> reasons;
    dialogs.clear();
    dialogWatch = WatchResultDialogs(&dialogs, &escape, &reasons);
    int sent = -1;
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().UploadFiles(paths, {}, [&](int n) { sent = n; }); }), 0);
    QCOMPARE(sent, 1);
    // No box for each: one list says why beside each name.
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(dialogs, std::vector<QStringList>{lines});
    QCOMPARE(reasons, (std::vector<QStringList>{{QString("ファイル名に電話機で使えない文字「한」が含まれています。"),
                                                 QString("ファイル名に電話機で使えない文字「\\」が含まれています。"),
                                                 QString("ファイル名に電話機で使えない文字「,」が含まれています。"),
                                                 QString("ファイル名の先頭の「#」は電話機で使えません。"),
                                                 QString("ファイル名に電話機で使えない文字「U+000A」が含まれています。"),
                                                 QString()}}));
    QVERIFY(fs::exists(root / "ok.txt"));
    QCOMPARE(CountOf(handset->Commands(), "PUT_FILE"), 1);
    QVERIFY(w->Session().IsSessionOpen() && !w->Session().IsBusy());
    QCOMPARE(w->Files().Model().rowCount(), 6);
  }

  void commandLineFilesAreSentOnceAfterTheFirstConnection() {
    const fs::path local = fs::path(env->dir.path()) / "local";
    WriteFile(local / "up1.dat", PatternBytes(2500));
    WriteFile(local / "up2.dat", PatternBytes(7));
    fs::create_directories(local / "folder");
    const QString p1 = QString::fromStdString((local / "up1.dat").string());
    const QString p2 = QString::fromStdString((local / "up2.dat").string());
    auto w = Connected({p1, QString::fromStdString((local / "missing.dat").string()),
                        QString::fromStdString((local / "folder").string()), p2});
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(ReadFile(root / "up1.dat"), ReadFile(local / "up1.dat"));
    QCOMPARE(ReadFile(root / "up2.dat"), ReadFile(local / "up2.dat"));
    QVERIFY(w->Transfers().PendingUploads().isEmpty());
    QCOMPARE(w->Files().Model().rowCount(), 7);
    // A second connection sends nothing.
    QCOMPARE(w->Session().Disconnect(), mirvo::app::CommandResult::kStarted);
    QVERIFY(WaitIdle(*w));
    QVERIFY(!w->Session().IsLinkOpen());
    handset->ClearLog();
    QCOMPARE(w->Session().Connect(), mirvo::app::CommandResult::kStarted);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy(), 15000);
    QCOMPARE(CountOf(handset->Commands(), "GET_LIST"), 1);
    QCOMPARE(CountOf(handset->Commands(), "PUT_FILE"), 0);
  }

  void deleteAsksFirstAndShowsTheFolderWithoutTheSearch() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin"});
    env->answers = {mirvo::app::MsgAnswer::Cancel};
    Button(*w, "delete")->click();
    QCOMPARE(env->Texts(), QStringList{QString("ファイルを削除しますか？\none.bin\ntwo.bin")});
    QCOMPARE(env->boxes[0].icon, mirvo::app::MsgIcon::Question);
    QVERIFY(!w->Session().IsBusy());
    QVERIFY(fs::exists(root / "one.bin") && fs::exists(root / "two.bin"));

    w->Files().SetSearchPattern("*three*");
    w->RefreshFileView();
    QCOMPARE(w->Files().Model().rowCount(), 1);
    w->Files().SetSearchPattern("*");
    w->RefreshFileView();
    Select(*w, {"one.bin", "two.bin"});
    w->Files().SetSearchPattern("*three*");
    QCOMPARE(RunToEnd(*w, [&] { return w->Transfers().DeleteSelected(true); }), 0);
    QVERIFY(!fs::exists(root / "one.bin") && !fs::exists(root / "two.bin"));
    QCOMPARE(w->Session().Listing()->Size(), std::size_t{3});
    QCOMPARE(w->Files().Model().rowCount(), 3);  // unfiltered
  }
};

QTEST_MAIN(TransferTest)
#include "transfer_test.moc"
