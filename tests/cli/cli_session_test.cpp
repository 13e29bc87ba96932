// mirvo-cli end to end, in-process, against the simulated handset on a
// pseudo-terminal. Only the test's own port links resolve.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "test_files.h"
#include "cli/cli.h"
#include "core/paths.h"
#include "handset/sim_handset.h"
#include "pty_pair.h"
#include "serial/port_diagnosis.h"
#include "serial/port_names.h"
#include "text/cp932.h"

using namespace mirvo;
using namespace mirvo::cli;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kNoFlags = "00" + std::string(30, '-');
constexpr uid_t kOtherUser = 64017;

struct Result {
  int status;
  std::string out, err;
};

// mirvo-cli as a program of its own, started as a shell starts it (the
// signals it is sent at their defaults); standard output is dropped.
class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    err_ = pipe_fds[0];
    std::vector<std::string> argv_text{MIRVO_CLI_PROGRAM};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, pipe_fds[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid_, argv[0], &files, &attr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    close(pipe_fds[1]);
  }
  ~CliProcess() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (err_ >= 0) close(err_);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  void Signal(int signal) { kill(pid_, signal); }
  // Its exit status (-1 when it did not end by itself within the bound)
  // and what it wrote on standard error.
  std::pair<int, std::string> Wait(milliseconds bound) {
    std::string err;
    const auto deadline = steady_clock::now() + bound;
    for (char buffer[4096];;) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      pollfd p{err_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return {-1, err};
      const ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) break;  // closed: the program has ended
      err.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return {-1, err};
    pid_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
  }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
};

class CliSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("APPDATA")) old_appdata_ = old;
    setenv("APPDATA", dir_.path().c_str(), 1);
    SetPortResolver([](const std::string& name) -> std::optional<std::string> {
      if (!name.empty() && name[0] == '/') return name;
      const auto n = ComPortNumber(name);
      std::error_code ec;
      if (!n || !fs::is_symlink(fs::path(SettingsDir()) / "ports" / ("COM" + std::to_string(*n)), ec))
        return std::nullopt;
      return DefaultPortResolver(name);
    });
    root_ = dir_.path() + "/handset";
    WriteFile(root_ / "a.txt", "alpha");
    WriteFile(root_ / "pics" / "b.bin", PatternBytes(3000));
    WriteFile(root_ / "写真.jpg", "jpeg");
    WriteFile(root_ / "locked.txt", "keep me");
    WriteFile(root_ / "guarded.txt", "no copies");
    // protection ON for locked.txt, copy guard ON for guarded.txt
    WriteFile(root_ / ".handset-attributes",
              "locked.txt\t10" + std::string(30, '-') + "\nguarded.txt\t01" + std::string(30, '-') + "\n");
    out_dir_ = dir_.path() + "/out";

    options_.timeouts = {2000, 2000, 1000, 1000, 2000, 2000};
  }
  void TearDown() override {
    // Stop the serving thread before the pointer it reads through goes.
    if (handset_) handset_->HangUp();
    handset_.reset();
    SetPortResolver(nullptr);
    if (old_appdata_)
      setenv("APPDATA", old_appdata_->c_str(), 1);
    else
      unsetenv("APPDATA");
  }

  void StartHandset(sim::HandsetOptions o = {}) {
    o.wait = milliseconds(3000);
    o.on_command = [this](const std::string& command) {
      std::function<void(const std::string&)> on_command;
      {
        std::lock_guard lock(on_command_mutex_);
        on_command = on_command_;
      }
      if (on_command) on_command(command);
    };
    handset_ = std::make_unique<sim::SimHandset>(root_, o);
  }

  // mirvo-cli --port <handset> args...
  Result Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", handset_->DevicePath()});
    return CliRaw(std::move(args));
  }
  Result CliRaw(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunCli(args, out, err, options_);
    return {status, out.str(), err.str()};
  }

  // The handset has finished the last exchange, and the PC ended it all.
  bool EndedCleanly() {
    return handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy && !s.link_up; }, seconds(5)) &&
           Count("FT_END") == 1;
  }
  std::size_t Count(std::string_view prefix) {
    handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy; }, seconds(5));
    std::size_t n = 0;
    for (const auto& c : handset_->Commands()) n += c.rfind(prefix, 0) == 0;
    return n;
  }

  mirvo::testing::TempDir dir_;
  std::optional<std::string> old_appdata_;
  fs::path root_;
  std::string out_dir_;
  CliOptions options_;
  std::unique_ptr<sim::SimHandset> handset_;
  // Runs on the handset's thread; set through OnCommand.
  void OnCommand(std::function<void(const std::string&)> fn) {
    std::lock_guard lock(on_command_mutex_);
    on_command_ = std::move(fn);
  }
  std::mutex on_command_mutex_;
  std::function<void(const std::string&)> on_command_;
};

// ---- list ----------------------------------------------------------------

TEST_F(CliSessionTest, ListPrintsTheWindowsColumnsSortedAndEndsTheSession) {
  StartHandset();
  const Result r = Cli({"list"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string d = R"(\d{4}/\d\d/\d\d \d\d:\d\d)";
  const std::regex expected("a\\.txt\t5 B\t" + d + "\tOFF\tOFF\n" +
                            "guarded\\.txt\t9 B\t" + d + "\tOFF\tON\n" +
                            "locked\\.txt\t7 B\t" + d + "\tON\tOFF\n" +
                            "pics\\\\b\\.bin\t3,000 B\t" + d + "\tOFF\tOFF\n" +
                            "写真\\.jpg\t4 B\t" + d + "\tOFF\tOFF\n");
  EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
  // Connected as the window does, and closed again.
  const auto commands = handset_->Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(commands[0], "ATZ");
  EXPECT_NE(std::find(commands.begin(), commands.end(), "FT_START[0000]"), commands.end());
  EXPECT_EQ(Count("GET_LIST"), 1u);
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, ListFiltersLikeTheSearchPanel) {
  StartHandset();
  Result r = Cli({"list", "jpg"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "写真.jpg");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

  r = Cli({"list", "*.txt"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;  // a, guarded, locked

  r = Cli({"list", "pics*"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "pics\\b.bin");

  r = Cli({"list", "nothing-like-this"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out, "");
}

TEST_F(CliSessionTest, AMalformedPatternIsAUsageErrorBeforeTheLineIsUsed) {
  StartHandset();
  const Result r = Cli({"list", "[\\q]"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("bad pattern"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(handset_->Commands().empty());
}

// ---- settings ------------------------------------------------------------

TEST_F(CliSessionTest, PortAndPasswordComeFromConfigIniWhichIsNeverWritten) {
  sim::HandsetOptions o;
  o.password = "4321";
  StartHandset(o);
  dir_.LinkPort(3, handset_->DevicePath());
  const std::string config = "COM=COM3\r\nPASSWORD=4321\r\nVIEW_STYLE=9\r\nOTHER=kept\r\n";
  WriteFile(dir_.SettingsDir() + "config.ini", config);
  const auto written = fs::last_write_time(dir_.SettingsDir() + "config.ini");

  Result r = CliRaw({"list", "a.txt"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out.substr(0, 6), "a.txt\t");

  // The options win over the file.
  r = CliRaw({"--password", "0000", "list"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("password"), std::string::npos) << r.err;

  EXPECT_EQ(ReadFile(dir_.SettingsDir() + "config.ini"), config);
  EXPECT_EQ(fs::last_write_time(dir_.SettingsDir() + "config.ini"), written);
}

TEST_F(CliSessionTest, NoPortAnywhereIsAUsageError) {
  StartHandset();
  const Result r = CliRaw({"list"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("--port"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_.SettingsDir() + "config.ini"));
}

// ---- sessions that do not open ------------------------------------------

TEST_F(CliSessionTest, ASessionThatCannotOpenExitsTwo) {
  StartHandset();
  Result r = CliRaw({"--port", dir_.path() + "/no-such-device", "list"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("cannot open the port"), std::string::npos) << r.err;

  r = CliRaw({"--port", "/dev/null", "list"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("cannot open the port /dev/null (/dev/null): not a serial port\n"), std::string::npos) << r.err;

  r = CliRaw({"--port", "COM9", "list"});  // no link: resolves to nothing
  EXPECT_EQ(r.status, kExitUsage);

  r = Cli({"--password", "wrong", "get", "a.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("refused the password"), std::string::npos) << r.err;
  EXPECT_EQ(Count("GET_FILE"), 0u);

  handset_->SetReply("GET_LIST", "ERROR");
  r = Cli({"list"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("\"ERROR\""), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// ---- get -----------------------------------------------------------------

TEST_F(CliSessionTest, GetWritesTheFilesAndLeavesThemOnTheHandset) {
  StartHandset();
  options_.progress = true;
  const Result r = Cli({"get", "pics\\b.bin", "写真.jpg", "-o", out_dir_});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  // Frame by frame on the progress line.
  for (const char* shown : {"pics\\b.bin: 1,024 B", "pics\\b.bin: 2,048 B", "pics\\b.bin: 3,000 B"})
    EXPECT_NE(r.err.find(shown), std::string::npos) << shown << "\n" << r.err;
  EXPECT_EQ(ReadFile(out_dir_ + "/b.bin"), PatternBytes(3000));
  EXPECT_EQ(ReadFile(out_dir_ + "/写真.jpg"), "jpeg");
  EXPECT_EQ(Entries(out_dir_), (std::vector<std::string>{"b.bin", "写真.jpg"}));
  EXPECT_TRUE(fs::exists(root_ / "pics" / "b.bin"));
  EXPECT_EQ(Count("DEL"), 0u);
  EXPECT_EQ(Count("GET_LIST"), 0u);  // names given exactly need no list
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, GetFailuresAreNamedWithTheAnswerAndTheRestStillComes) {
  StartHandset();
  const Result r = Cli({"get", "missing.txt", "guarded.txt", "a.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("get missing.txt: the handset answered \"ERROR\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("get guarded.txt: the handset answered \"REJ\""), std::string::npos) << r.err;
  EXPECT_EQ(Entries(out_dir_), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(ReadFile(out_dir_ + "/a.txt"), "alpha");
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, ALostDownloadLeavesNoPartialFileAndKeepsTheOldCopy) {
  StartHandset();
  WriteFile(out_dir_ + "/b.bin", "older copy");
  // The file's last data frame (after the reply and two full frames) arrives
  // with a bad CRC, so no frame of the handset's can race the relink.
  std::atomic<bool> armed{true};
  OnCommand([&](const std::string& command) {
    if (command.rfind("GET_FILE", 0) == 0 && armed.exchange(false)) handset_->CorruptCrc(4);
  });
  const Result r = Cli({"get", "pics\\b.bin", "a.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("get pics\\b.bin: a file data frame from the handset was lost"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bad CRC"), std::string::npos) << r.err;  // the engine's own message
  EXPECT_EQ(ReadFile(out_dir_ + "/b.bin"), "older copy");
  EXPECT_EQ(Entries(out_dir_), (std::vector<std::string>{"a.txt", "b.bin"}));
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, AnOutputFolderThatTakesNoFilesFailsBeforeConnecting) {
  StartHandset();
  fs::create_directories(out_dir_);
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(out_dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_exec);
  // Root may write anywhere: the run goes as another user, this thread only.
  const bool root = geteuid() == 0;
  if (root) {
    setfsuid(kOtherUser);
    if (setfsuid(static_cast<uid_t>(-1)) != static_cast<int>(kOtherUser)) GTEST_SKIP() << "no setfsuid";
  }
  const Result r = Cli({"get", "a.txt", "-o", out_dir_});
  if (root) setfsuid(0);
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("cannot write into the folder " + out_dir_ + ": Permission denied"), std::string::npos) << r.err;
  EXPECT_TRUE(handset_->Commands().empty());
  EXPECT_TRUE(fs::is_empty(out_dir_));
}

TEST_F(CliSessionTest, UnsafeNamesAreRefusedAndNothingLeavesTheOutputFolder) {
  StartHandset();
  const std::string out = dir_.path() + "/deep/out";
  const Result r = Cli({"get", "..\\..\\x", "/etc/x", "a\\.\\b", "a.txt", "-o", out});
  EXPECT_EQ(r.status, kExitFileFailed);
  for (const char* name : {"get ..\\..\\x: refused", "get /etc/x: refused", "get a\\.\\b: refused"})
    EXPECT_NE(r.err.find(name), std::string::npos) << name << "\n" << r.err;
  EXPECT_EQ(Entries(out), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(Entries(dir_.path() + "/deep"), std::vector<std::string>{"out"});
  EXPECT_FALSE(fs::exists(dir_.path() + "/x"));
  EXPECT_EQ(Count("GET_FILE"), 1u);  // only a.txt was asked for
}

TEST_F(CliSessionTest, ANameTooLongForAFrameFailsAloneBeforeAnythingIsSent) {
  StartHandset();
  const std::string huge(70000, 'n');
  Result r = Cli({"get", huge, "a.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find(": refused: the name is too long for the handset (GET_FILE would take 70,010 bytes"),
            std::string::npos) << r.err.substr(r.err.size() - 200);
  EXPECT_EQ(Entries(out_dir_), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(Count("GET_FILE"), 1u);

  handset_->ClearLog();
  r = Cli({"del", huge});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find(": refused: the name is too long for the handset (DEL"), std::string::npos);
  WriteFile(dir_.path() + "/local/x.txt", "x");
  r = Cli({"put", "--to", huge, dir_.path() + "/local/x.txt"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("x.txt: refused: the name is too long for the handset (PUT_FILE"), std::string::npos);
  EXPECT_TRUE(handset_->Commands().empty());  // not even connected
}

TEST_F(CliSessionTest, TwoHandsetFilesWithOneLocalNameDoNotOverwriteEachOther) {
  WriteFile(root_ / "pics" / "a.txt", "other alpha");
  StartHandset();
  const Result r = Cli({"get", "a.txt", "pics\\a.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("get pics\\a.txt: refused"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(out_dir_ + "/a.txt"), "alpha");
}

TEST_F(CliSessionTest, TaggedFilesAreNamedWithTheirTagWhenTheNameIsShared) {
  WriteFile(root_ / "#T#" / "t.txt", "from T");
  WriteFile(root_ / "#U#" / "t.txt", "from U");
  StartHandset();
  Result r = Cli({"get", "t.txt", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("more than one"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out_dir_ + "/t.txt"));

  r = Cli({"get", "#U#t.txt", "-o", out_dir_});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(out_dir_ + "/t.txt"), "from U");

  // A unique name found only through the list.
  fs::remove_all(root_ / "#T#");
  fs::remove(out_dir_ + "/t.txt");
  handset_->ClearLog();
  r = Cli({"del", "t.txt"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_FALSE(fs::exists(root_ / "#U#" / "t.txt"));
  EXPECT_EQ(Count("GET_LIST"), 1u);
}

TEST_F(CliSessionTest, TheHandsetEndingTheSessionStopsTheRun) {
  StartHandset();
  std::atomic<bool> armed{true};
  OnCommand([&](const std::string& command) {
    if (command.rfind("GET_FILE", 0) == 0 && armed.exchange(false)) handset_->FtEndInPlaceOf(1);
  });
  const Result r = Cli({"get", "a.txt", "写真.jpg", "-o", out_dir_});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("get 写真.jpg: not tried: the handset ended the session"), std::string::npos) << r.err;
  EXPECT_TRUE(handset_->WaitFor([](const sim::HandsetState& s) { return s.handset_ends == 1 && !s.busy; }, seconds(5)));
  EXPECT_EQ(Count("FT_END"), 0u);  // nothing left to end
  EXPECT_EQ(Count("GET_FILE"), 1u);
  EXPECT_FALSE(fs::exists(out_dir_ + "/a.txt"));
}

// ---- put -----------------------------------------------------------------

// Scripts rely on put replacing; --no-clobber keeps what the handset has.
TEST_F(CliSessionTest, PutNoClobberPassesOverWhatTheHandsetHas) {
  WriteFile(root_ / "Kept.txt", "old");
  StartHandset();
  WriteFile(dir_.path() + "/local/kept.txt", "new");
  WriteFile(dir_.path() + "/local/fresh.txt", "fresh");
  const Result kept = Cli({"put", "--no-clobber", dir_.path() + "/local/kept.txt", dir_.path() + "/local/fresh.txt"});
  EXPECT_EQ(kept.status, kExitOk) << kept.err;
  EXPECT_NE(kept.err.find("passed over"), std::string::npos) << kept.err;
  EXPECT_EQ(ReadFile(root_ / "Kept.txt"), "old");
  EXPECT_EQ(ReadFile(root_ / "fresh.txt"), "fresh");
  EXPECT_EQ(Count("PUT_FILE"), 1u);
  const Result replaced = Cli({"put", dir_.path() + "/local/kept.txt"});
  EXPECT_EQ(replaced.status, kExitOk) << replaced.err;
  EXPECT_EQ(Cli({"list", "kept.txt"}).status, kExitOk);
  EXPECT_EQ(Cli({"get", "--no-clobber", "x"}).status, kExitUsage);
}

TEST_F(CliSessionTest, PutSendsFilesWithTheUploadAttributesAndShowsProgress) {
  StartHandset();
  const std::string big = dir_.path() + "/local/big.bin";
  WriteFile(big, PatternBytes(2500));
  WriteFile(dir_.path() + "/local/表.txt", "hyou");
  options_.progress = true;
  const Result r = Cli({"put", big, dir_.path() + "/local/表.txt"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(root_ / "big.bin"), PatternBytes(2500));
  EXPECT_EQ(ReadFile(root_ / "表.txt"), "hyou");
  const auto commands = handset_->Commands();
  // Protection and copy guard off, the wire's first two flags.
  EXPECT_NE(std::find(commands.begin(), commands.end(), "PUT_FILE[big.bin,2500,00" + std::string(30, '-') + "]"),
            commands.end());
  // One progress state per data frame, the line cleared at the end.
  for (const char* shown : {": 1,024 / 2,500 B", ": 2,048 / 2,500 B", ": 2,500 / 2,500 B"})
    EXPECT_NE(r.err.find(big + shown), std::string::npos) << shown;
  EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K");
  EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
  EXPECT_TRUE(EndedCleanly());
  EXPECT_EQ(Count("GET_LIST"), 0u);
  const Result listed = Cli({"list", "big.bin"});
  EXPECT_NE(listed.out.find("\tOFF\tOFF\n"), std::string::npos) << listed.out;
}

TEST_F(CliSessionTest, PutFailuresAreNamedAndNothingBadIsSent) {
  StartHandset();
  const std::string local = dir_.path() + "/local/";
  WriteFile(local + "locked.txt", "overwrite?");
  WriteFile(local + "a\\b.txt", "would make a folder");
  WriteFile(local + "ok.txt", "fine");
  fs::create_directories(local + "folder");
  ASSERT_EQ(mkfifo((local + "fifo").c_str(), 0600), 0);  // opened without waiting for a writer
  const Result r = Cli({"put", local + "missing.txt", local + "folder", local + "fifo", local + "a\\b.txt",
                        local + "locked.txt", local + "ok.txt"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("put " + local + "missing.txt: no such file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("put " + local + "folder: not a regular file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("put " + local + "fifo: not a regular file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("put " + local + "a\\b.txt: the file name holds \"\\\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("put " + local + "locked.txt: the handset answered \"REJ\""), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(root_ / "locked.txt"), "keep me");
  EXPECT_EQ(ReadFile(root_ / "ok.txt"), "fine");
  EXPECT_EQ(Count("PUT_FILE"), 2u);  // locked.txt and ok.txt only
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, AnUploadTheHandsetRefusesMidwayIsNamed) {
  StartHandset();
  handset_->NakUploadFrame(2);
  const std::string big = dir_.path() + "/big.bin";
  WriteFile(big, PatternBytes(3000));
  const Result r = Cli({"put", big});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("refused the file data"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(root_ / "big.bin"));
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, PutToAFolderAndLocalProblemsFoundBeforeConnecting) {
  StartHandset();
  const std::string local = dir_.path() + "/local/";
  Result r = Cli({"put", local + "missing.txt", local + "also-missing.txt"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("also-missing.txt: no such file"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("REJ"), std::string::npos) << r.err;
  EXPECT_TRUE(handset_->Commands().empty());  // not even connected

  r = Cli({"put", "--to", "pics/../..", local + "x.txt"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_TRUE(handset_->Commands().empty());

  WriteFile(local + "x.txt", "into pics");
  r = Cli({"put", "--to", "pics\\new", local + "x.txt"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(root_ / "pics" / "new" / "x.txt"), "into pics");
}

// ---- backup --------------------------------------------------------------

TEST_F(CliSessionTest, BackupKeepsDatesFetchesOnlyWhatIsMissingAndSurvivesAHangUp) {
  WriteFile(root_ / ".handset-attributes", "");  // no copy guard: everything may be fetched
  WriteFile(root_ / "#T#" / "t.txt", "tagged");
  for (int i = 0; i < 4; ++i) WriteFile(root_ / "more" / ("m" + std::to_string(i)), PatternBytes(2500 + i));
  const std::vector<std::string> files = {"a.txt", "pics/b.bin", "写真.jpg", "locked.txt", "guarded.txt", "#T#/t.txt",
                                          "more/m0", "more/m1", "more/m2", "more/m3"};
  const std::string backup = dir_.path() + "/backup";
  auto all_copied = [&] {
    for (const std::string& f : files) {
      EXPECT_EQ(ReadFile(backup + "/" + f), ReadFile(root_ / f)) << f;
      // The handset's minute, as the copy's date.
      const auto minute = [](const fs::path& p) {
        struct stat st {};
        stat(p.c_str(), &st);
        return st.st_mtime / 60 * 60;
      };
      struct stat copy {};
      ASSERT_EQ(stat((backup + "/" + f).c_str(), &copy), 0) << f;
      EXPECT_EQ(copy.st_mtime, minute(root_ / f)) << f;
    }
  };

  // A hang-up in the middle of more/m1's first data frame; the list runs
  // #T#, a, guarded, locked, more/m0, more/m1, ...
  StartHandset();
  std::promise<void> cut;
  OnCommand([&](const std::string& command) {
    if (command.rfind("GET_FILE", 0) == 0 && command.find("m1") != std::string::npos) {
      handset_->SilenceFrom(100, 2);
      cut.set_value();
    }
  });
  std::thread hang([&] {
    cut.get_future().wait();
    handset_->HangUp();
  });
  Result r = Cli({"backup", backup});
  hang.join();
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.out.find("backup: 5 fetched, 0 skipped, 5 failed"), std::string::npos) << r.out << r.err;
  std::size_t files_left = 0;
  for (const auto& e : fs::recursive_directory_iterator(backup)) files_left += e.is_regular_file();
  EXPECT_EQ(files_left, 5u);  // whole files only
  EXPECT_FALSE(fs::exists(backup + "/more/m1"));

  OnCommand(nullptr);
  StartHandset();
  r = Cli({"backup", backup});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("backup: 5 fetched, 5 skipped, 0 failed"), std::string::npos) << r.out;
  all_copied();

  handset_->ClearLog();
  r = Cli({"backup", backup});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("backup: 0 fetched, 10 skipped, 0 failed, 0 B"), std::string::npos) << r.out;
  EXPECT_EQ(Count("GET_LIST"), 1u);
  EXPECT_EQ(Count("GET_FILE"), 0u);
  all_copied();
}

TEST_F(CliSessionTest, BackupFetchesAgainACopyWhoseContentAndDateChangedButNotItsSize) {
  WriteFile(root_ / ".handset-attributes", "");
  const std::string backup = dir_.path() + "/backup";
  StartHandset();
  ASSERT_EQ(Cli({"backup", backup}).status, kExitOk);
  WriteFile(root_ / "a.txt", "ALPHA");
  fs::last_write_time(root_ / "a.txt", fs::last_write_time(root_ / "a.txt") - hours(2));
  const Result r = Cli({"backup", backup});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.out.find("backup: 1 fetched, 4 skipped, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(backup + "/a.txt"), "ALPHA");
}

TEST_F(CliSessionTest, BackupCountsACopyThatNeverReachedTheDiskAsFailed) {
  WriteFile(root_ / ".handset-attributes", "");
  const std::string backup = dir_.path() + "/backup";
  WriteFile(backup + "/a.txt/in-the-way", "x");  // the rename over it fails
  StartHandset();
  const Result r = Cli({"backup", backup});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.out.find("backup: 4 fetched, 0 skipped, 1 failed"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("backup a.txt: fetched, but not written"), std::string::npos) << r.err;
}

TEST_F(CliSessionTest, BackupCountsAListLineItCannotReadAsAFailure) {
  WriteFile(root_ / ".handset-attributes", "");
  // Listed with a size no list record can hold; sparse, so it costs nothing.
  WriteFile(root_ / "huge.bin", "");
  fs::resize_file(root_ / "huge.bin", 3ull << 30);
  StartHandset();
  const Result r = Cli({"backup", dir_.path() + "/backup"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.out.find("backup: 5 fetched, 0 skipped, 1 failed"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("unreadable list line: huge.bin,3221225472,"), std::string::npos) << r.err;
}

TEST_F(CliSessionTest, BackupDoesNotFollowASubFolderReplacedByALink) {
  WriteFile(root_ / ".handset-attributes", "");
  const std::string backup = dir_.path() + "/backup", elsewhere = dir_.path() + "/elsewhere";
  StartHandset();
  ASSERT_EQ(Cli({"backup", backup}).status, kExitOk);
  fs::create_directories(elsewhere);
  fs::remove_all(backup + "/pics");
  fs::create_directory_symlink(elsewhere, backup + "/pics");
  const Result r = Cli({"backup", backup});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("backup pics\\b.bin: cannot make its folder: a file or link named pics is in the way"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

// ---- waits and endings ---------------------------------------------------

TEST_F(CliSessionTest, AListingWhoseEndIsRefusedStillSucceedsWithAWarning) {
  StartHandset();
  handset_->SetReply("FT_END", "ERROR");
  const Result r = Cli({"list", "a.txt"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out.substr(0, 6), "a.txt\t");
  EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
}

TEST_F(CliSessionTest, ALongWaitOnATerminalSaysWhatForAndHowLongAtMost) {
  StartHandset();
  options_.progress = true;
  options_.wait_notice_ms = 100;
  OnCommand([&](const std::string& command) {
    if (command.rfind("DEL", 0) == 0) handset_->SilenceFrom(0, 1);
  });
  const Result r = Cli({"del", "a.txt"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("waiting for the handset (DEL a.txt), at most 2 s"), std::string::npos) << r.err;
}

// ---- del -----------------------------------------------------------------

TEST_F(CliSessionTest, DelRemovesFilesAndNamesRefusals) {
  StartHandset();
  const Result r = Cli({"del", "locked.txt", "missing.txt", "pics\\b.bin", "a.txt"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("del locked.txt: the handset answered \"REJ\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("del missing.txt: the handset answered \"ERROR\""), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(root_ / "locked.txt"));
  EXPECT_FALSE(fs::exists(root_ / "pics" / "b.bin"));
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));
  EXPECT_TRUE(EndedCleanly());
}

TEST_F(CliSessionTest, ALineThatHangsUpBreaksTheRunOff) {
  StartHandset();
  OnCommand([&](const std::string& command) {
    if (command.rfind("DEL", 0) == 0) handset_->SilenceFrom(0, 1);
  });
  const Result r = Cli({"del", "a.txt", "写真.jpg"});
  EXPECT_EQ(r.status, kExitFileFailed);
  EXPECT_NE(r.err.find("del a.txt: the exchange with the handset broke off"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("del 写真.jpg: not tried"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(root_ / "写真.jpg"));
}

TEST_F(CliSessionTest, APortThatDoesNotOpenNamesTheDeviceAndTheFix) {
  // A device owned by a group the user is not in, as the access check sees it.
  const std::string device = dir_.path() + "/ttyFAKE0";
  WriteFile(device, "");
  if (chown(device.c_str(), static_cast<uid_t>(-1), 54321) != 0) GTEST_SKIP() << "cannot give the device a group";
  SetPortAccessCheck([](const std::string&) { return EACCES; });
  Result r = CliRaw({"--port", device, "list"});
  SetPortAccessCheck(nullptr);
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("cannot open the port " + device + " (" + device + "): Permission denied"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(device + " belongs to the group 54321, which you are not in"), std::string::npos) << r.err;

  // Held by a program of the user's: named.
  StartHandset();
  const int fd = open(handset_->DevicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  r = Cli({"list"});
  close(fd);
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("is in use by "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(pid " + std::to_string(getpid()) + ")"), std::string::npos) << r.err;
}

// ---- signals -------------------------------------------------------------

TEST_F(CliSessionTest, ASignalEndsTheSessionWithFtEndAndLeavesOnlyWholeFiles) {
  const std::string backup = dir_.path() + "/backup", local = dir_.path() + "/local/";
  WriteFile(local + "one.txt", "one");
  WriteFile(local + "two.txt", "two");
  auto files_in = [](const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder))
      if (!e.is_directory()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  struct Case {
    int signal;
    std::vector<std::string> args;
    std::string cut;       // the command the handset breaks off, for the signal to come in
    int frame;             // its frame that stops short (1: the reply)
    std::size_t asked;     // commands of that kind the handset saw
    std::function<void()> check;
  };
  const std::vector<Case> cases = {
      {SIGINT, {"get", "pics\\b.bin", "a.txt", "-o", out_dir_}, "GET_FILE[pics", 3, 1,
       [&] { EXPECT_TRUE(files_in(out_dir_).empty()); }},
      // guarded.txt is refused (copy guard); the copies fetched stay whole.
      {SIGTERM, {"backup", backup}, "GET_FILE[pics", 3, 4,
       [&] {
         EXPECT_EQ(files_in(backup), (std::vector<std::string>{"a.txt", "locked.txt"}));
         EXPECT_EQ(ReadFile(backup + "/locked.txt"), "keep me");
       }},
      {SIGINT, {"del", "a.txt", "写真.jpg"}, "DEL[a.txt", 1, 1, [&] { EXPECT_TRUE(fs::exists(root_ / "写真.jpg")); }},
      {SIGTERM, {"put", local + "one.txt", local + "two.txt"}, "PUT_FILE[one", 1, 1,
       [&] { EXPECT_FALSE(fs::exists(root_ / "two.txt")); }},
      // FT_START may have opened the session: it is ended too.
      {SIGINT, {"list"}, "FT_START", 1, 1, [&] { EXPECT_EQ(Count("GET_LIST"), 0u); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    StartHandset();
    OnCommand([&](const std::string& command) {
      if (command.rfind(c.cut, 0) == 0) handset_->SilenceFrom(c.frame == 1 ? 0 : 500, c.frame);
    });
    std::vector<std::string> args{"--port", handset_->DevicePath()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliProcess cli(args);
    ASSERT_TRUE(cli.Started());
    ASSERT_TRUE(handset_->WaitForCommand(c.cut, seconds(10)));
    const auto signalled = steady_clock::now();
    cli.Signal(c.signal);
    const auto [status, err] = cli.Wait(seconds(20));
    // Well inside the 5 s the run would otherwise wait for the handset.
    EXPECT_LT(steady_clock::now() - signalled, seconds(3));
    EXPECT_EQ(status, 128 + c.signal) << err;
    EXPECT_NE(err.find(std::string("interrupted by ") + (c.signal == SIGINT ? "SIGINT" : "SIGTERM")), std::string::npos)
        << err;
    EXPECT_TRUE(EndedCleanly()) << err;
    EXPECT_EQ(Count(c.cut.substr(0, c.cut.find('['))), c.asked);
    c.check();
    OnCommand(nullptr);
  }
}

// ---- ports ---------------------------------------------------------------

TEST_F(CliSessionTest, PortsPrintsOneLinePerPortThatOpened) {
  StartHandset();
  sim::HandsetOptions other;
  other.vendor = "ACME";
  other.model = "TQ-R5102K";
  sim::SimHandset stranger(root_, other);
  dir_.LinkPort(3, handset_->DevicePath());
  dir_.LinkPort(12, stranger.DevicePath());
  dir_.LinkPort(7, dir_.path() + "/gone");  // a link to nothing opens nothing
  const Result r = CliRaw({"ports"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "COM3 : ZQR - TQ-R5101K\nCOM12 : Unknown\n");
}

}  // namespace
