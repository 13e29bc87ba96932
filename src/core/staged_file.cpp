#include "core/staged_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mirvo {

std::string TemporaryName(std::string_view prefix) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[8] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    const auto seed = static_cast<unsigned long>(::getpid()) ^ static_cast<unsigned long>(::time(nullptr));
    for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> (i * 4));
  }
  std::string name(prefix);
  for (unsigned char byte : random) name += kLetters[byte % (sizeof kLetters - 1)];
  return name;
}

std::optional<StagedFile> StagedFile::Create(const PrivateFolder& folder, std::string_view relative,
                                             std::string& why, DiskCalls calls) {
  std::optional<UniqueFd> dir = folder.OpenParentOf(relative, why);
  if (!dir) return std::nullopt;
  const std::size_t slash = relative.rfind('/');
  std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  const std::string shown = folder.Path() + "/" + std::string(relative);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = TemporaryName(".mirvo-");
    UniqueFd file(::openat(dir->Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.IsOpen()) return StagedFile(std::move(*dir), std::move(file), std::move(temp), std::move(name), shown, calls);
    if (errno != EEXIST) break;
  }
  why = std::string("一時ファイルを作成できません: ") + std::strerror(errno) + " (" + shown + ")";
  return std::nullopt;
}

bool StagedFile::Fail(const char* what, int error, std::string& why) {
  why = std::string(what) + ": " + std::strerror(error) + " (" + shown_ + ")";
  Discard();
  return false;
}

void StagedFile::Discard() {
  file_.Reset();
  if (!temp_name_.empty() && dir_.IsOpen()) ::unlinkat(dir_.Get(), temp_name_.c_str(), 0);
  temp_name_.clear();
}

bool StagedFile::Write(std::string_view data, std::string& why) {
  if (!file_.IsOpen()) return Fail("ファイルを書き込めません", EBADF, why);
  while (!data.empty()) {
    const ssize_t n = calls_.write(file_.Get(), data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("ファイルを書き込めません", n < 0 ? errno : ENOSPC, why);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool StagedFile::Commit(const std::optional<timespec>& modified, std::string& why) {
  if (!file_.IsOpen()) return Fail("ファイルを書き込めません", EBADF, why);
  // The folder is private already; the file itself reads like any other.
  ::fchmod(file_.Get(), 0644);
  if (modified) {
    const timespec times[2] = {{0, UTIME_NOW}, *modified};
    ::futimens(file_.Get(), times);
  }
  // After a cut this is the only copy: it must be on disk before it counts.
  if (calls_.fsync(file_.Get()) != 0) return Fail("ファイルを書き込めません", errno, why);
  if (file_.Reset() != 0) return Fail("ファイルを書き込めません", errno, why);
  if (::renameat(dir_.Get(), temp_name_.c_str(), dir_.Get(), name_.c_str()) != 0)
    return Fail("ファイルを保存できません", errno, why);
  temp_name_.clear();
  // The rename too, or a crash could still lose the copy.
  if (calls_.fsync(dir_.Get()) != 0) {
    why = std::string("ファイルを書き込めません: ") + std::strerror(errno) + " (" + shown_ + ")";
    return false;
  }
  return true;
}

bool WriteStagedCopy(const PrivateFolder& folder, std::string_view relative, std::string_view data,
                     const std::optional<timespec>& modified, std::string& why,
                     const std::function<void()>& between_chunks, DiskCalls calls) {
  std::optional<StagedFile> file = StagedFile::Create(folder, relative, why, calls);
  if (!file) return false;
  constexpr std::size_t kChunk = 1 << 20;
  while (!data.empty()) {
    const std::size_t n = std::min(kChunk, data.size());
    if (!file->Write(data.substr(0, n), why)) return false;
    data.remove_prefix(n);
    if (between_chunks && !data.empty()) between_chunks();
  }
  return file->Commit(modified, why);
}

}  // namespace mirvo
