// The mount's run: the background process, the session and the kernel's
// side of the mount, whose callbacks hand every operation to HandsetMount.
#define FUSE_USE_VERSION 31
#include "cli/cli_mount.h"

#include <fcntl.h>
#include <fuse.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_mount_ops.h"
#include "cli/cli_mount_store.h"
#include "core/paths.h"

extern char** environ;

namespace mirvo::cli {
namespace {

HandsetMount& Mounted() { return *static_cast<HandsetMount*>(fuse_get_context()->private_data); }

void* Init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 0;
  config->negative_timeout = 0;
  // Sizes and dates change under the mount's own operations, or when a
  // fetch finds a file changed, which Open tells the kernel.
  config->attr_timeout = 1;
  config->entry_timeout = 1;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) { return Mounted().GetAttr(path, *st); }

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  std::vector<std::pair<std::string, struct stat>> entries;
  if (const int e = Mounted().ReadDir(path, entries); e != 0) return e;
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const auto& [name, st] : entries) fill(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{});
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  std::uint64_t handle = 0;
  bool fetched = false;
  const int e = Mounted().Open(path, fi->flags, handle, fetched);
  fi->fh = handle;
  // Reads would end at the listed size the kernel still holds, though the
  // file may have grown since or the list understated it. Without a write
  // cache there are no dirty pages for this to wait on.
  if (e == 0 && fetched) fuse_invalidate_path(fuse_get_context()->fuse, path);
  return e;
}

int Create(const char* path, mode_t, fuse_file_info* fi) {
  std::uint64_t handle = 0;
  const int e = Mounted().Create(path, handle);
  fi->fh = handle;
  return e;
}

int Read(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
  return Mounted().Read(fi->fh, buffer, size, offset);
}

int Write(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info* fi) {
  return Mounted().Write(fi->fh, data, size, offset);
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  return Mounted().Truncate(path, size, fi ? &fi->fh : nullptr);
}

int Flush(const char*, fuse_file_info* fi) { return Mounted().Flush(fi->fh); }
int Release(const char*, fuse_file_info* fi) { return Mounted().Release(fi->fh); }
int Unlink(const char* path) { return Mounted().Unlink(path); }

int Rename(const char* from, const char* to, unsigned int flags) {
  // Neither an exchange of two names nor a guarded replace can be made of
  // a send and a delete.
  if (flags != 0) return -EINVAL;
  return Mounted().Rename(from, to);
}

int MakeFolder(const char* path, mode_t) { return Mounted().MakeFolder(path); }
int RemoveFolder(const char* path) { return Mounted().RemoveFolder(path); }
int ChangeMode(const char* path, mode_t, fuse_file_info*) { return Mounted().ChangeMode(path); }
int ChangeOwner(const char* path, uid_t, gid_t, fuse_file_info*) { return Mounted().ChangeMode(path); }
int SetTimes(const char* path, const struct timespec times[2], fuse_file_info*) {
  return Mounted().SetTimes(path, times);
}
int StatFs(const char*, struct statvfs* st) { return Mounted().StatFs(*st); }

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.flush = Flush;
  ops.release = Release;
  ops.unlink = Unlink;
  ops.rename = Rename;
  ops.mkdir = MakeFolder;
  ops.rmdir = RemoveFolder;
  ops.chmod = ChangeMode;
  ops.chown = ChangeOwner;
  ops.utimens = SetTimes;
  ops.statfs = StatFs;
  return ops;
}

// fusermount3 -u (with lazy: -z) on the folder; false with why.
bool UnmountFolder(const std::string& mountpoint, bool lazy, std::string& why) {
  std::vector<std::string> words = {"fusermount3", lazy ? "-uz" : "-u", "--", mountpoint};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "fusermount3", nullptr, nullptr, argv.data(), environ) != 0) {
    why = "cannot run fusermount3 (install fuse3)";
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "fusermount3 could not unmount " + mountpoint;
    return false;
  }
  return true;
}

// Ctrl+C, a hang-up of the terminal or a polite kill unmounts the folder,
// which ends the mount's loop as any unmount does. The signals are taken
// by a thread of its own, since the loop's threads wait in the kernel
// where a signal does not reach them.
class SignalWatch {
 public:
  explicit SignalWatch(std::string mountpoint) : mountpoint_(std::move(mountpoint)) {
    sigemptyset(&signals_);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals_, s);
    // The loop's threads are started later by this one and inherit the mask.
    pthread_sigmask(SIG_BLOCK, &signals_, &saved_);
    thread_ = std::thread([this] { Watch(); });
  }
  ~SignalWatch() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  void Watch() {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals_, &signal) != 0 || signal == SIGUSR1) return;
      std::string why;
      UnmountFolder(mountpoint_, true, why);
    }
  }

  std::string mountpoint_;
  sigset_t signals_{};
  sigset_t saved_{};
  std::thread thread_;
};

// A limit on file sizes must fail the store's writes (EFBIG), which the
// mount reports and survives, instead of killing the mount and leaving its
// folder cut off. Put back as it was when the run ends.
class FileLimitSignalIgnored {
 public:
  FileLimitSignalIgnored() {
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &saved_);
  }
  ~FileLimitSignalIgnored() { ::sigaction(SIGXFSZ, &saved_, nullptr); }
  FileLimitSignalIgnored(const FileLimitSignalIgnored&) = delete;
  FileLimitSignalIgnored& operator=(const FileLimitSignalIgnored&) = delete;

 private:
  struct sigaction saved_{};
};

// Tells the waiting parent how the mount went, once.
class ReadyPipe {
 public:
  explicit ReadyPipe(int fd = -1) : fd_(fd) {}
  ~ReadyPipe() { Tell(kExitUsage); }
  ReadyPipe(const ReadyPipe&) = delete;
  ReadyPipe& operator=(const ReadyPipe&) = delete;
  void Hold(int fd) { fd_ = fd; }
  void Tell(int status) {
    if (fd_ < 0) return;
    const char byte = static_cast<char>(status);
    while (::write(fd_, &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The parent waits for the child's word and exits with it; the child goes
// on with the run, in a session of its own. -1 in the child.
int GoToBackground(ReadyPipe& ready, std::ostream& err) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    err << kProgram << ": cannot go to the background\n";
    return kExitUsage;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    err << kProgram << ": cannot go to the background\n";
    return kExitUsage;
  }
  if (child > 0) {
    ::close(fds[1]);
    char status = kExitUsage;
    ssize_t n;
    while ((n = ::read(fds[0], &status, 1)) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    return n == 1 ? status : kExitUsage;
  }
  ::close(fds[0]);
  ::setsid();
  ready.Hold(fds[1]);
  return -1;
}

// Standard streams to /dev/null once nobody waits on them.
void DetachStreams() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
  ::close(null);
}

int Serve(CliRun& run, const std::string& mountpoint, const std::string& port_name, const std::string& password,
          bool foreground, ReadyPipe& ready) {
  const FileLimitSignalIgnored file_limit;
  MountStore store;
  std::string why;
  if (!store.Open(StagingDirPath(), why)) {
    run.Error("cannot make the mount's private folder: " + why);
    return kExitUsage;
  }
  Session session(run.options.timeouts);
  if (!OpenSession(session, port_name, password, run)) return kExitUsage;
  int status = kExitOk;
  {
    HandsetMount mount(session, run, store);
    if (!mount.FetchTree(why)) {
      run.Error(why);
      session.End();
      return kExitUsage;
    }
    std::vector<std::string> words = {kProgram, "-o", "fsname=mirvo,subtype=mirvo"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const fuse_operations ops = Operations();
    fuse* mounted = fuse_new(&args, &ops, sizeof ops, &mount);
    fuse_opt_free_args(&args);  // what the library added to them
    if (!mounted || fuse_mount(mounted, mountpoint.c_str()) != 0) {
      run.Error("cannot mount at " + mountpoint + " (is /dev/fuse there, and fusermount3 installed?)");
      if (mounted) fuse_destroy(mounted);
      session.End();
      return kExitUsage;
    }
    {
      SignalWatch signals(mountpoint);
      ready.Tell(kExitOk);
      if (!foreground) DetachStreams();
      if (fuse_loop_mt(mounted, 0) != 0) status = kExitFileFailed;
    }
    fuse_unmount(mounted);
    fuse_destroy(mounted);
  }
  if (!session.End() && !session.ended) {
    run.Error("the session did not end cleanly (FT_END)");
    status = kExitFileFailed;
  }
  return status;
}

}  // namespace

int RunMount(const CliArgs& args, std::ostream& out, std::ostream& err, const CliOptions& options) {
  char resolved[PATH_MAX];
  struct stat st{};
  const std::string& given = args.operands.front();
  if (!::realpath(given.c_str(), resolved) || ::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    err << kProgram << ": " << given << ": no such folder to mount at\n";
    return kExitUsage;
  }
  std::string port_name, password, why;
  if (!ReadConnectionSettings(args, port_name, password, why)) {
    err << kProgram << ": " << why << "\n";
    return kExitUsage;
  }
  ReadyPipe ready;
  if (!args.foreground) {
    if (const int status = GoToBackground(ready, err); status >= 0) return status;
  }
  int status = kExitOk;
  {
    Progress progress(err, false);
      WaitWatch watch(progress, std::chrono::milliseconds(options.wait_notice_ms));
    CliRun run{out, options, progress, watch};
    status = Serve(run, resolved, port_name, password, args.foreground, ready);
  }
  ready.Tell(status);
  return status;
}

int RunUnmount(const CliArgs& args, std::ostream& err) {
  std::string why;
  if (UnmountFolder(args.operands.front(), false, why)) return kExitOk;
  err << kProgram << ": " << why << "\n";
  return kExitFileFailed;
}

}  // namespace mirvo::cli
