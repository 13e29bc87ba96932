// mirvo-cli mount against the simulated handset: the mounted folder driven
// by the usual tools (ls, cp, mv, rm, rsync), in-process so that time-outs
// can be short. Skipped, with the reason, where nothing can be mounted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "cli/cli_format.h"
#include "cli/cli_mount_tree.h"
#include "handset/sim_handset.h"
#include "mount_wait.h"
#include "protocol/list_records.h"
#include "pty_pair.h"
#include "test_files.h"

using namespace mirvo;
using namespace mirvo::cli;
using namespace std::chrono;
namespace fs = std::filesystem;
using mirvo::testing::PatternBytes;
using mirvo::testing::ReadFile;
using mirvo::testing::WriteFile;
using mirvo::testing::IsMountPoint;
using mirvo::testing::WaitForMount;

namespace {

const std::string kFlagsTail(30, '-');

// Why nothing can be mounted here; empty when something can.
std::string WhyNoMount() {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing or not usable";
  if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) return "fusermount3 is not installed";
  if (std::system("command -v rsync >/dev/null 2>&1") != 0) return "rsync is not installed";
  return {};
}

// A shell command's status and standard output.
struct Shell {
  int status;
  std::string out;
};
Shell RunShell(const std::string& command) {
  Shell r{-1, {}};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Unmounts even a mount that a file left open keeps busy, by cutting the
// kernel's connection to it, so a failing case never hangs the run.
void ForceUnmount(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) {
    std::ofstream("/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev)) + "/abort") << "1";
  }
  RunShell("fusermount3 -uz " + Quoted(path));
}

// An open that should fail; a descriptor it gives anyway is closed.
int OpenError(const std::string& path, int flags) {
  errno = 0;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// The time a handset file's list date stands for: its local modification
// time to the minute.
std::time_t ListedTime(const fs::path& file) {
  struct stat st{};
  ::stat(file.c_str(), &st);
  return st.st_mtime - st.st_mtime % 60;
}

// A variable set for one case. The case's folder, which it names, goes
// with the case, while the next case of the same program makes its own
// folder under the temporary folder, which TEMP also names.
class CaseEnv {
 public:
  explicit CaseEnv(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) old_ = value;
  }
  ~CaseEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  CaseEnv(const CaseEnv&) = delete;
  CaseEnv& operator=(const CaseEnv&) = delete;
  void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = WhyNoMount(); !why.empty()) GTEST_SKIP() << "cannot mount here: " << why;
    appdata_.Set(dir_.path());
    temp_.Set(dir_.path() + "/temp");
    // The C library reads the time zone once, before the handset's and the
    // mount's threads both ask for it.
    tzset();
    root_ = dir_.path() + "/handset";
    mnt_ = dir_.path() + "/mnt";
    fs::create_directories(mnt_);
    WriteFile(root_ / "a.txt", "alpha");
    WriteFile(root_ / "pics" / "b.bin", PatternBytes(3000));
    WriteFile(root_ / "pics" / "写真.jpg", "jpeg");
    WriteFile(root_ / "#MEMO#" / "notes" / "m.txt", "tagged");
    WriteFile(root_ / "locked.txt", "keep me");
    WriteFile(root_ / "guarded.txt", "no copies");
    WriteFile(root_ / ".handset-attributes",
              "locked.txt\t10" + kFlagsTail + "\nguarded.txt\t01" + kFlagsTail + "\n");
    options_.timeouts = {2000, 2000, 1000, 1000, 2000, 2000};
  }
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGTERM);
      ReapChild();
    }
    if (mount_thread_.joinable()) {
      if (IsMountPoint(mnt_) && RunShell("fusermount3 -u " + Quoted(mnt_)).status != 0) ForceUnmount(mnt_);
      mount_thread_.join();
    }
    if (handset_) handset_->HangUp();
    handset_.reset();
  }

  void StartHandset(sim::HandsetOptions o = {}) {
    o.wait = milliseconds(3000);
    o.on_command = [this](const std::string& command) {
      std::lock_guard lock(get_file_mutex_);
      if (command.rfind("GET_FILE", 0) != 0 || !get_file_seen_) return;
      get_file_seen_->set_value();
      get_file_seen_.reset();
    };
    handset_ = std::make_unique<sim::SimHandset>(root_, o);
  }

  // Mounts in the foreground on a thread of its own; true once mounted.
  bool Mount() {
    mount_thread_ = std::thread([this] {
      std::ostringstream out, err;
      status_ = RunCli({"mount", mnt_, "--port", handset_->DevicePath(), "--foreground"}, out, err, options_);
      errors_ = err.str();
    });
    return WaitForMount(mnt_, true, seconds(10));
  }
  // Unmounts and waits for the run to end: its exit status.
  int Unmount() {
    const Shell r = RunShell("fusermount3 -u " + Quoted(mnt_));
    EXPECT_EQ(r.status, 0) << r.out;
    if (r.status != 0) ForceUnmount(mnt_);
    mount_thread_.join();
    return status_;
  }
  // Starts the command itself, as a user would, in a child whose files may
  // grow to file_limit bytes at most; true once mounted.
  bool MountInChild(rlim_t file_limit = RLIM_INFINITY) {
    child_ = ::fork();
    if (child_ == 0) {
      const rlimit limit{file_limit, file_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(126);
      ::execl(MIRVO_CLI_PATH, "mirvo-cli", "mount", mnt_.c_str(), "--port", handset_->DevicePath().c_str(),
              "--foreground", static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    return child_ > 0 && WaitForMount(mnt_, true, seconds(10));
  }
  // Waits for the child's folder to be unmounted and the child to end: its
  // wait status, or -1 when the folder stayed mounted and was cut loose.
  int ReapChild() {
    const bool unmounted = WaitForMount(mnt_, false, seconds(10));
    if (!unmounted) {
      ForceUnmount(mnt_);
      ::kill(child_, SIGKILL);
    }
    int status = 0;
    ::waitpid(child_, &status, 0);
    child_ = -1;
    return unmounted ? status : -1;
  }
  bool HandsetHas(const std::string& command) {
    handset_->WaitFor([](const sim::HandsetState& s) { return !s.busy; }, seconds(5));
    for (const auto& c : handset_->Commands())
      if (c.rfind(command, 0) == 0) return true;
    return false;
  }
  std::string M(const std::string& relative) const { return mnt_ + "/" + relative; }

  CaseEnv appdata_{"APPDATA"};
  CaseEnv temp_{"TEMP"};
  mirvo::testing::TempDir dir_;
  fs::path root_;
  std::string mnt_;
  CliOptions options_;
  std::unique_ptr<sim::SimHandset> handset_;
  std::thread mount_thread_;
  pid_t child_ = -1;
  int status_ = -1;
  std::string errors_;
  std::mutex get_file_mutex_;  // the handset's thread answers the promise
  std::unique_ptr<std::promise<void>> get_file_seen_;
};

TEST_F(MountTest, TreeMatchesTheListAndCopiesOutByteExactWithDates) {
  StartHandset();
  ASSERT_TRUE(Mount());
  const Shell ls = RunShell("ls -lR " + Quoted(mnt_));
  EXPECT_EQ(ls.status, 0) << ls.out;
  // Every handset file, with its size and its list date; tagged files
  // under their tag's folder.
  for (const char* file : {"a.txt", "pics/b.bin", "pics/写真.jpg", "#MEMO#/notes/m.txt", "locked.txt"}) {
    struct stat st{};
    ASSERT_EQ(::stat(M(file).c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_size, static_cast<off_t>(fs::file_size(root_ / file))) << file;
    EXPECT_EQ(st.st_mtime, ListedTime(root_ / file)) << file;
    EXPECT_EQ(st.st_mode & 0777, std::string(file) == "locked.txt" ? 0444u : 0644u) << file;
  }
  EXPECT_EQ(fs::status(M("guarded.txt")).permissions() & fs::perms::owner_read, fs::perms::none);

  const std::string out = dir_.path() + "/out";
  ASSERT_EQ(RunShell("mkdir -p " + Quoted(out) + " && cp -r --preserve=timestamps " + Quoted(M("pics")) + " " +
                Quoted(M("#MEMO#")) + " " + Quoted(M("a.txt")) + " " + Quoted(out))
                .status,
            0);
  for (const auto& [local, handset] : std::vector<std::pair<std::string, std::string>>{
           {"pics/b.bin", "pics/b.bin"}, {"pics/写真.jpg", "pics/写真.jpg"}, {"#MEMO#/notes/m.txt", "#MEMO#/notes/m.txt"},
           {"a.txt", "a.txt"}}) {
    EXPECT_EQ(ReadFile(out + "/" + local), ReadFile(root_ / handset)) << local;
    EXPECT_EQ(ListedTime(out + "/" + local), ListedTime(root_ / handset)) << local;
  }
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
  EXPECT_TRUE(HandsetHas("FT_END"));
  // The private copies go with the mount.
  EXPECT_TRUE(fs::is_empty(dir_.path() + "/temp/ZQR/mirvo")) << "copies left behind";
}

// The kernel holds the size a listing gave for a while; a copy must not end
// there when the handset's file has grown since.
TEST_F(MountTest, AFileThatGrewSinceTheListIsCopiedWhole) {
  WriteFile(root_ / "grows.txt", "abc");
  StartHandset();
  ASSERT_TRUE(Mount());
  struct stat st{};
  ASSERT_EQ(::stat(M("grows.txt").c_str(), &st), 0);
  ASSERT_EQ(st.st_size, 3);
  WriteFile(root_ / "grows.txt", PatternBytes(25));
  const std::string out = dir_.path() + "/grows.txt";
  const Shell cp = RunShell("cp " + Quoted(M("grows.txt")) + " " + Quoted(out));
  EXPECT_EQ(cp.status, 0) << cp.out;
  EXPECT_EQ(ReadFile(out), PatternBytes(25));
  ASSERT_EQ(::stat(M("grows.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 25);
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
}

TEST_F(MountTest, WritesDeletesMovesAndFoldersReachTheHandset) {
  StartHandset();
  ASSERT_TRUE(Mount());
  const std::string local = dir_.path() + "/local.bin";
  WriteFile(local, PatternBytes(5000));
  ASSERT_EQ(RunShell("cp " + Quoted(local) + " " + Quoted(M("pics/new.bin"))).status, 0);
  EXPECT_EQ(ReadFile(root_ / "pics" / "new.bin"), PatternBytes(5000));
  EXPECT_EQ(fs::file_size(M("pics/new.bin")), 5000u);

  ASSERT_EQ(RunShell("rm " + Quoted(M("a.txt"))).status, 0);
  EXPECT_FALSE(fs::exists(root_ / "a.txt"));
  EXPECT_FALSE(fs::exists(M("a.txt")));

  // Across folders: mv copies and deletes.
  ASSERT_EQ(RunShell("mv " + Quoted(M("pics/b.bin")) + " " + Quoted(M("#MEMO#/notes/"))).status, 0);
  EXPECT_EQ(ReadFile(root_ / "#MEMO#" / "notes" / "b.bin"), PatternBytes(3000));
  EXPECT_FALSE(fs::exists(root_ / "pics" / "b.bin"));

  // A new folder lives in the mount until a file makes it real.
  ASSERT_EQ(::mkdir(M("new").c_str(), 0755), 0);
  EXPECT_TRUE(fs::is_directory(M("new")));
  ASSERT_EQ(RunShell("cp " + Quoted(local) + " " + Quoted(M("new/x.bin"))).status, 0);
  EXPECT_EQ(ReadFile(root_ / "new" / "x.bin"), PatternBytes(5000));
  EXPECT_TRUE(fs::is_directory(M("new")));  // after a fresh list too
  errno = 0;
  EXPECT_NE(::rmdir(M("new").c_str()), 0);
  EXPECT_EQ(errno, ENOTEMPTY);

  // What the handset cannot do or take.
  EXPECT_NE(::unlink(M("locked.txt").c_str()), 0);
  EXPECT_EQ(errno, EPERM);
  EXPECT_TRUE(fs::exists(root_ / "locked.txt"));
  EXPECT_EQ(OpenError(M("bad,name"), O_CREAT | O_WRONLY), EINVAL);
  EXPECT_NE(::rename(M("pics/写真.jpg").c_str(), M("new/写真.jpg").c_str()), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
}

TEST_F(MountTest, RsyncBothWaysFinishesAndASecondRunMovesNothing) {
  StartHandset();
  ASSERT_TRUE(Mount());
  const std::string src = dir_.path() + "/src";
  WriteFile(src + "/x.bin", PatternBytes(4000));
  WriteFile(src + "/d/y.txt", "why");
  ASSERT_EQ(RunShell("touch -d '2020-01-02 03:04:05' " + Quoted(src + "/x.bin")).status, 0);
  const std::string in = "rsync -a --stats " + Quoted(src + "/") + " " + Quoted(M("up/"));
  const Shell first = RunShell(in);
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(ReadFile(root_ / "up" / "x.bin"), PatternBytes(4000));
  EXPECT_EQ(ReadFile(root_ / "up" / "d" / "y.txt"), "why");
  const Shell again = RunShell(in);
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_NE(again.out.find("Number of regular files transferred: 0"), std::string::npos) << again.out;
  // No temporary name is left on the handset.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "up"), fs::directory_iterator()), 2);

  const std::string back = dir_.path() + "/back";
  const std::string out = "rsync -a --stats " + Quoted(M("pics/")) + " " + Quoted(back + "/");
  ASSERT_EQ(RunShell(out).status, 0);
  EXPECT_EQ(ReadFile(back + "/b.bin"), PatternBytes(3000));
  const Shell out_again = RunShell(out);
  EXPECT_NE(out_again.out.find("Number of regular files transferred: 0"), std::string::npos) << out_again.out;
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
}

TEST_F(MountTest, GuardedFilesAndRefusedUploadsFail) {
  StartHandset();
  ASSERT_TRUE(Mount());
  EXPECT_EQ(OpenError(M("guarded.txt"), O_RDONLY), EACCES);

  const std::string local = dir_.path() + "/local.txt";
  WriteFile(local, "refused");
  handset_->SetReply("PUT_FILE", "REJ");
  const Shell cp = RunShell("cp " + Quoted(local) + " " + Quoted(M("refused.txt")));
  EXPECT_NE(cp.status, 0);
  EXPECT_FALSE(fs::exists(M("refused.txt")));
  EXPECT_FALSE(fs::exists(root_ / "refused.txt"));
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
}

TEST_F(MountTest, TwoReadersAtOnceGetTheirBytes) {
  WriteFile(root_ / "big.bin", PatternBytes(300000));
  StartHandset();
  ASSERT_TRUE(Mount());
  auto read = [this] { return ReadFile(M("big.bin")); };
  auto first = std::async(std::launch::async, read);
  auto second = std::async(std::launch::async, read);
  EXPECT_EQ(first.get(), PatternBytes(300000));
  EXPECT_EQ(second.get(), PatternBytes(300000));
  EXPECT_EQ(Unmount(), kExitOk) << errors_;
}

TEST_F(MountTest, HangUpMidReadFailsWithEioAndUnmounts) {
  WriteFile(root_ / "slow.bin", PatternBytes(60000));
  sim::HandsetOptions paced;
  paced.bytes_per_second = 11520;
  StartHandset(paced);
  ASSERT_TRUE(Mount());
  std::future<void> seen;
  {
    std::lock_guard lock(get_file_mutex_);
    get_file_seen_ = std::make_unique<std::promise<void>>();
    seen = get_file_seen_->get_future();
  }
  auto reader = std::async(std::launch::async, [this] {
    const int fd = ::open(M("slow.bin").c_str(), O_RDONLY);
    const int error = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    return error;
  });
  ASSERT_EQ(seen.wait_for(seconds(10)), std::future_status::ready);
  handset_->HangUp();
  EXPECT_EQ(reader.get(), EIO);
  struct stat st{};
  EXPECT_NE(::stat(M("pics/b.bin").c_str(), &st), 0);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(Unmount(), -1);
  EXPECT_FALSE(IsMountPoint(mnt_));
}

TEST_F(MountTest, CtrlCInTheForegroundUnmountsAndEndsTheSession) {
  StartHandset();
  ASSERT_TRUE(MountInChild());
  EXPECT_TRUE(fs::exists(M("a.txt")));
  ::kill(child_, SIGINT);
  const int status = ReapChild();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitOk) << status;
  EXPECT_TRUE(HandsetHas("FT_END"));
}

// Data written into the mount and lost before it was sent: past what the
// private store may hold (here no file past 64 KiB, as on a full disk), by
// a size change past it, past the largest size the handset takes. The
// failing call and every close fail, the handset keeps the file it had,
// and the mount goes on.
TEST_F(MountTest, AWriteThatIsLostFailsTheCloseAndSendsNothing) {
  WriteFile(root_ / "good.bin", PatternBytes(300000));
  StartHandset();
  ASSERT_TRUE(MountInChild(65536));
  auto error_of = [](auto result) { return result < 0 ? errno : 0; };

  int fd = ::open(M("good.bin").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string data = PatternBytes(200000);
  int write_error = 0;
  for (std::size_t done = 0; done < data.size() && write_error == 0;) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    write_error = error_of(n);
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(write_error, EFBIG) << std::strerror(write_error);
  EXPECT_EQ(error_of(::close(fd)), EFBIG);

  fd = ::open(M("grown.bin").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(error_of(::ftruncate(fd, 200000)), EFBIG);
  EXPECT_EQ(error_of(::close(fd)), EFBIG);

  fd = ::open(M("a.txt").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(error_of(::pwrite(fd, "x", 1, off_t{1} << 31)), EFBIG);
  EXPECT_EQ(error_of(::close(fd)), EFBIG);

  EXPECT_FALSE(HandsetHas("PUT_FILE"));
  EXPECT_TRUE(ReadFile(root_ / "good.bin") == PatternBytes(300000))
      << "the handset's file is " << fs::file_size(root_ / "good.bin") << " bytes";
  EXPECT_FALSE(fs::exists(root_ / "grown.bin"));
  EXPECT_EQ(ReadFile(root_ / "a.txt"), "alpha");

  const std::string local = dir_.path() + "/small.txt";
  WriteFile(local, "small");
  const Shell cp = RunShell("cp " + Quoted(local) + " " + Quoted(M("small.txt")));
  EXPECT_EQ(cp.status, 0) << cp.out;
  EXPECT_EQ(ReadFile(root_ / "small.txt"), "small");
  RunShell("fusermount3 -u " + Quoted(mnt_));
  const int status = ReapChild();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitOk) << status;
}

// Names a handset may send that must never become a path outside the
// mount: they are left out of the tree.
TEST(MountTreeTest, HostileHandsetNamesAreLeftOut) {
  const std::string tail = ",1,2024/01/02/0304,00" + std::string(30, '-') + ",";
  MountTree tree;
  tree.Build({"..\xA5..\xA5" "evil" + tail, "a\xA5..\xA5" "b" + tail, "." + tail, "x/y" + tail, "#..#f" + tail,
              "#a\\b#c" + tail, "ctl\x01" + tail, "\xA5" "abs" + tail, "ok\xA5" "fine.txt" + tail,
              "ok\xA5" "fine.txt" + tail},
             0);
  EXPECT_EQ(tree.Skipped(), 8);
  ASSERT_NE(tree.Find("/ok/fine.txt"), nullptr);
  EXPECT_EQ(tree.Find("/ok/fine.txt")->handset_path, "ok\\fine.txt");
  // A tag of ".." is a folder named "#..#", never "..".
  ASSERT_NE(tree.Find("/#..#/f"), nullptr);
  EXPECT_EQ(tree.Find("/#..#/f")->handset_path, "#..#f");
  EXPECT_EQ(tree.Children("/").size(), 2u);
  EXPECT_EQ(tree.FileCount(), 2u);
}

}  // namespace
