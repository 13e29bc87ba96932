#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/single_instance.h"
#include "core/paths.h"

namespace mirvo::app {
// The runtime folder, else the staging folder's parent: both per user.
std::string InstanceDir() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
  std::string dir = StagingDirPath();  // ".../ZQR/mirvo/"
  dir.resize(dir.size() - std::string_view("/mirvo/").size());
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ec);
  ::mkdir(dir.c_str(), 0700);
  return dir;
}

bool PrivateToUser(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Acquire() {
  const std::string path = InstanceDir() + "/Mirvo.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return true;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd_);
  fd_ = -1;
  return !held;
}

}  // namespace mirvo::app
