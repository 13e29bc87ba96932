#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/single_instance.h"
#include "core/paths.h"
#include "core/private_folder.h"

namespace mirvo::app {

std::string InstanceDir() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && PrivateToUser(runtime))
    return runtime;
  std::string dir = StagingDirPath();  // ".../ZQR/mirvo/"
  dir.resize(dir.size() - std::string_view("/mirvo/").size());
  std::string why;
  const std::optional<PrivateFolder> folder = PrivateFolder::Open(dir, why);
  return folder ? folder->Path() : std::string();
}

bool PrivateToUser(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire() {
  const std::string dir = InstanceDir();
  if (dir.empty()) return true;
  const std::string path = dir + "/Mirvo.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return true;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || st.st_uid != ::geteuid() || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return true;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd_);
  fd_ = -1;
  return !held;
}

}  // namespace mirvo::app
