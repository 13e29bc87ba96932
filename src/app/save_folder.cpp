#include "app/save_folder.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/private_folder.h"  // SafeRelativeParts
#include "core/staged_file.h"     // TemporaryName

namespace mirvo::app {
namespace {

std::string Reason(const char* what, int error, const std::string& shown) {
  return std::string(what) + ": " + std::strerror(error) + " (" + shown + ")";
}

// The temporary file goes with every way out but the rename.
struct TempFile {
  int dir;
  std::string name;
  UniqueFd fd;
  ~TempFile() {
    fd.Reset();
    if (!name.empty()) ::unlinkat(dir, name.c_str(), 0);
  }
};

// Renames without replacing: where the file system cannot say so, a link
// under the final name fails just the same when the name is taken.
int RenameNoReplace(int dir, const char* from, const char* to) {
  if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (::linkat(dir, from, dir, to, 0) != 0) return -1;
  ::unlinkat(dir, from, 0);
  return 0;
}

}  // namespace

std::optional<SaveFolder> SaveFolder::Open(const std::string& path, std::string& why) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.IsOpen()) {
    why = Reason("保存先のフォルダーを開けません", errno, path);
    return std::nullopt;
  }
  std::string shown = path;
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  return SaveFolder(std::move(fd), std::move(shown));
}

std::optional<UniqueFd> SaveFolder::ParentOf(std::string_view relative, bool make, std::string& why) const {
  const std::optional<std::vector<std::string>> parts = SafeRelativeParts(relative);
  if (!parts) {
    why = "保存先のフォルダーの外には書き込めません (" + std::string(relative) + ")";
    return std::nullopt;
  }
  UniqueFd dir(::fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0));
  std::string shown = path_;
  for (std::size_t i = 0; dir.IsOpen() && i + 1 < parts->size(); ++i) {
    const char* part = (*parts)[i].c_str();
    shown += "/" + (*parts)[i];
    if (make && ::mkdirat(dir.Get(), part, 0777) != 0 && errno != EEXIST) {
      why = Reason("フォルダーを作成できません", errno, shown);
      return std::nullopt;
    }
    // A link on the way could lead anywhere: only real folders are entered.
    UniqueFd next(::openat(dir.Get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.IsOpen()) {
      const int error = errno;
      why = error == ELOOP || error == ENOTDIR ? "保存先の同じ名前のものがフォルダーではありません (" + shown + ")"
                                               : Reason("フォルダーを開けません", error, shown);
      return std::nullopt;
    }
    dir = std::move(next);
  }
  if (!dir.IsOpen()) {
    why = Reason("保存先のフォルダーを開けません", errno, path_);
    return std::nullopt;
  }
  return dir;
}

bool SaveFolder::Holds(std::string_view relative) const {
  std::string why;
  const std::optional<UniqueFd> dir = ParentOf(relative, false, why);
  // Where no folder is yet, nothing is in the way; a file where a folder
  // must go is the copy's failure, not a question.
  if (!dir) return false;
  const std::size_t slash = relative.rfind('/');
  const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  struct stat st {};
  return ::fstatat(dir->Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool SaveFolder::Copy(const std::string& source, std::string_view relative, bool replace, std::string& why,
                      DiskCalls calls) const {
  const std::string shown = path_ + "/" + std::string(relative);
  const UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!in.IsOpen() || ::fstat(in.Get(), &st) != 0) {
    why = Reason("コピーを読めません", errno, source);
    return false;
  }
  std::optional<UniqueFd> dir = ParentOf(relative, true, why);
  if (!dir) return false;
  const std::size_t slash = relative.rfind('/');
  const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));

  TempFile temp{dir->Get(), {}, {}};
  for (int attempt = 0; attempt < 100 && !temp.fd.IsOpen(); ++attempt) {
    std::string candidate = TemporaryName(".mirvo-save-");
    temp.fd =
        UniqueFd(::openat(dir->Get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (temp.fd.IsOpen())
      temp.name = std::move(candidate);
    else if (errno != EEXIST)
      break;
  }
  if (!temp.fd.IsOpen()) {
    why = Reason("一時ファイルを作成できません", errno, shown);
    return false;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = Reason("コピーを読めません", errno, source);
      return false;
    }
    if (n == 0) break;
    for (const char* p = buffer; n > 0;) {
      const ssize_t written = calls.write(temp.fd.Get(), p, static_cast<std::size_t>(n));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        why = Reason("ファイルを書き込めません", written < 0 ? errno : ENOSPC, shown);
        return false;
      }
      p += written;
      n -= written;
    }
  }
  // The handset's date, as the staged copy has it.
  const timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
  ::futimens(temp.fd.Get(), times);
  if (calls.fsync(temp.fd.Get()) != 0 || temp.fd.Reset() != 0) {
    why = Reason("ファイルを書き込めません", errno, shown);
    return false;
  }
  // Without the user's word an existing file stays, even one that came
  // after the question.
  const int renamed = replace ? ::renameat(dir->Get(), temp.name.c_str(), dir->Get(), name.c_str())
                              : RenameNoReplace(dir->Get(), temp.name.c_str(), name.c_str());
  if (renamed != 0) {
    why = errno == EEXIST ? "同じ名前のファイルが保存先にあります (" + shown + ")"
                          : Reason("ファイルを保存できません", errno, shown);
    return false;
  }
  temp.name.clear();
  calls.fsync(dir->Get());
  return true;
}

}  // namespace mirvo::app
