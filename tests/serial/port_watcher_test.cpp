// Ports coming and going as the watcher tells them: links in ports/ and the
// simulated handset plugged in and out, a flapping line, an adapter back
// under another node, the console; and which ports a probe may open.
#include "serial/port_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "gtest/gtest.h"
#include "handset/sim_handset.h"
#include "pty_pair.h"

namespace mirvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Kind = PortChange::Kind;
using namespace std::chrono_literals;
using testing::PtyPair;
using testing::TempDir;

constexpr auto kHoldOff = 1000ms;

struct Seen {
  PortChange change;
  Clock::time_point before, after;  // the TakeChanges call that gave it
};

// Takes the watcher's changes as they come, keeping them all.
class Observer {
 public:
  explicit Observer(PortWatcher& watcher) : watcher_(watcher) {}

  // Until a change satisfies pred or the bound passes; true when one did.
  bool WaitFor(const std::function<bool(const PortChange&)>& pred, std::chrono::milliseconds bound = 10s) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      const auto before = Clock::now();
      const auto changes = watcher_.TakeChanges();
      const auto after = Clock::now();
      bool hit = false;
      for (const PortChange& c : changes) {
        hit = hit || pred(c);
        seen.push_back({c, before, after});
      }
      if (hit) return true;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{watcher_.Fd(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
    }
  }

  std::vector<Seen> About(const std::string& key) const {
    std::vector<Seen> out;
    for (const Seen& s : seen)
      if (s.change.port.key == key) out.push_back(s);
    return out;
  }

  std::vector<Seen> seen;

 private:
  PortWatcher& watcher_;
};

auto Is(Kind kind, const std::string& key) {
  return [=](const PortChange& c) { return c.kind == kind && c.port.key == key; };
}
auto AnyAbout(const std::string& key) {
  return [=](const PortChange& c) { return c.port.key == key; };
}

class PortWatcherTest : public ::testing::Test {
 protected:
  PortWatcher Watch(PortWatcherOptions options = {}) {
    options.settings_dir = dir_.SettingsDir();
    auto watcher = PortWatcher::Create(std::move(options));
    EXPECT_TRUE(watcher.has_value()) << std::strerror(errno);
    if (!watcher) std::abort();
    return std::move(*watcher);
  }
  static PortWatcherOptions InotifyOnly() {
    PortWatcherOptions options;
    options.use_udev = false;
    return options;
  }
  fs::path Link(int n) const { return fs::path(dir_.SettingsDir()) / "ports" / ("COM" + std::to_string(n)); }
  static bool Shows(const PortWatcher& watcher, const std::string& key, const std::string& device) {
    const auto present = watcher.Present();
    return std::any_of(present.begin(), present.end(),
                       [&](const WatchedPort& p) { return p.key == key && p.device == device; });
  }

  TempDir dir_;
};

TEST_F(PortWatcherTest, LinkComingAndGoingIsReportedOnceEach) {
  PtyPair line;
  PortWatcher watcher = Watch(InotifyOnly());
  EXPECT_EQ(watcher.Source(), PortWatchSource::kInotify);
  Observer obs(watcher);
  const std::string key = "ports/COM3";
  // The first look, before the link: only the link's own coming tells.
  obs.WaitFor([](const PortChange&) { return false; }, 0ms);

  dir_.LinkPort(3, line.slave_path());
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));
  EXPECT_EQ(obs.seen.back().change.port.device, line.slave_path());
  EXPECT_EQ(obs.seen.back().change.port.com_name, "COM3");
  fs::remove(Link(3));
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kGone, key)));
  dir_.LinkPort(3, line.slave_path());
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));
  // Nothing more, even once the hold-off has passed.
  EXPECT_FALSE(obs.WaitFor(AnyAbout(key), kHoldOff + 500ms));
  EXPECT_EQ(obs.About(key).size(), 3u);
  EXPECT_TRUE(Shows(watcher, key, line.slave_path()));
}

TEST_F(PortWatcherTest, FlappingPortIsReportedAtMostOnceASecond) {
  sim::HandsetOptions options;
  options.port_link = Link(4);
  sim::SimHandset handset(dir_.path(), options);
  PortWatcher watcher = Watch(InotifyOnly());
  Observer obs(watcher);
  const std::string key = "ports/COM4";
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));

  // Out and in ten times a second until stopped.
  std::atomic<int> flaps{0};
  std::atomic<bool> replug_failed{false};
  {
    std::jthread flapper([&](std::stop_token stop) {
      std::mutex m;
      std::condition_variable_any cv;
      std::unique_lock lock(m);
      while (!stop.stop_requested()) {
        handset.Unplug();
        cv.wait_for(lock, stop, 50ms, [] { return false; });
        if (!handset.Replug()) replug_failed = true;
        cv.wait_for(lock, stop, 50ms, [] { return false; });
        ++flaps;
      }
    });
    obs.WaitFor([](const PortChange&) { return false; }, 2500ms);
  }
  ASSERT_FALSE(replug_failed);
  EXPECT_GE(flaps, 10);
  // Once it holds still, what is reported is where it is now.
  if (!Shows(watcher, key, handset.DevicePath())) {
    ASSERT_TRUE(obs.WaitFor(
        [&](const PortChange& c) { return c.port.key == key && c.kind != Kind::kGone && c.port.device == handset.DevicePath(); },
        kHoldOff * 3));
  }

  const std::vector<Seen> reports = obs.About(key);
  Clock::duration closest = Clock::duration::max();
  for (std::size_t i = 1; i < reports.size(); ++i) closest = std::min(closest, reports[i].after - reports[i - 1].before);
  EXPECT_GE(closest, kHoldOff) << reports.size() << " reports";
}

// The simulated handset's program on its own timer, as a test script would run it.
TEST_F(PortWatcherTest, HandsetProgramUnplugsAndReplugs) {
  PortWatcher watcher = Watch(InotifyOnly());
  Observer obs(watcher);
  const std::string settings = dir_.SettingsDir();
  std::vector<std::string> args = {MIRVO_HANDSET_PATH, "--root",         dir_.path(), "--link", "COM5",
                                   "--settings-dir",   settings,         "--unplug-after", "1", "--replug-after",
                                   "1"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  const std::string key = "ports/COM5";
  EXPECT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));
  EXPECT_TRUE(obs.WaitFor(Is(Kind::kGone, key)));
  EXPECT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::is_symlink(Link(5)));
}

// A USB adapter described as sysfs and udev would: a node, a by-id link,
// and the USB device above it with ids and serial.
TEST_F(PortWatcherTest, AdapterBackUnderAnotherNodeIsTheSameOne) {
  const fs::path dev = fs::path(dir_.path()) / "dev", sys = fs::path(dir_.path()) / "sys";
  const fs::path usb = sys / "devices/pci0000:00/usb1/1-2";
  fs::create_directories(dev / "serial/by-id");
  fs::create_directories(usb / "1-2:1.0");
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "idProduct") << "6001\n";
  std::ofstream(usb / "serial") << "A50285BI\n";
  std::ofstream(usb / "1-2:1.0/bInterfaceNumber") << "00\n";
  const std::string key = "usb:0403:6001:A50285BI:00";
  const fs::path by_id = dev / "serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0";
  PtyPair line;
  auto plug = [&](const std::string& node) {
    fs::create_directories(usb / "1-2:1.0" / node);
    fs::create_directories(sys / "class/tty" / node);
    fs::create_symlink(usb / "1-2:1.0" / node, sys / "class/tty" / node / "device");
    fs::create_symlink(line.slave_path(), dev / node);
    fs::create_symlink("../../" + node, by_id);
  };
  plug("ttyUSB0");

  PortWatcherOptions options = InotifyOnly();
  options.dev_dir = dev.string();
  options.sys_dir = sys.string();
  PortWatcher watcher = Watch(options);
  Observer obs(watcher);
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, key)));
  const WatchedPort first = obs.seen.back().change.port;
  EXPECT_EQ(first.device, (dev / "ttyUSB0").string());
  EXPECT_EQ(first.com_name, "COM33");
  EXPECT_EQ(first.by_id, by_id.string());

  fs::remove(by_id);
  fs::remove(dev / "ttyUSB0");
  plug("ttyUSB1");
  ASSERT_TRUE(obs.WaitFor([&](const PortChange& c) { return c.kind != Kind::kGone && c.port.device == (dev / "ttyUSB1").string(); }));
  EXPECT_EQ(obs.seen.back().change.port.com_name, "COM34");
  for (const Seen& s : obs.seen) EXPECT_EQ(s.change.port.key, key) << s.change.port.device;
}

TEST_F(PortWatcherTest, ConsoleIsNeverReported) {
  // The console as /proc/consoles names it: "ttyS0  -W- (EC  p a)    4:64".
  std::string name;
  std::ifstream("/proc/consoles") >> name;
  const std::string console = "/dev/" + name;
  struct stat st {};
  if (name.empty() || ::stat(console.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
    GTEST_SKIP() << "no console device in /dev to try";
  // Reached both through /dev and through a link; a second link to a line
  // of its own shows the look was made.
  PtyPair line;
  dir_.LinkPort(1, console);
  dir_.LinkPort(2, line.slave_path());
  PortWatcher watcher = Watch(InotifyOnly());
  Observer obs(watcher);
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, "ports/COM2")));
  for (const Seen& s : obs.seen) {
    struct stat reported {};
    EXPECT_FALSE(::stat(s.change.port.device.c_str(), &reported) == 0 && reported.st_rdev == st.st_rdev)
        << s.change.port.device;
    EXPECT_NE(s.change.port.com_name, "COM1");
  }
}

TEST_F(PortWatcherTest, UdevWatcherSeesLinksWhereUdevRuns) {
  std::error_code ec;
  if (!fs::exists("/run/udev", ec)) GTEST_SKIP() << "udev does not run here (no /run/udev): inotify stands in";
#ifndef MIRVO_HAVE_LIBUDEV
  GTEST_SKIP() << "built without libudev";
#endif
  PortWatcher watcher = Watch();
  ASSERT_EQ(watcher.Source(), PortWatchSource::kUdev);
  Observer obs(watcher);
  PtyPair line;
  dir_.LinkPort(2, line.slave_path());
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kAppeared, "ports/COM2")));
  fs::remove(Link(2));
  ASSERT_TRUE(obs.WaitFor(Is(Kind::kGone, "ports/COM2")));
}

TEST(PortIsFreeToProbe, NotWhileLockedByAnotherOrHeld) {
  // /dev/null stands for a line: a character device that is no terminal.
  TempDir locks;
  const std::vector<std::string> folders = {locks.path()};
  auto lock = [&](const std::string& content) {
    std::ofstream(locks.path() + "/LCK..null", std::ios::binary) << content;
  };
  EXPECT_TRUE(PortIsFreeToProbe("/dev/null", folders));
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  lock(text);
  EXPECT_FALSE(PortIsFreeToProbe("/dev/null", folders)) << "a live process's lock";
  const int gone = 4194305;  // above the largest PID Linux gives
  lock(std::string(reinterpret_cast<const char*>(&gone), sizeof gone));
  EXPECT_TRUE(PortIsFreeToProbe("/dev/null", folders)) << "a dead process's lock";
  lock("minicom\n");
  EXPECT_FALSE(PortIsFreeToProbe("/dev/null", folders)) << "a lock naming no process";

  // An flock, as an open port of this program keeps.
  PtyPair line;
  const int fd = ::open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(PortIsFreeToProbe(line.slave_path(), folders));
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(PortIsFreeToProbe(line.slave_path(), folders));
  ::close(fd);
  EXPECT_TRUE(PortIsFreeToProbe(line.slave_path(), folders));
}

}  // namespace
}  // namespace mirvo
