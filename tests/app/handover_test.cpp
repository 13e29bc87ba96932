// A second start of the real program hands its files to this process,
// which plays the running window.
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "app/file_handover.h"
#include "app/main_window.h"
#include "app/mirvo_application.h"
#include "app/single_instance.h"
#include "app_test_support.h"

namespace fs = std::filesystem;
using mirvo::app::FileHandover;

namespace {

// A message as a second start sends it.
QByteArray HandOverMessage(const QStringList& paths) {
  QByteArray message(4, '\0');
  {
    QDataStream out(&message, QIODevice::WriteOnly | QIODevice::Append);
    out.setVersion(QDataStream::Qt_6_0);
    out << paths;
  }
  qToBigEndian<quint32>(static_cast<quint32>(message.size() - 4), message.data());
  return message;
}

// A running window's stand-in on the socket for one second start: answers
// its message with `answer`, or never when 0, and ends when it hangs up.
class StandIn {
 public:
  StandIn(const QString& path, char answer) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    std::copy(bytes.begin(), bytes.end(), address.sun_path);
    ::unlink(bytes.constData());
    listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 1) == 0;
    thread_ = std::thread([this, answer] {
      const int peer = ::accept(fd_, nullptr, nullptr);
      char buffer[4096];
      if (peer >= 0 && ::read(peer, buffer, sizeof buffer) > 0 && answer) (void)!::write(peer, &answer, 1);
      while (peer >= 0 && ::read(peer, buffer, sizeof buffer) > 0) {
      }
      if (peer >= 0) ::close(peer);
    });
  }
  ~StandIn() {
    thread_.join();
    ::close(fd_);
  }
  bool Listening() const { return listening_; }

 private:
  int fd_;
  bool listening_ = false;
  std::thread thread_;
};

}  // namespace
using mirvo::app::MainWindow;
using namespace mirvo::apptest;

class HandoverTest : public QObject {
  Q_OBJECT

  std::unique_ptr<AppEnv> env;
  std::unique_ptr<mirvo::app::SingleInstance> instance;
  std::unique_ptr<FileHandover> handover;
  QString local;  // the second start's working folder

  // Runs the program as a second start; its exit code.
  int SecondStart(const QStringList& args) {
    QProcess second;
    second.setWorkingDirectory(local);
    QSignalSpy finished(&second, &QProcess::finished);
    second.start(MIRVO_PROGRAM, args);
    // The wait runs the event loop: this process must answer meanwhile.
    if (!finished.wait(20000)) {
      second.kill();
      second.waitForFinished();
      return -1;
    }
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
  }

 private slots:
  void init() {
    env = std::make_unique<AppEnv>();
    qunsetenv("TEMP");
    const QString runtime = QString::fromStdString(env->dir.path() + "/run");
    QVERIFY(QDir().mkdir(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    local = QString::fromStdString(env->dir.path() + "/local");
    QVERIFY(QDir().mkdir(local));
    instance = std::make_unique<mirvo::app::SingleInstance>();
    QVERIFY(instance->Acquire());
    handover = std::make_unique<FileHandover>();
    QVERIFY(handover->Listen(mirvo::app::HandoverSocketPath()));
  }
  void cleanup() {
    handover.reset();
    instance.reset();
    env.reset();
  }

  void filesOfASecondStartAreSentOnceAfterConnectingThenAtOnce() {
    const fs::path root = env->dir.path() + "/handset";
    fs::create_directories(root);
    env->StartHandset(3, root);
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    MakeFile(local.toStdString() + "/one.txt", 1500);
    MakeFile(local.toStdString() + "/two.bin", 3000);
    MakeFile(local.toStdString() + "/three.txt", 10);

    MainWindow w;
    ShrinkTimeouts(w);
    connect(handover.get(), &FileHandover::FilesReceived, &w, &MainWindow::ReceiveFiles);
    QCOMPARE(SecondStart({"one.txt", local + "/two.bin"}), 0);
    QTRY_COMPARE(w.Transfers().PendingUploads(), (QStringList{local + "/one.txt", local + "/two.bin"}));
    // They wait, and the window says so.
    QCOMPARE(w.StatusText(StatusField::Activity), QString("2 個のファイルは電話機に接続したら送信します。"));

    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().IsSessionOpen() && !w.Session().IsConnecting() && !w.Session().IsBusy() && w.Transfers().PendingUploads().isEmpty(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(env->handsets[0]->State().files_stored, std::size_t{2}, 15000);
    QTRY_COMPARE(w.StatusText(StatusField::Activity), QString("2 個のファイルを送信しました。"));
    QCOMPARE(fs::file_size(root / "one.txt"), std::uintmax_t{1500});
    QCOMPARE(fs::file_size(root / "two.bin"), std::uintmax_t{3000});
    QCOMPARE(w.Session().Refresh(), mirvo::app::CommandResult::kStarted);
    QCOMPARE(env->handsets[0]->State().files_stored, std::size_t{2});

    QCOMPARE(SecondStart({"three.txt"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(env->handsets[0]->State().files_stored, std::size_t{3}, 15000);
    QVERIFY(fs::exists(root / "three.txt"));
    QCOMPARE(env->Texts(), QStringList{});
  }

  // The lock is taken before the splash: a second start hands over and
  // shows none; a first start shows it only without files.
  void secondStartNeverShowsTheSplash() {
    QStringList steps;
    auto start = [&](const QStringList& params) {
      mirvo::app::SingleInstance run;
      return mirvo::app::StartProgram(params, {.acquire = [&] { return run.Acquire(); },
                                               .show_splash = [&] { steps << "splash"; },
                                               .run_window = [&] { steps << "window"; return 1; },
                                               .hand_over = [&] { steps << "hand over"; return 2; }});
    };
    QCOMPARE(start({}), 2);
    QCOMPARE(steps, QStringList{"hand over"});
    instance.reset();  // the first run ends
    steps.clear();
    QCOMPARE(start({}), 1);
    QCOMPARE(start({"a.txt"}), 1);
    QCOMPARE(steps, (QStringList{"splash", "window", "window"}));
  }

  void secondStartWithoutFilesRaisesTheWindowAndBadInputHandsNothing() {
    QSignalSpy received(handover.get(), &FileHandover::FilesReceived);
    const fs::path root = env->dir.path() + "/handset";
    fs::create_directories(root);
    env->StartHandset(3, root);
    env->WriteConfig("COM=COM3\r\nPASSWORD=0000\r\n");
    MainWindow w;
    ShrinkTimeouts(w);
    connect(handover.get(), &FileHandover::FilesReceived, &w, &MainWindow::ReceiveFiles);
    ShowAndActivate(w);
    w.showMinimized();
    QTRY_VERIFY(w.isMinimized());
    QCOMPARE(SecondStart({}), 0);
    QTRY_VERIFY(!w.isMinimized() && w.isActiveWindow());
    QCOMPARE(received.count(), 1);
    QVERIFY(received[0][0].toStringList().isEmpty());

    // Relative paths and oversized messages are refused, not taken.
    QLocalSocket raw;
    raw.connectToServer(mirvo::app::HandoverSocketPath());
    QVERIFY(raw.waitForConnected(5000));
    raw.write(HandOverMessage({"relative.txt"}));
    QTRY_VERIFY(raw.bytesAvailable() > 0);
    QCOMPARE(raw.readAll(), QByteArray("R"));
    QLocalSocket big;
    big.connectToServer(mirvo::app::HandoverSocketPath());
    QVERIFY(big.waitForConnected(5000));
    big.write(QByteArray::fromHex("7fffffff"));
    QTRY_VERIFY(big.bytesAvailable() > 0);
    QCOMPARE(big.readAll(), QByteArray("R"));
    QCOMPARE(received.count(), 1);

    // A runtime folder others may open is passed over for the private
    // staging parent.
    QFile::setPermissions(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther);
    const QString cache = QString::fromStdString(env->dir.path() + "/cache");
    QCOMPARE(qEnvironmentVariable("XDG_CACHE_HOME"), cache);  // the test's own, set by AppEnv
    QCOMPARE(mirvo::app::HandoverSocketPath(), cache + "/ZQR/Mirvo.socket");
  }

  // A sender that never confirms the answer (it gave up waiting) has its
  // files dropped; files taken while no session stands are named when the
  // window closes without sending them.
  void unconfirmedHandOverIsDroppedAndUnsentFilesAreNamedAtClose() {
    MainWindow w;
    connect(handover.get(), &FileHandover::FilesReceived, &w, &MainWindow::ReceiveFiles);
    const QString one = local + "/one.txt", two = local + "/two.txt";
    // Offers a file and takes the window's answer, as a second start does.
    auto offer = [](QLocalSocket& sender, const QString& file) {
      sender.connectToServer(mirvo::app::HandoverSocketPath());
      QVERIFY(sender.waitForConnected(5000));
      sender.write(HandOverMessage({file}));
      QTRY_VERIFY(sender.bytesAvailable() > 0);
      QCOMPARE(sender.readAll(), QByteArray("A"));
    };
    QLocalSocket gave_up, confirmed;
    offer(gave_up, one);
    if (QTest::currentTestFailed()) return;
    gave_up.disconnectFromServer();
    offer(confirmed, two);
    if (QTest::currentTestFailed()) return;
    confirmed.write("C");
    QTRY_COMPARE(w.Transfers().PendingUploads(), QStringList{two});

    QVERIFY(w.close());
    QCOMPARE(env->Texts().size(), 1);
    QVERIFY(env->Texts()[0].contains(two));
  }

  // A second start whose files the window refused, or that no window
  // answered in time, says so and ends with 1.
  void secondStartSaysWhyWhenRefusedOrUnanswered() {
    const QString path = mirvo::app::HandoverSocketPath();
    handover.reset();
    for (const char answer : {'R', '\0'}) {
      env->boxes.clear();
      StandIn window(path, answer);
      QVERIFY(window.Listening());
      QCOMPARE(mirvo::app::SecondStart({local + "/one.txt"}, std::chrono::milliseconds(500)), 1);
      QCOMPARE(env->Texts().size(), 1);
      QVERIFY(env->Texts()[0].startsWith(QString("起動中のMirvoにファイルを渡せませんでした。")));
      QVERIFY(env->Texts()[0].contains("one.txt"));
    }
  }
};

QTEST_MAIN(HandoverTest)
#include "handover_test.moc"
