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
#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "app/device_list_model.h"
#include "app/main_window.h"
#include "app/transfer_results_dialog.h"
#include "app/transfer_progress.h"
#include "app_test_support.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "test_files.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
namespace fs = std::filesystem;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

namespace {


const char* const kCopyFailed = "ファイルのコピーに失敗しました。";
const char* const kHungUp = "電話機との通信が中断されました。";

// A box's fixed text, and the line about the file under it.
QString FirstLine(const QString& text) { return text.section("\r\n", 0, 0); }
QString SecondLine(const QString& text) { return text.section("\r\n", 1); }

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
        QStringList paths;
        // Rows follow one.bin: a closed session ends the run before its dialog.
        QCOMPARE(w->Transfers().DownloadSelected(paths), session ? 0 : -1);
        QCOMPARE(dialogs.size(), std::size_t{session});
        if (session) QCOMPARE(dialogs[0], QStringList{QString("転送失敗 … one.bin")});
        QVERIFY(paths.isEmpty() && w->Transfers().LastDownloaded().empty());
        QVERIFY(!fs::exists(stage / "one.bin"));
      } else if (op == "PUT_FILE") {
        QCOMPARE(w->Transfers().UploadFiles({QString::fromStdString(local.string())}), 0);
        QVERIFY(dialogs.empty());  // a single line needs no dialog
        QVERIFY(!fs::exists(root / "up.dat"));
      } else {
        Select(*w, {"one.bin"});
        QCOMPARE(w->Transfers().DeleteSelected(false), session ? 0 : -1);
        QVERIFY(dialogs.empty());
        // After a broken exchange the handset may or may not have deleted it.
        if (reply != "CRC") QVERIFY(fs::exists(root / "one.bin"));
      }
      // (A bad frame is first reported by the engine itself.)
      QVERIFY2(!env->boxes.empty() && FirstLine(env->boxes.back().text) == message,
               qPrintable(op + ": " + env->Texts().join("|")));
      QCOMPARE(SecondLine(env->boxes.back().text), QString(op == "PUT_FILE" ? "up.dat" : "one.bin"));
      QCOMPARE(env->boxes.back().icon, mirvo::app::MsgIcon::Error);
      QVERIFY2(w->Session().IsSessionOpen() == session && w->Session().IsLinkOpen() == session, command);
      QCOMPARE(w->Session().Port().IsOpen(), session);
      QVERIFY(!w->Session().IsBusy());
      QVERIFY(!QApplication::overrideCursor());
      w.reset();
      env->handsets.clear();
    }
  }

  void downloadRunStagesEveryFileByteExactWithItsDate() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin", "three.bin", "sub\\deep.txt", "dated.txt"});
    QStringList paths;
    // A staging folder that is a link is refused before anything is fetched.
    fs::create_directories(fs::path(env->dir.path()) / "elsewhere");
    fs::create_directory_symlink(fs::path(env->dir.path()) / "elsewhere", stage);
    QCOMPARE(w->Transfers().DownloadSelected(paths), -1);
    QVERIFY(env->Texts().value(0).startsWith(QString(kCopyFailed)));
    QVERIFY(handset->Commands().empty() && fs::is_empty(fs::path(env->dir.path()) / "elsewhere"));
    fs::remove(stage);
    env->boxes.clear();
    QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(paths.size(), 5);
    QCOMPARE(w->Transfers().LastDownloaded().size(), std::size_t{5});
    for (const char* name : {"one.bin", "two.bin", "three.bin", "dated.txt"})
      QCOMPARE(ReadFile(stage / name), ReadFile(root / name));
    QCOMPARE(ReadFile(stage / "sub" / "deep.txt"), ReadFile(root / "sub" / "deep.txt"));
    QVERIFY(paths.contains(QString::fromStdString((stage / "sub" / "deep.txt").string())));
    QCOMPARE(fs::last_write_time(stage / "dated.txt"), fs::last_write_time(root / "dated.txt"));
    struct stat st {};
    QCOMPARE(::stat(stage.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
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
    QStringList paths;
    escape = true;
    QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
    escape = false;
    QCOMPARE(dialogs, (std::vector<QStringList>{{QString("転送成功 … one.bin"), QString("転送成功 … three.bin"),
                                                 QString("転送失敗 … two.bin")}}));
    QCOMPARE(env->Texts(), QStringList{QString("指定したファイルがありません。またはコピー不可のファイルです。\r\n"
                                               "two.bin（コピーガードが設定されています）")});
    QCOMPARE(ReadFile(stage / "one.bin"), ReadFile(root / "one.bin"));
    QCOMPARE(ReadFile(stage / "three.bin"), ReadFile(root / "three.bin"));
    QVERIFY(!fs::exists(stage / "two.bin"));
    QCOMPARE(paths.size(), 2);
    QVERIFY(w->Session().IsSessionOpen() && !w->Session().IsBusy());

    // Bad names and an unwritable copy, beside a good file.
    const std::string flags = "," + std::string(32, '-') + ",";
    w->Session().Lines().push_back("..\\evil.txt,5,2004/01/23/1530" + flags);
    w->Session().Lines().push_back("\\abs.txt,5,2004/01/23/1530" + flags);
    w->RefreshFileView();
    fs::remove(stage / "one.bin");
    fs::create_directories(stage / "one.bin");
    Select(*w, {"..\\evil.txt", "\\abs.txt", "one.bin", "three.bin"});
    dialogs.clear();
    env->boxes.clear();
    handset->ClearLog();
    paths.clear();
    QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
    QCOMPARE(env->Texts().size(), 3);
    for (const QString& text : env->Texts()) {
      QCOMPARE(FirstLine(text), QString(kCopyFailed));
      QVERIFY2(SecondLine(text).contains("（"), qPrintable(text));  // the name and why
    }
    QCOMPARE(dialogs.size(), std::size_t{1});
    QCOMPARE(dialogs[0].filter(QString("転送失敗")).size(), 3);
    QCOMPARE(paths, QStringList{QString::fromStdString((stage / "three.bin").string())});
    QCOMPARE(w->Transfers().LastDownloaded().size(), std::size_t{1});
    QVERIFY(!fs::exists(fs::path(env->dir.path()) / "evil.txt") && !fs::exists("/abs.txt"));
    QVERIFY(fs::is_directory(stage / "one.bin") && fs::is_empty(stage / "one.bin"));
    for (const std::string& command : handset->Commands()) QVERIFY(command.find("evil") == std::string::npos);
    QVERIFY(w->Session().IsSessionOpen() && w->Session().IsLinkOpen() && !w->Session().IsBusy());

    // A broken exchange on the second file: the third is never asked for.
    Select(*w, {"dated.txt", "three.bin", "two.bin"});
    handset->ClearLog();
    handset->CorruptCrc(3);  // reply and data of the first, then the second's reply
    dialogs.clear();
    QCOMPARE(w->Transfers().DownloadSelected(paths), -1);
    QVERIFY(dialogs.empty());
    QVERIFY(fs::exists(stage / "dated.txt"));
    QVERIFY(!w->Session().IsSessionOpen() && !w->Session().Port().IsOpen() && !w->Session().IsBusy());
    int gets = 0;
    for (const std::string& command : handset->Commands()) gets += command.rfind("GET_FILE", 0) == 0;
    QCOMPARE(gets, 2);

    // Broken on the last file of the run, the last row: it ends the same way.
    QCOMPARE(w->Session().Connect(), 0);
    QTRY_VERIFY(w->Session().IsSessionOpen() && !w->Session().IsBusy());
    auto& model = w->Files().Model();
    Select(*w, {model.index(model.rowCount() - 1, 0).data().toString()});
    handset->CorruptCrc(1);  // its reply
    QCOMPARE(w->Transfers().DownloadSelected(paths), -1);
    QVERIFY(dialogs.empty());
    QVERIFY(!w->Session().IsSessionOpen());
  }

  // Progress after every frame both ways, Esc ending a run after its file,
  // and a file whose fetch throws failing alone.
  void progressStopAndAThrowingFile() {
    auto w = Connected();
    std::vector<std::int64_t> seen;
    const auto shown = w->Session().Engine().On().progress;
    bool stop = false, fail = false;
    w->Session().Engine().On().progress = [&](std::int64_t done) {
      seen.push_back(done);
      shown(done);
      if (stop) QTest::keyClick(w->Files().DetailView(), Qt::Key_Escape);
      if (fail) throw std::bad_alloc();
    };
    Select(*w, {"one.bin"});
    QStringList paths;
    QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
    QCOMPARE(seen, (std::vector<std::int64_t>{1024, 2048, 3000}));
    seen.clear();
    const fs::path local = fs::path(env->dir.path()) / "local" / "up.dat";
    WriteFile(local, PatternBytes(2500));
    QCOMPARE(w->Transfers().UploadFiles({QString::fromStdString(local.string())}), 1);
    QCOMPARE(seen, (std::vector<std::int64_t>{1024, 2048, 2500}));

    Select(*w, {"one.bin", "three.bin", "two.bin"});
    fs::remove_all(stage);
    stop = true;
    Action(*w, "copy")->trigger();  // as the user gives it: the command tidies up after the run
    stop = false;
    QVERIFY(fs::exists(stage / "one.bin") && !fs::exists(stage / "three.bin") && !fs::exists(stage / "two.bin"));
    QCOMPARE(w->Transfers().LastDownloaded().size(), std::size_t{1});
    // It stays until the next command, whatever tidies up after the run or
    // is selected meanwhile.
    QVERIFY2(w->StatusText(StatusField::Activity).startsWith("中止しました"), qPrintable(w->StatusText(StatusField::Activity)));
    QVERIFY(dialogs.empty());
    Select(*w, {"three.bin", "two.bin"});
    QVERIFY(w->StatusText(StatusField::Activity).startsWith("中止しました"));

    // The throwing file comes last: its exchange is left unfinished.
    Select(*w, {"three.bin", "two.bin"});
    seen.clear();
    w->Session().Engine().On().progress = [&](std::int64_t done) {
      seen.push_back(done);
      if (seen.size() == 2) throw std::bad_alloc();
    };
    QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
    QCOMPARE(dialogs, (std::vector<QStringList>{{QString("転送成功 … three.bin"), QString("転送失敗 … two.bin")}}));
    QVERIFY(!fs::exists(stage / "two.bin"));
    QVERIFY(!w->Session().IsBusy() && !QApplication::overrideCursor() && !w->Transfers().Progress().isVisible());
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
    std::vector<int> seen;  // the bar as the last update left it, at each frame
    const auto shown = w->Session().Engine().On().progress;
    w->Session().Engine().On().progress = [&](std::int64_t done) {
      seen.push_back(bar->value());
      narrowest = std::min(narrowest, activity->width());
      shown(done);
    };
    const fs::path local = fs::path(env->dir.path()) / "local" / "up.dat";
    WriteFile(local, PatternBytes(2500));
    for (int run = 0; run < 10; ++run) {
      seen.clear();
      if (run % 2 == 0) {
        Select(*w, {"one.bin", "two.bin"});
        QStringList paths;
        QCOMPARE(w->Transfers().DownloadSelected(paths), 0);
        // two.bin's first frame: one.bin's 3000 of the run's 4024 bytes are done.
        QCOMPARE(seen.size(), std::size_t{4});
        QCOMPARE(seen[3], 3000 * 1000 / 4024);
      } else {
        QCOMPARE(w->Transfers().UploadFiles({QString::fromStdString(local.string())}), 1);
      }
      QApplication::processEvents();
      QCOMPARE(w->size(), size);
    }
    QVERIFY2(narrowest >= readable, qPrintable(QString("%1 < %2").arg(narrowest).arg(readable)));
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
    auto w = Connected();
    Select(*w, mails);
    env->answers = {mirvo::app::MsgAnswer::Cancel};
    QCOMPARE(w->Transfers().DeleteSelected(true), -1);
    QCOMPARE(env->Texts(), QStringList{"ファイルを削除しますか？\r\n" + mails.mid(0, 10).join("\r\n") + "\r\n他 2 件"});
    QVERIFY(fs::exists(root / "mail01.eml"));

    env->boxes.clear();
    Select(*w, {"two.bin"});
    QCOMPARE(w->Transfers().DeleteSelected(false), 0);
    QCOMPARE(env->Texts(), QStringList{"ファイルが存在しないか、ファイルの削除が許可されていません。\r\n"
                                       "two.bin（保護が設定されています）"});

    env->boxes.clear();
    Select(*w, {"one.bin", "three.bin"});
    bool hung_up = false;
    w->Session().Engine().On().progress = [&](std::int64_t) {
      if (!std::exchange(hung_up, true)) handset->HangUp();
    };
    QStringList paths;
    QCOMPARE(w->Transfers().DownloadSelected(paths), -1);
    QVERIFY2(!env->Texts().isEmpty() && env->Texts().last() == QString(kHungUp) + "\r\none.bin",
             qPrintable(env->Texts().join("|")));
    QVERIFY(!env->Texts().join("|").contains("不正な処理"));
    QVERIFY(!w->Session().IsSessionOpen() && !w->Session().Port().IsOpen() && !w->Session().IsBusy());
    QVERIFY(paths.isEmpty() && !fs::exists(stage / "one.bin"));
  }

  // After an upload the view shows what the session holds, the sent file
  // included, even when the list does not come again.
  void uploadShowsTheSentFileWhenTheListDoesNotCome() {
    auto w = Connected();
    handset->SetReply("GET_LIST", "BAD");
    const fs::path local = fs::path(env->dir.path()) / "local" / "sent.dat";
    WriteFile(local, PatternBytes(10));
    QCOMPARE(w->Transfers().UploadFiles({QString::fromStdString(local.string())}), 1);
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
    Action(*w, "send_files")->trigger();
    QCOMPARE(ReadFile(root / "a.dat"), ReadFile(local / "a.dat"));
    QCOMPARE(ReadFile(root / "b.dat"), ReadFile(local / "b.dat"));

    UrlCatcher opened;
    QDesktopServices::setUrlHandler("file", &opened, "Open");
    Select(*w, {"three.bin"});
    QTreeView* view = w->Files().DetailView();
    view->setCurrentIndex(view->selectionModel()->selectedRows().value(0));
    QTest::keyClick(view, Qt::Key_Return);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(opened.urls, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString((stage / "three.bin").string()))});
    QCOMPARE(ReadFile(stage / "three.bin"), ReadFile(root / "three.bin"));
    QCOMPARE(env->Texts(), QStringList{});
  }

  void windowKeepsProcessingEventsWhileTheHandsetIsSilent() {
    auto w = Connected();
    Select(*w, {"one.bin"});
    handset->SilenceFrom(0);  // the reply never comes: the engine waits it out
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
    QStringList paths;
    w->Transfers().DownloadSelected(paths);
    tick.stop();
    QVERIFY2(clock.elapsed() >= 3000, "the silence was waited out");
    // Served every 50 ms or so; the bounds leave room for a busy machine
    // that does not run us for a while, not for a loop served only now and then.
    QVERIFY2(ticks >= 20, qPrintable(QString("%1 turns in %2 ms").arg(ticks).arg(clock.elapsed())));
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
    QCOMPARE(w->Transfers().UploadFiles(paths), 1);
    // Each box names the file on its second line.
    QCOMPARE(env->Texts(), (QStringList{QString("ファイル名に電話機で使えない文字「한」が含まれています。\r\n한.txt"),
                                        QString("ファイル名に電話機で使えない文字「\\」が含まれています。\r\nsub\\evil.txt"),
                                        QString("ファイル名に電話機で使えない文字「,」が含まれています。\r\na,1,b.txt"),
                                        QString("ファイル名の先頭の「#」は電話機で使えません。\r\n#A#x.txt"),
                                        QString("ファイル名に電話機で使えない文字「U+000A」が含まれています。\r\ntwo\nrows.txt")}));
    QCOMPARE(dialogs, std::vector<QStringList>{lines});
    QVERIFY(fs::exists(root / "ok.txt"));
    int puts = 0;
    for (const std::string& command : handset->Commands()) puts += command.rfind("PUT_FILE", 0) == 0;
    QCOMPARE(puts, 1);
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
    QCOMPARE(w->Session().Disconnect(), 0);
    handset->ClearLog();
    QCOMPARE(w->Session().Connect(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting(), 15000);
    for (const std::string& command : handset->Commands()) QVERIFY(command.rfind("PUT_FILE", 0) != 0);
  }

  void deleteAsksFirstAndShowsTheFolderWithoutTheSearch() {
    auto w = Connected();
    Select(*w, {"one.bin", "two.bin"});
    env->answers = {mirvo::app::MsgAnswer::Cancel};
    Button(*w, "delete")->click();
    QCOMPARE(env->Texts(), QStringList{QString("ファイルを削除しますか？\r\none.bin\r\ntwo.bin")});
    QCOMPARE(env->boxes[0].icon, mirvo::app::MsgIcon::Question);
    QVERIFY(fs::exists(root / "one.bin") && fs::exists(root / "two.bin"));

    w->Files().SetSearchPattern("*three*");
    w->RefreshFileView();
    QCOMPARE(w->Files().Model().rowCount(), 1);
    w->Files().SetSearchPattern("*");
    w->RefreshFileView();
    Select(*w, {"one.bin", "two.bin"});
    w->Files().SetSearchPattern("*three*");
    QCOMPARE(w->Transfers().DeleteSelected(true), 0);
    QVERIFY(!fs::exists(root / "one.bin") && !fs::exists(root / "two.bin"));
    QCOMPARE(w->Session().Lines().size(), std::size_t{3});
    QCOMPARE(w->Files().Model().rowCount(), 3);  // unfiltered
  }
};

QTEST_MAIN(TransferTest)
#include "transfer_test.moc"
