// The connection through the main window: connect, list, failures, the
// handset ending the session or going away, and idle bytes.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QHeaderView>
#include <QScreen>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QActionGroup>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <atomic>
#include <deque>
#include <fstream>
#include <iterator>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/icon_cell_delegate.h"
#include "app/port_dialog.h"
#include "app/about_dialog.h"
#include "app/splash_screen.h"
#include "app/main_window.h"
#include "app/transfer_progress.h"
#include "app/password_dialog.h"
#include "app_test_support.h"
#include "window_fixture.h"
#include "core/paths.h"
#include "protocol/trace_log.h"
#include "protocol/protocol_engine.h"
#include "serial/serial_port.h"
#include "test_files.h"
#include "text/cp932.h"

using mirvo::app::MainWindow;
using namespace mirvo::apptest;
namespace fs = std::filesystem;

class SessionControllerTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() { SetUp(); }
  void cleanup() { TearDown(); }

  void connectListsTheHandsetInNameOrderWithItsCells() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && w->Files().Model().rowCount() == 9, 15000);
    QTRY_VERIFY(!w->Session().IsConnecting() && !w->Session().IsBusy());
    QCOMPARE(env->Texts(), QStringList{});
    QCOMPARE(Column(*w, 0), (QStringList{"A.jpg", "b.txt", "c.mid", "dir\\x.txt", "guard.mid", "k1.dat", "k2.dat",
                                         "one.dat", QString("保護.txt")}));
    const int b = RowNamed(*w, "b.txt");
    QCOMPARE(Column(*w, 1)[b], QString("1,234 B"));
    QCOMPARE(Column(*w, 3)[b], QString("2004/01/23 15:30"));
    QCOMPARE(Column(*w, 4)[b], QString());
    QCOMPARE(Column(*w, 5)[b], QString());
    const int p = RowNamed(*w, QString("保護.txt"));
    QCOMPARE(Column(*w, 4)[p], QString("ON"));
    QCOMPARE(Column(*w, 5)[p], QString("OFF"));
    const int g = RowNamed(*w, "guard.mid");
    QCOMPARE(Column(*w, 4)[g], QString());
    QCOMPARE(Column(*w, 5)[g], QString("ON"));
    QCOMPARE(Column(*w, 1)[RowNamed(*w, "c.mid")], QString("0 B"));
    QVERIFY(!Column(*w, 2)[b].isEmpty());
    QCOMPARE(w->StatusText(StatusField::Port), QString("COM3"));
    QCOMPARE(w->StatusText(StatusField::Handset), QString("ZQR - TQ-R5101K"));
    QCOMPARE(w->Session().VendorName(), std::string("ZQR"));
    // Each row finds its own line, and the line its row.
    for (int row = 0; row < w->Files().Model().rowCount(); ++row)
      QCOMPARE(w->Files().Model().RowOfLine(w->Files().Model().LineOfRow(row)), row);
  }

  void wrongPasswordReportsTracesAndCloses() {
    const std::string log = env->dir.path() + "/debug.log";
    std::ofstream(log).close();  // tracing runs only into an existing file
    mirvo::LogStartAt(log);
    mirvo::sim::HandsetOptions options;
    options.password = "9999";
    auto w = Connected(options);
    QTRY_VERIFY_WITH_TIMEOUT(env->boxes.size() == 1 && !w->Session().IsConnecting(), 15000);
    mirvo::LogClose();
    QCOMPARE(env->boxes[0].text, QString(kPasswordFailed));
    QCOMPARE(env->boxes[0].caption, QString("Mirvo"));
    QCOMPARE(env->boxes[0].icon, mirvo::app::MsgIcon::Error);
    std::ifstream in(log, std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(trace.find(mirvo::text::Cp932("FT_START失敗")) != std::string::npos);
    QVERIFY(!w->Session().IsLinkOpen() && !w->Session().IsSessionOpen());
    QCOMPARE(w->StatusText(StatusField::Port), QString("未接続"));
    QVERIFY(Action(*w, "password")->isEnabled());
    QVERIFY(Button(*w, "connect")->isEnabled());
  }

  void missingPortReportsThenOffersThePortSelection() {
    env->WriteConfig("COM=COM9\r\n");
    env->dir.LinkPort(9, env->dir.path() + "/no-such-device");
    const std::string log = env->dir.path() + "/debug.log";
    std::ofstream(log).close();
    mirvo::LogStartAt(log);
    int boxes_before_dialog = -1;
    OnNextModal([&](QWidget* modal) {
      boxes_before_dialog = static_cast<int>(env->boxes.size());
      if (auto* dialog = qobject_cast<mirvo::app::PortDialog*>(modal)) dialog->reject();
    });
    MainWindow w;
    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(boxes_before_dialog >= 0, 20000);
    QTRY_VERIFY(!w.Session().IsConnecting());
    QCOMPARE(boxes_before_dialog, 1);
    // The box names the device the port leads to.
    QCOMPARE(env->Texts(), QStringList{QString(kConnectFailed) + "\nCOM9（" + QString::fromStdString(env->dir.path()) +
                                       "/no-such-device）を開けませんでした。"});
    QCOMPARE(w.Session().PortName(), std::string("COM9"));  // a cancelled choice changes nothing
    QVERIFY(!w.Session().IsLinkOpen());
    mirvo::LogClose();
    // The trace keeps the system's reason the port did not open.
    std::ifstream in(log, std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(trace.find("COM9 (" + env->dir.path() + "/no-such-device): ") != std::string::npos);
  }

  void handsetEndingTheSessionEmptiesTheList() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    env->handsets[0]->SendFtEnd();
    QTRY_VERIFY_WITH_TIMEOUT(!w->Session().IsLinkOpen(), 10000);
    QCOMPARE(env->Texts(), QStringList{QString("電話機との通信が中断されました。")});
    QCOMPARE(w->Files().Model().rowCount(), 0);
    QCOMPARE(w->Session().Listing()->Size(), std::size_t{0});
    QCOMPARE(w->StatusText(StatusField::Port), QString("未接続"));
    QVERIFY(Button(*w, "connect")->isEnabled());
    QVERIFY(Action(*w, "connect")->isEnabled());
    QVERIFY(!w->Session().IsSessionOpen() && !w->Session().IsBusy());
  }

  void aVanishedDeviceEndsTheSession() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    env->handsets[0]->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!w->Session().IsLinkOpen(), 10000);
    QCOMPARE(env->Texts(), QStringList{QString("電話機との通信が中断されました。")});
    QCOMPARE(w->Files().Model().rowCount(), 0);
    QCOMPARE(w->StatusText(StatusField::Port), QString("未接続"));
    QVERIFY(!w->Session().IsLinkOpen() && !w->Session().IsSessionOpen() && !w->Session().IsBusy());
    QVERIFY(Button(*w, "connect")->isEnabled());
    QVERIFY(!Action(*w, "refresh")->isEnabled());
  }

  void idleBytesNeverHoldTheWindowLong() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsConnecting() && !w->Session().IsBusy(), 15000);
    std::atomic<bool> gave_up = false;
    std::atomic<int> reply_after = 0;
    auto& worker = w->Session().Worker();
    worker.PostInspect([&](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) {
      auto timeouts = engine.GetTimeouts();
      timeouts.reply = 180000;
      engine.SetTimeouts(timeouts);
      engine.On().reply_wait_failed = [&] { gave_up = true; };
    });
    QElapsedTimer clock;
    clock.start();
    env->handsets[0]->SendGarbage("\x02");  // the start of a frame that never comes
    QTRY_VERIFY_WITH_TIMEOUT(gave_up, 9000);
    QVERIFY(clock.elapsed() < 9000);
    QVERIFY(!w->Session().IsBusy());  // the window never waited on it
    worker.PostInspect([&](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) {
      reply_after = engine.GetTimeouts().reply;
      engine.On().reply_wait_failed = nullptr;
    });
    QTRY_COMPARE(reply_after.load(), 180000);
    QVERIFY(w->Session().IsSessionOpen() && w->Session().IsLinkOpen());
  }

  // A file the handset has already is replaced only when the user says so,
  // asked before anything goes; the other files go whatever the answer.
  void sendingOverAHandsetFileAsksFirst() {
    auto w = Connected();
    QVERIFY(WaitIdle(*w));
    QTRY_VERIFY(w->Session().IsSessionOpen());
    const fs::path local = fs::path(env->dir.path()) / "local";
    MakeFile(local / "b.txt", 5);
    MakeFile(local / "new1.txt", 3);
    MakeFile(local / "new2.txt", 4);
    const std::string before = mirvo::testing::ReadFile(root / "b.txt");
    std::deque<MainWindow::ReplaceAnswer> answers;
    QStringList asked;
    w->SetReplaceAsker([&](QWidget*, const QString& question) {
      asked << question;
      const auto answer = answers.front();
      answers.pop_front();
      return answer;
    });
    auto send = [&](const char* other) {
      return RunToEnd(*w, [&] {
        return w->Transfers().UploadFiles({QString::fromStdString((local / "b.txt").string()),
                                           QString::fromStdString((local / other).string())});
      });
    };
    answers = {MainWindow::ReplaceAnswer::Cancel};
    QCOMPARE(send("new1.txt"), -1);
    QVERIFY(!fs::exists(root / "new1.txt"));
    QCOMPARE(asked.size(), 1);
    QVERIFY2(asked[0].contains("b.txt") && asked[0].contains("5 B") && asked[0].contains("1.21 KB"), qPrintable(asked[0]));
    answers = {MainWindow::ReplaceAnswer::Skip};
    QCOMPARE(send("new1.txt"), 0);
    QVERIFY(fs::exists(root / "new1.txt"));
    QCOMPARE(mirvo::testing::ReadFile(root / "b.txt"), before);
    answers = {MainWindow::ReplaceAnswer::Replace};
    QCOMPARE(send("new2.txt"), 0);
    QCOMPARE(mirvo::testing::ReadFile(root / "b.txt"), std::string(5, 'x'));
    QVERIFY(fs::exists(root / "new2.txt"));
    QCOMPARE(asked.size(), 3);
  }

  // The window follows the cable: plugged in, it connects without a click;
  // pulled out, it says so and waits; back under another name, it connects
  // there; with the setting off, it only names the handset.
  void theWindowFollowsTheCable() {
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\nVENDER=ZQR\r\nDEVICE=TQ-R5101K\r\n");
    MainWindow w;
    w.SetConnectOnFirstActivation(false);
    ShrinkTimeouts(w);
    ShowAndActivate(w);
    auto plug = [&](int com) {
      mirvo::sim::HandsetOptions options;
      options.wait = std::chrono::milliseconds(3000);
      options.port_link = env->SettingsDir() + "ports/COM" + std::to_string(com);
      return std::make_unique<mirvo::sim::SimHandset>(root, options);
    };
    auto handset = plug(3);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().IsSessionOpen() && w.Files().Model().rowCount() == 9, 15000);
    QVERIFY(WaitIdle(w));

    handset->Unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!w.Session().IsLinkOpen(), 10000);
    QCOMPARE(env->Texts(), QStringList{QString("電話機との通信が中断されました。")});
    QCOMPARE(w.StatusText(StatusField::Activity), QString("電話機がつながるのを待っています。"));

    handset.reset();
    auto again = plug(5);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().IsSessionOpen() && w.Files().Model().rowCount() == 9, 15000);
    QCOMPARE(w.Session().PortName(), std::string("COM5"));
    QVERIFY(WaitIdle(w));

    QCOMPARE(w.Session().Disconnect(), mirvo::app::CommandResult::kStarted);
    QVERIFY(WaitIdle(w));
    Action(w, "auto_connect")->trigger();
    QVERIFY(!w.Session().AutoConnect());
    again.reset();
    auto third = plug(6);
    QTRY_VERIFY_WITH_TIMEOUT(w.StatusText(StatusField::Activity).startsWith(QString("電話機が接続されました: COM6")), 15000);
    QVERIFY(WaitIdle(w));
    QVERIFY(!w.Session().IsLinkOpen());
    QCOMPARE(w.Session().PortName(), std::string("COM5"));
    w.close();
    QVERIFY(env->ReadConfig().find("AUTO_CONNECT=0") != std::string::npos);
  }

  void closingDuringARunStopsItAndEndsTheSession() {
    MakeFile(root / "big.bin", 1 << 20);
    mirvo::sim::HandsetOptions paced;
    paced.bytes_per_second = 11520;
    auto w = Connected(paced);
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && !w->Session().IsBusy(), 15000);
    SelectNamed(*w, {"big.bin"});
    QSignalSpy progress(&w->Session().Worker(), &mirvo::app::SessionWorker::FileProgress);
    QCOMPARE(w->Transfers().DownloadSelected(), mirvo::app::CommandResult::kStarted);
    QVERIFY(progress.wait(10000));
    QVERIFY(!w->close());  // it waits for the run and the end of the session
    QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
    QVERIFY(env->ConfigExists());
    QVERIFY(env->handsets[0]->WaitFor([](const mirvo::sim::HandsetState& s) { return !s.session_open; },
                                      std::chrono::seconds(5)));
    const auto commands = env->handsets[0]->Commands();
    QCOMPARE(QString::fromStdString(commands.back()), QString("FT_END"));
  }
};

QTEST_MAIN(SessionControllerTest)
#include "session_controller_test.moc"
