#include "cli/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace mirvo::cli {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void Adopt(int fd) {
    Reset();
    fd_ = fd;
  }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false when close reported an error (a lost write).
  bool Reset() {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool MakeOutputDir(const std::string& dir, std::string& why) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) {
    why = "cannot make the folder " + dir + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  return true;
}

bool WriteFileInDir(const std::string& dir, const std::string& name, std::string_view data, std::string& why) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    why = "not a plain file name";
    return false;
  }
  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd.valid()) {
    why = Errno("cannot open the folder");
    return false;
  }

  std::random_device seed;
  std::string temp;
  UniqueFd file;
  for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
    temp = ".mirvo-cli-" + std::to_string(::getpid()) + "-" + std::to_string(seed() % 1000000);
    file.Adopt(::openat(dir_fd.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid() && errno != EEXIST) break;
  }
  if (!file.valid()) {
    why = Errno("cannot create a file in the folder");
    return false;
  }

  bool ok = true;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(file.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = Errno("cannot write");
      ok = false;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (ok && ::fsync(file.get()) != 0) {
    why = Errno("cannot write");
    ok = false;
  }
  if (!file.Reset() && ok) {
    why = Errno("cannot write");
    ok = false;
  }
  if (ok && ::renameat(dir_fd.get(), temp.c_str(), dir_fd.get(), name.c_str()) != 0) {
    why = Errno("cannot put the file in place");
    ok = false;
  }
  if (!ok) ::unlinkat(dir_fd.get(), temp.c_str(), 0);
  return ok;
}

}  // namespace mirvo::cli
