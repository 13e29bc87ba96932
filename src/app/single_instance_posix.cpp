#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "app/single_instance.h"

namespace mirvo::app {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string InstanceDir() {
  std::string dir = Env("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  dir = Env("TEMP");
  if (dir.empty()) dir = Env("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  dir += "/ZQR";
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
