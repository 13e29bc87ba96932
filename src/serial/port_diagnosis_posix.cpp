#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "core/paths.h"
#include "core/unique_fd.h"
#include "serial/port_diagnosis.h"
#include "serial/port_lock.h"
#include "serial/port_names.h"

namespace mirvo {
namespace {

namespace fs = std::filesystem;

PortAccessCheck& AccessCheck() {
  static PortAccessCheck check;
  return check;
}

std::vector<std::string>& LockFolders() {
  static std::vector<std::string> folders;
  return folders;
}

int CheckAccess(const std::string& path) {
  if (AccessCheck()) return AccessCheck()(path);
  // access() reports what open() would meet for existence and permissions
  // without touching the device.
  return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::optional<std::string> DevicePath(const std::string& port_name) {
  if (auto path = ResolvePortName(port_name)) return path;
  // A link of the user's that leads nowhere resolves to nothing: name
  // where it leads.
  const auto n = ComPortNumber(port_name);
  if (!n) return std::nullopt;
  const std::string link = SettingsDir() + "ports/COM" + std::to_string(*n);
  std::error_code ec;
  const auto target = fs::read_symlink(link, ec);
  if (ec) return std::nullopt;
  return target.is_absolute() ? target.string() : (fs::path(link).parent_path() / target).string();
}

bool InProcessGroups(gid_t gid) {
  if (::getegid() == gid) return true;
  const int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = ::getgroups(n, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  return false;
}

std::string ProcessName(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return (name.empty() ? std::string("?") : name) + " (pid " + std::to_string(pid) + ")";
}

bool OwnedByUs(long pid) {
  struct stat st {};
  return ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == ::geteuid();
}

// A process of ours, other than this one, with the device open.
long OpenedBy(const struct stat& dev) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::stol(name);
    if (pid == ::getpid() || !OwnedByUs(pid)) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(entry.path() / "fd", fd_ec)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev) return pid;
    }
  }
  return 0;
}

// Whether the device is a terminal, as every serial line is. Only a
// character device can be one; one that does not open now (held
// exclusively) is taken for one, so that its holder can still be named.
bool MayBeTerminal(const std::string& path, const struct stat& st) {
  if (!S_ISCHR(st.st_mode)) return false;
  const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  return !fd.IsOpen() || ::isatty(fd.Get()) == 1;
}

bool Running(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

// The first lock file of the device, in the order the folders are given
// (/var/lock is often a link to /run/lock: one file, found once).
void LookForLockFile(PortOpenDiagnosis& d) {
  static const std::vector<std::string> kSystemFolders{"/var/lock", "/run/lock"};
  for (const std::string& folder : LockFolders().empty() ? kSystemFolders : LockFolders()) {
    const serial_internal::LockFileOwner owner = serial_internal::ReadLockFile(folder, d.device);
    if (owner.file.empty()) continue;
    d.lock_file = owner.file;
    d.lock_pid = owner.pid.value_or(0);
    // Any user's process: its name in /proc is for all to read.
    if (d.lock_pid != 0 && Running(d.lock_pid)) d.holder = ProcessName(d.lock_pid);
    d.lock_stale = d.lock_pid != 0 && d.holder.empty();
    return;
  }
}

}  // namespace

void SetPortAccessCheck(PortAccessCheck check) { AccessCheck() = std::move(check); }

void SetPortLockFolders(std::vector<std::string> folders) { LockFolders() = std::move(folders); }

PortOpenDiagnosis DiagnosePortOpen(const std::string& port_name) {
  PortOpenDiagnosis d;
  const auto path = DevicePath(port_name);
  if (!path) return d;
  d.device = *path;
  d.access_error = CheckAccess(d.device);
  struct stat st {};
  const bool known = ::stat(d.device.c_str(), &st) == 0;
  if (d.access_error == EACCES) {
    if (!known || InProcessGroups(st.st_gid)) return d;
    const group* g = ::getgrgid(st.st_gid);
    d.group = g ? g->gr_name : std::to_string(st.st_gid);
    if (const passwd* pw = g ? ::getpwuid(::geteuid()) : nullptr) {
      for (char** member = g->gr_mem; *member; ++member)
        if (std::strcmp(*member, pw->pw_name) == 0) d.listed_in_group = true;
    }
    return d;
  }
  if (d.access_error != 0 || !known) return d;
  // The lock file first: the port never opens a device that has one.
  LookForLockFile(d);
  if (!d.lock_file.empty()) return d;
  // Whoever else has /dev/null open holds no line.
  if (!MayBeTerminal(d.device, st)) {
    d.not_terminal = true;
    return d;
  }
  long pid = serial_internal::FlockHolder(st);
  if (pid != 0 && !OwnedByUs(pid)) pid = 0;
  if (pid == 0 && S_ISCHR(st.st_mode)) pid = OpenedBy(st);
  if (pid != 0) d.holder = ProcessName(pid);
  return d;
}

std::string PortOpenFailureReason(const std::string& port_name, const PortOpenDiagnosis& d) {
  if (d.device.empty()) return port_name + (ComPortNumber(port_name) ? ": no device" : ": no such port");
  const std::string head = port_name + " (" + d.device + "): ";
  if (d.access_error != 0) return head + std::strerror(d.access_error);
  if (d.not_terminal) return head + "not a serial port";
  if (d.lock_stale)
    return head + "locked by " + d.lock_file + ", whose process " + std::to_string(d.lock_pid) + " no longer runs";
  if (!d.lock_file.empty() && d.holder.empty()) return head + "locked by " + d.lock_file + ", which names no process";
  if (!d.lock_file.empty()) return head + "in use by " + d.holder + " (" + d.lock_file + ")";
  if (!d.holder.empty()) return head + "in use by " + d.holder;
  return head + "in use, or refused the line settings";
}

std::string PortOpenHint(const PortOpenDiagnosis& d, HintLanguage language) {
  const bool ja = language == HintLanguage::Japanese;
  if (!d.group.empty()) {
    if (d.listed_in_group)
      return ja ? d.device + " はグループ " + d.group + " のものです。このユーザーは登録済みですが、ログインし直すまで有効になりません。"
                : d.device + " belongs to the group " + d.group +
                      "; you were added to it after this login began: log in again";
    return ja ? d.device + " はグループ " + d.group + " のもので、このユーザーはそのグループに入っていません（sudo usermod -aG " +
                    d.group + " $USER の後、ログインし直してください）。"
              : d.device + " belongs to the group " + d.group + ", which you are not in: run \"sudo usermod -aG " +
                    d.group + " $USER\" and log in again";
  }
  if (d.lock_stale)
    return ja ? d.device + " のロックファイル " + d.lock_file + " は、もう動いていないプロセス (pid " +
                    std::to_string(d.lock_pid) + ") のものです。このファイルを削除すると使えます。"
              : d.lock_file + " locks " + d.device + " for process " + std::to_string(d.lock_pid) +
                    ", which no longer runs: remove that file";
  if (!d.lock_file.empty() && d.holder.empty())
    return ja ? d.device + " はロックファイル " + d.lock_file + " で使用中とされています。"
              : d.device + " is locked by " + d.lock_file;
  if (!d.holder.empty())
    return ja ? d.device + " は別のプログラム " + d.holder + " が使用中です。"
              : d.device + " is in use by " + d.holder;
  if (d.not_terminal)
    return ja ? d.device + " はシリアルポートではありません。" : d.device + " is not a serial port: name the handset's line, such as /dev/ttyUSB0";
  return {};
}

}  // namespace mirvo
