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

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A new, empty file of a name of its own in the folder, and that name.
UniqueFd CreateTemporary(int dir_fd, std::string& temp) {
  std::random_device seed;
  UniqueFd file;
  for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    temp = ".mirvo-cli-" + std::to_string(::getpid()) + "-" + std::to_string(seed() % 1000000);
    file = UniqueFd(::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.IsOpen() && errno != EEXIST) break;
  }
  return file;
}

}  // namespace

bool MakeOutputDir(const std::string& dir, std::string& why) {
  namespace fs = std::filesystem;
  std::error_code made, seen;
  fs::create_directories(dir, made);
  const fs::file_status status = fs::status(dir, seen);
  if (fs::is_directory(status)) {
    // Tried now, by making a file there: a folder that takes none would
    // otherwise fail every file only after it has crossed the line.
    const UniqueFd dir_fd = OpenFolder(dir, why);
    std::string temp;
    const UniqueFd probe = dir_fd.IsOpen() ? CreateTemporary(dir_fd.Get(), temp) : UniqueFd();
    const int error = errno;
    if (probe.IsOpen()) {
      ::unlinkat(dir_fd.Get(), temp.c_str(), 0);
      return true;
    }
    why = "cannot write into the folder " + dir + ": " + std::strerror(error);
    return false;
  }
  // Say what is in the way: the path itself, or a part of it.
  if (fs::exists(status))
    why = "cannot make the folder " + dir + ": a file of that name is in the way";
  else
    why = "cannot make the folder " + dir + ": " + (made ? made : seen).message();
  return false;
}

UniqueFd OpenFolder(const std::string& dir, std::string& why) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.IsOpen()) why = Errno("cannot open the folder");
  return fd;
}

UniqueFd OpenSubFolders(int dir_fd, const std::vector<std::string>& parts, std::string& why) {
  UniqueFd current(::dup(dir_fd));
  for (const std::string& part : parts) {
    if (!PlainName(part)) {
      why = "not a plain folder name: " + part;
      return UniqueFd();
    }
    if (::mkdirat(current.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
      why = Errno(("cannot make the folder " + part).c_str());
      return UniqueFd();
    }
    UniqueFd next(::openat(current.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.IsOpen()) {
      why = errno == ENOTDIR || errno == ELOOP ? "a file or link named " + part + " is in the way"
                                               : Errno(("cannot open the folder " + part).c_str());
      return UniqueFd();
    }
    current = std::move(next);
  }
  return current;
}

std::optional<LocalFileInfo> FileInfoAt(int dir_fd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return LocalFileInfo{static_cast<long long>(st.st_size), st.st_mtime};
}

bool WriteFileInDir(const std::string& dir, const std::string& name, std::string_view data, std::string& why) {
  const UniqueFd dir_fd = OpenFolder(dir, why);
  return dir_fd.IsOpen() && WriteFileAt(dir_fd.Get(), name, data, std::nullopt, why);
}

bool WriteFileAt(int dir_fd, const std::string& name, std::string_view data, std::optional<std::time_t> mtime,
                 std::string& why) {
  if (!PlainName(name)) {
    why = "not a plain file name";
    return false;
  }

  std::string temp;
  UniqueFd file = CreateTemporary(dir_fd, temp);
  if (!file.IsOpen()) {
    why = Errno("cannot create a file in the folder");
    return false;
  }

  bool ok = true;
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(file.Get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = Errno("cannot write");
      ok = false;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (ok && mtime) {
    const timespec times[2] = {{0, UTIME_OMIT}, {*mtime, 0}};
    if (::futimens(file.Get(), times) != 0) {
      why = Errno("cannot set the file's date");
      ok = false;
    }
  }
  if (ok && ::fsync(file.Get()) != 0) {
    why = Errno("cannot write");
    ok = false;
  }
  if (file.Reset() != 0 && ok) {
    why = Errno("cannot write");
    ok = false;
  }
  if (ok && ::renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) != 0) {
    why = Errno("cannot put the file in place");
    ok = false;
  }
  if (!ok) ::unlinkat(dir_fd, temp.c_str(), 0);
  return ok;
}

}  // namespace mirvo::cli
