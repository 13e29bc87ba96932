// The session's worker alone against the simulated handset: what it does on
// its own thread while the window does nothing at all.
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <memory>

#include "app/session_worker.h"
#include "handset/sim_handset.h"
#include "pty_pair.h"
#include "test_files.h"

using mirvo::ExchangeResult;
using mirvo::app::FileOutcome;
using mirvo::app::SessionWorker;
using mirvo::testing::PatternBytes;
using mirvo::testing::WriteFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SessionWorkerTest : public QObject {
  Q_OBJECT

  std::unique_ptr<mirvo::testing::TempDir> dir;
  std::unique_ptr<mirvo::sim::SimHandset> handset;
  std::unique_ptr<SessionWorker> worker;

  fs::path Root() const { return fs::path(dir->path()) / "handset"; }
  std::string Stage() const { return dir->path() + "/stage/"; }

  // A worker with a session open on a handset at the given line speed.
  bool Open(int bytes_per_second = 0) {
    mirvo::sim::HandsetOptions options;
    options.bytes_per_second = bytes_per_second;
    options.wait = 2s;
    handset = std::make_unique<mirvo::sim::SimHandset>(Root(), options);
    worker = std::make_unique<SessionWorker>();
    worker->Start();
    worker->PostTimeouts({.read_ms = 3000, .write_ms = 3000, .read_interval_ms = 3000},
                         {.ack = 2000, .data = 2000, .reply = 3000, .first_frame = 3000});
    QSignalSpy connected(worker.get(), &SessionWorker::ConnectFinished);
    worker->PostConnect(handset->DevicePath(), "0000");
    return connected.wait(15000) &&
           connected.at(0).at(0).value<mirvo::app::ConnectOutcome>().step == mirvo::app::ConnectOutcome::Step::kReady;
  }

  // The handset's files by name, as its list says.
  std::vector<mirvo::HandsetFile> Files(std::initializer_list<const char*> names) {
    QSignalSpy listed(worker.get(), &SessionWorker::ListReplaced);
    worker->PostFetchList();
    if (!listed.wait(10000)) return {};
    const auto listing = listed.at(0).at(0).value<mirvo::ListingSnapshot>();
    std::vector<mirvo::HandsetFile> files;
    for (const char* name : names)
      for (const auto& f : listing->Files())
        if (f.record.name == name) files.push_back(f);
    return files;
  }

  static FileOutcome Outcome(const QSignalSpy& spy, int i) { return spy.at(i).at(0).value<FileOutcome>(); }

 private slots:
  void init() {
    dir = std::make_unique<mirvo::testing::TempDir>();
    WriteFile(Root() / "one.bin", PatternBytes(3000));
    WriteFile(Root() / "two.bin", PatternBytes(1500));
  }
  void cleanup() {
    worker.reset();
    handset.reset();
    dir.reset();
  }

  // A frame that comes bad fails its file alone; the next file comes and
  // the session stays, run after run. The worker never waits for the
  // window: it is done with the line before the window has heard of it.
  void aBadFrameFailsOnlyItsFile() {
    QVERIFY(Open());
    const auto files = Files({"one.bin", "two.bin"});
    QCOMPARE(files.size(), std::size_t{2});
    QSignalSpy ended(worker.get(), &SessionWorker::SessionEnded);
    for (int round = 0; round < 10; ++round) {
      QSignalSpy notices(worker.get(), &SessionWorker::Notice);
      QSignalSpy settled(worker.get(), &SessionWorker::FileSettled);
      QSignalSpy finished(worker.get(), &SessionWorker::RunFinished);
      handset->ClearLog();
      handset->CorruptCrc(3);  // 1: the reply, 2 and 3: one.bin's first two data frames
      worker->PostFetch({files, Stage(), {}});
      // No event of this thread runs meanwhile.
      QVERIFY(handset->WaitForCommand("GET_FILE[two.bin]", 10s));
      QVERIFY(finished.wait(10000));
      QCOMPARE(notices.count(), 1);
      QCOMPARE(notices.at(0).at(0).value<mirvo::EngineNotice>(), mirvo::EngineNotice::kCrcError);
      QCOMPARE(settled.count(), 2);
      QCOMPARE(Outcome(settled, 0).kind, FileOutcome::Kind::kExchange);
      QCOMPARE(Outcome(settled, 0).result, ExchangeResult::FrameLost);
      QCOMPARE(Outcome(settled, 1).kind, FileOutcome::Kind::kDone);
      QCOMPARE(mirvo::testing::ReadFile(Outcome(settled, 1).local_path), PatternBytes(1500));
      QVERIFY2(!fs::exists(Stage() + "one.bin"), "a failed file leaves no copy");
      QVERIFY(handset->ReceivedBytes().find('\x15') != std::string::npos);  // the NAK
      fs::remove(Stage() + "two.bin");
    }
    QCOMPARE(ended.count(), 0);
  }

  // Stop gives up a file in the middle of its data within a second; the
  // session stays and the next fetch goes through.
  void stopEndsAFetchAtOnce() {
    WriteFile(Root() / "big.bin", PatternBytes(1 << 20));
    QVERIFY(Open(11520));  // 115,200 bit/s
    const auto big = Files({"big.bin"});
    QCOMPARE(big.size(), std::size_t{1});
    QSignalSpy settled(worker.get(), &SessionWorker::FileSettled);
    QSignalSpy finished(worker.get(), &SessionWorker::RunFinished);
    QSignalSpy progress(worker.get(), &SessionWorker::FileProgress);
    worker->PostFetch({big, Stage(), {}});
    QVERIFY(progress.wait(10000));
    const auto asked = std::chrono::steady_clock::now();
    worker->StopJob();
    QVERIFY(finished.wait(5000));
    QVERIFY(std::chrono::steady_clock::now() - asked < 1s);
    QCOMPARE(settled.count(), 1);
    QCOMPARE(Outcome(settled, 0).kind, FileOutcome::Kind::kStopped);
    QVERIFY(!fs::exists(Stage() + "big.bin"));
    QSignalSpy next(worker.get(), &SessionWorker::FileSettled);
    const auto two = Files({"two.bin"});
    QCOMPARE(two.size(), std::size_t{1});
    worker->PostFetch({two, Stage(), {}});
    QVERIFY(next.wait(10000));
    QCOMPARE(Outcome(next, 0).kind, FileOutcome::Kind::kDone);
  }

  // A line that goes away under a job ends the file and the session.
  void aHangUpEndsTheJobAndTheSession() {
    QVERIFY(Open());
    const auto files = Files({"one.bin", "two.bin"});
    QSignalSpy ended(worker.get(), &SessionWorker::SessionEnded);
    QSignalSpy settled(worker.get(), &SessionWorker::FileSettled);
    QSignalSpy finished(worker.get(), &SessionWorker::RunFinished);
    handset->SilenceFrom(0, 2);  // one.bin's data never comes
    worker->PostFetch({files, Stage(), {}});
    QVERIFY(handset->WaitForCommand("GET_FILE[one.bin]", 10s));
    handset->HangUp();
    QVERIFY(finished.wait(10000));
    QCOMPARE(settled.count(), 1);  // two.bin is not tried
    QCOMPARE(Outcome(settled, 0).kind, FileOutcome::Kind::kHungUp);
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).value<mirvo::app::SessionEnd>(), mirvo::app::SessionEnd::kHungUp);
  }
};

QTEST_GUILESS_MAIN(SessionWorkerTest)
#include "session_worker_test.moc"
