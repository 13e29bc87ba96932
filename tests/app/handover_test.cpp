// A second start of the real program hands its files to this process,
// which plays the running window.
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>
#include <filesystem>
#include <fstream>

#include "app/file_handover.h"
#include "app/main_window.h"
#include "app/single_instance.h"
#include "app_test_support.h"

namespace fs = std::filesystem;
using mirvo::app::FileHandover;
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

    ShowAndActivate(w);
    QTRY_VERIFY_WITH_TIMEOUT(w.Session().IsSessionOpen() && !w.Session().IsConnecting() && !w.Session().IsBusy() && w.Transfers().PendingUploads().isEmpty(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(env->handsets[0]->State().files_stored, std::size_t{2}, 15000);
    QCOMPARE(fs::file_size(root / "one.txt"), std::uintmax_t{1500});
    QCOMPARE(fs::file_size(root / "two.bin"), std::uintmax_t{3000});
    QCOMPARE(w.Session().Refresh(), 0);
    QCOMPARE(env->handsets[0]->State().files_stored, std::size_t{2});

    QCOMPARE(SecondStart({"three.txt"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(env->handsets[0]->State().files_stored, std::size_t{3}, 15000);
    QVERIFY(fs::exists(root / "three.txt"));
    QCOMPARE(env->Texts(), QStringList{});
  }

  void secondStartWithoutFilesOrWithBadInputHandsNothing() {
    QSignalSpy received(handover.get(), &FileHandover::FilesReceived);
    QCOMPARE(SecondStart({}), 0);  // after its splash

    // Relative paths and oversized messages are refused, not taken.
    QLocalSocket raw;
    raw.connectToServer(mirvo::app::HandoverSocketPath());
    QVERIFY(raw.waitForConnected(5000));
    QByteArray message(4, '\0');
    {
      QDataStream out(&message, QIODevice::WriteOnly | QIODevice::Append);
      out.setVersion(QDataStream::Qt_6_0);
      out << QStringList{"relative.txt"};
    }
    qToBigEndian<quint32>(static_cast<quint32>(message.size() - 4), message.data());
    raw.write(message);
    QTRY_VERIFY(raw.bytesAvailable() > 0);
    QCOMPARE(raw.readAll(), QByteArray("R"));
    raw.write(QByteArray::fromHex("7fffffff"));
    QTRY_VERIFY(raw.bytesAvailable() > 0);
    QCOMPARE(raw.readAll(), QByteArray("R"));
    QCOMPARE(received.count(), 0);

    // A folder others may write to is never used for the socket.
    QFile::setPermissions(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::WriteOther);
    QCOMPARE(mirvo::app::HandoverSocketPath(), QString());
  }
};

QTEST_MAIN(HandoverTest)
#include "handover_test.moc"
