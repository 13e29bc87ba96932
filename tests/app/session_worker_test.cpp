// The session's worker alone against the simulated handset: what it does on
// its own thread while the window does nothing at all.
#include <QTest>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

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

  // What the worker said, as this thread hears it: queued, so that nothing
  // is touched from the worker's thread.
  struct Heard {
    std::optional<mirvo::app::ConnectOutcome> connected;
    mirvo::ListingSnapshot listing;
    std::vector<FileOutcome> settled;
    std::vector<mirvo::EngineNotice> notices;
    std::vector<mirvo::app::SessionEnd> ended;
    int finished = 0;
    int progress = 0;
  } heard;

  void Listen() {
    constexpr auto kQueued = Qt::QueuedConnection;
    SessionWorker* w = worker.get();
    connect(w, &SessionWorker::ConnectFinished, this, [this](const auto& o) { heard.connected = o; }, kQueued);
    connect(w, &SessionWorker::ListReplaced, this, [this](const auto& l) { heard.listing = l; }, kQueued);
    connect(w, &SessionWorker::FileSettled, this, [this](const auto& o) { heard.settled.push_back(o); }, kQueued);
    connect(w, &SessionWorker::Notice, this, [this](auto n) { heard.notices.push_back(n); }, kQueued);
    connect(w, &SessionWorker::SessionEnded, this, [this](auto e) { heard.ended.push_back(e); }, kQueued);
    connect(w, &SessionWorker::RunFinished, this, [this] { ++heard.finished; }, kQueued);
    connect(w, &SessionWorker::FileProgress, this, [this] { ++heard.progress; }, kQueued);
  }
  static bool Until(const std::function<bool()>& done, int ms = 10000) { return QTest::qWaitFor(done, ms); }

  fs::path Root() const { return fs::path(dir->path()) / "handset"; }
  std::string Stage() const { return dir->path() + "/stage/"; }

  // A worker with a session open on a handset at the given line speed.
  bool Open(int bytes_per_second = 0) {
    mirvo::sim::HandsetOptions options;
    options.bytes_per_second = bytes_per_second;
    options.wait = 2s;
    handset = std::make_unique<mirvo::sim::SimHandset>(Root(), options);
    worker = std::make_unique<SessionWorker>();
    Listen();
    worker->Start();
    worker->PostTimeouts({.read_ms = 3000, .write_ms = 3000, .read_interval_ms = 3000},
                         {.ack = 2000, .data = 2000, .reply = 3000, .first_frame = 3000});
    worker->PostConnect(handset->DevicePath(), "0000");
    return Until([&] { return heard.connected.has_value(); }, 15000) &&
           heard.connected->step == mirvo::app::ConnectOutcome::Step::kReady;
  }

  // The handset's files by name, as its list says.
  std::vector<mirvo::HandsetFile> Files(std::initializer_list<const char*> names) {
    heard.listing.reset();
    worker->PostFetchList();
    if (!Until([&] { return heard.listing != nullptr; })) return {};
    std::vector<mirvo::HandsetFile> files;
    for (const char* name : names)
      for (const auto& f : heard.listing->Files())
        if (f.record.name == name) files.push_back(f);
    return files;
  }

  // Posts a fetch and hears it to its end.
  bool FetchToEnd(std::vector<mirvo::HandsetFile> files) {
    heard.settled.clear();
    const int before = heard.finished;
    worker->PostFetch({std::move(files), Stage(), {}});
    return Until([&] { return heard.finished > before; });
  }

 private slots:
  void init() {
    heard = Heard{};
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
    for (int round = 0; round < 10; ++round) {
      heard.notices.clear();
      heard.settled.clear();
      const int before = heard.finished;
      handset->ClearLog();
      handset->CorruptCrc(3);  // 1: the reply, 2 and 3: one.bin's first two data frames
      worker->PostFetch({files, Stage(), {}});
      // No event of this thread runs meanwhile.
      QVERIFY(handset->WaitForCommand("GET_FILE[two.bin]", 10s));
      QVERIFY(Until([&] { return heard.finished > before; }));
      QCOMPARE(heard.notices, std::vector<mirvo::EngineNotice>{mirvo::EngineNotice::kCrcError});
      QCOMPARE(heard.settled.size(), std::size_t{2});
      QCOMPARE(heard.settled[0].kind, FileOutcome::Kind::kExchange);
      QCOMPARE(heard.settled[0].result, ExchangeResult::FrameLost);
      QCOMPARE(heard.settled[1].kind, FileOutcome::Kind::kDone);
      QCOMPARE(mirvo::testing::ReadFile(heard.settled[1].local_path), PatternBytes(1500));
      QVERIFY2(!fs::exists(Stage() + "one.bin"), "a failed file leaves no copy");
      QVERIFY(handset->ReceivedBytes().find('\x15') != std::string::npos);  // the NAK
      fs::remove(Stage() + "two.bin");
    }
    QVERIFY(heard.ended.empty());
  }

  // Stop gives up a file in the middle of its data within a second; the
  // session stays and the next fetch goes through.
  void stopEndsAFetchAtOnce() {
    WriteFile(Root() / "big.bin", PatternBytes(1 << 20));
    QVERIFY(Open(11520));  // 115,200 bit/s
    const auto big = Files({"big.bin"});
    QCOMPARE(big.size(), std::size_t{1});
    heard.settled.clear();
    const int before = heard.finished;
    worker->PostFetch({big, Stage(), {}});
    QVERIFY(Until([&] { return heard.progress > 0; }));
    const auto asked = std::chrono::steady_clock::now();
    worker->StopJob();
    QVERIFY(Until([&] { return heard.finished > before; }, 15000));
    // The whole file takes 91 s on this line: given up at the next frame,
    // it ends in well under a second here, under ten on any machine.
    QVERIFY(std::chrono::steady_clock::now() - asked < 10s);
    QCOMPARE(heard.settled.size(), std::size_t{1});
    QCOMPARE(heard.settled[0].kind, FileOutcome::Kind::kStopped);
    QVERIFY(!fs::exists(Stage() + "big.bin"));
    const auto two = Files({"two.bin"});
    QCOMPARE(two.size(), std::size_t{1});
    QVERIFY(FetchToEnd(two));
    QCOMPARE(heard.settled.size(), std::size_t{1});
    QCOMPARE(heard.settled[0].kind, FileOutcome::Kind::kDone);
  }

  // A line that goes away under a job ends the file and the session.
  void aHangUpEndsTheJobAndTheSession() {
    QVERIFY(Open());
    const auto files = Files({"one.bin", "two.bin"});
    heard.settled.clear();
    const int before = heard.finished;
    handset->SilenceFrom(0, 2);  // one.bin's data never comes
    worker->PostFetch({files, Stage(), {}});
    QVERIFY(handset->WaitForCommand("GET_FILE[one.bin]", 10s));
    handset->HangUp();
    QVERIFY(Until([&] { return heard.finished > before; }));
    QCOMPARE(heard.settled.size(), std::size_t{1});  // two.bin is not tried
    QCOMPARE(heard.settled[0].kind, FileOutcome::Kind::kHungUp);
    QCOMPARE(heard.ended, std::vector<mirvo::app::SessionEnd>{mirvo::app::SessionEnd::kHungUp});
  }
};

QTEST_GUILESS_MAIN(SessionWorkerTest)
#include "session_worker_test.moc"
