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
#include <QTest>
#include <QTimer>
#include <QActionGroup>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
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
    QVERIFY(!w->Session().Port().IsOpen());
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
    QCOMPARE(env->Texts(), QStringList{QString(kConnectFailed) + "\r\nCOM9（" + QString::fromStdString(env->dir.path()) +
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
    QVERIFY(w->Session().Lines().empty());
    QCOMPARE(w->StatusText(StatusField::Port), QString("未接続"));
    QVERIFY(Button(*w, "connect")->isEnabled());
    QVERIFY(Action(*w, "connect")->isEnabled());
    QVERIFY(w->Session().IsSessionOpen());  // the port stays open until a disconnect
    QVERIFY(!w->Session().IsBusy());
  }

  void aVanishedDeviceEndsTheSession() {
    auto w = Connected();
    QTRY_VERIFY_WITH_TIMEOUT(w->Session().IsSessionOpen() && w->Files().Model().rowCount() == 9 && !w->Session().IsConnecting(), 15000);
    env->handsets[0]->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!w->Session().Port().IsOpen(), 10000);
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
    auto timeouts = w->Session().Engine().GetTimeouts();
    timeouts.reply = 180000;
    w->Session().Engine().SetTimeouts(timeouts);
    bool gave_up = false;
    w->Session().Engine().On().reply_wait_failed = [&] { gave_up = true; };
    QElapsedTimer clock;
    clock.start();
    env->handsets[0]->SendGarbage("\x02");  // the start of a frame that never comes
    QTRY_VERIFY_WITH_TIMEOUT(gave_up, 9000);
    QVERIFY(clock.elapsed() < 9000);
    QVERIFY(!w->Session().IsBusy());
    QCOMPARE(w->Session().Engine().GetTimeouts().reply, 180000);
    QVERIFY(w->Session().IsSessionOpen() && w->Session().IsLinkOpen());
  }
};

QTEST_MAIN(SessionControllerTest)
#include "session_controller_test.moc"
