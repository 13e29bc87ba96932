#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "serial/port_lock.h"

namespace mirvo::serial_internal {
namespace {

// Lines are character devices; Unix98 pseudo-terminal slaves are left
// out: nobody locks those, and the handset simulator holds their other ends.
bool MayBeLocked(const std::string& path) {
  if (path.rfind("/dev/pts/", 0) == 0) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return major(st.st_rdev) < 136 || major(st.st_rdev) > 143;
}

// The PID in a lock file; nullopt when the file holds neither form.
std::optional<pid_t> ReadOwner(int fd) {
  char text[32] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  const auto textual = [&] {
    for (ssize_t i = 0; i < n; ++i) {
      if (!(text[i] == ' ' || text[i] == '\n' || (text[i] >= '0' && text[i] <= '9'))) return false;
    }
    return true;
  };
  if (n == static_cast<ssize_t>(sizeof(int)) && !textual()) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    if (binary > 0) return binary;
  }
  if (n <= 0) return std::nullopt;
  const char* p = text;
  const char* end = text + n;
  while (p < end && *p == ' ') ++p;
  pid_t pid = 0;
  const auto [rest, ec] = std::from_chars(p, end, pid);
  if (ec != std::errc() || rest == p || pid <= 0) return std::nullopt;
  if (rest != end && *rest != '\n' && *rest != ' ') return std::nullopt;
  return pid;
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

std::string LockFileName(const std::string& folder, const std::string& device_path) {
  const std::size_t slash = device_path.find_last_of('/');
  return folder + "/LCK.." + device_path.substr(slash == std::string::npos ? 0 : slash + 1);
}

enum class Existing { kNone, kStale, kHeld };

Existing LookAt(const std::string& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Existing::kNone : Existing::kHeld;
  const auto pid = ReadOwner(fd);
  close(fd);
  if (!pid) return Existing::kHeld;
  return Alive(*pid) ? Existing::kHeld : Existing::kStale;
}

}  // namespace

bool ProcessRuns(long pid) { return Alive(static_cast<pid_t>(pid)); }

long FlockHolder(const struct stat& device) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string index, kind, mode, access, where;
    long pid = 0;
    if (!(fields >> index >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
    unsigned major_no = 0, minor_no = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_no, &minor_no, &inode) != 3) continue;
    if (inode == device.st_ino && makedev(major_no, minor_no) == device.st_dev) return pid;
  }
  return 0;
}

LockFileOwner ReadLockFile(const std::string& folder, const std::string& device_path) {
  if (folder.empty() || !MayBeLocked(device_path)) return {};
  LockFileOwner owner{LockFileName(folder, device_path), std::nullopt};
  const int fd = open(owner.file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // One that is there but cannot be read still keeps the line from us.
    if (errno == ENOENT || errno == ENOTDIR) owner.file.clear();
    return owner;
  }
  if (const auto pid = ReadOwner(fd)) owner.pid = *pid;
  close(fd);
  return owner;
}

bool PortLock::Take(const std::string& folder, const std::string& device_path) {
  Release();
  if (folder.empty() || !MayBeLocked(device_path)) return true;
  const std::string file = LockFileName(folder, device_path);

  // Twice at most: once more after removing a dead process's lock.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
      const bool written = write(fd, text, static_cast<std::size_t>(len)) == len;
      close(fd);
      if (!written) {
        unlink(file.c_str());
        return true;  // a full disk keeps no one from the line
      }
      file_ = file;
      return true;
    }
    if (errno != EEXIST) {
      // Not ours to write; still honour what others left there.
      return LookAt(file) != Existing::kHeld;
    }
    switch (LookAt(file)) {
      case Existing::kHeld: return false;
      case Existing::kStale: unlink(file.c_str()); break;
      case Existing::kNone: break;  // removed meanwhile
    }
  }
  return false;
}

void PortLock::Release() {
  if (file_.empty()) return;
  const int fd = open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    const auto pid = ReadOwner(fd);
    close(fd);
    if (pid && *pid == getpid()) unlink(file_.c_str());
  }
  file_.clear();
}

}  // namespace mirvo::serial_internal
