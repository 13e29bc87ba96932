#include "app/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "protocol/list_records.h"
#include "text/cp932.h"

namespace mirvo::app {
namespace {

std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Reason(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

// One folder: made 0700 when missing; an existing one must be a real folder.
bool MakeFolder(const std::string& path, bool must_be_ours, std::string& why) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    why = Reason("フォルダを作成できません", errno) + " (" + path + ")";
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    why = Reason("フォルダを確認できません", errno) + " (" + path + ")";
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    why = "作業フォルダがリンクになっています (" + path + ")";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "作業フォルダの場所にファイルがあります (" + path + ")";
    return false;
  }
  if (must_be_ours && st.st_uid != ::geteuid()) {
    why = "作業フォルダの所有者が他のユーザーです (" + path + ")";
    return false;
  }
  return true;
}

// The parts of a handset name, split at "\" characters of their own.
std::vector<std::string_view> HandsetParts(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  text::ForEachChar(name, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && name[pos] == '\\') {
      parts.push_back(name.substr(start, pos - start));
      start = pos + 1;
    }
  });
  parts.push_back(name.substr(start));
  return parts;
}

bool LocalTime(std::string_view date, timespec& out) {
  // Dates before 1899/12/30 are refused with the unreadable ones.
  const std::optional<ListDate> parsed = ParseListDate(date);
  if (!parsed || *parsed < ListDate{1899, 12, 30, 0, 0}) return false;
  std::tm tm{};
  const std::string text(date);
  if (std::sscanf(text.c_str(), "%4d/%2d/%2d/%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min) != 5)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out.tv_sec = t;
  out.tv_nsec = 0;
  return true;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool PreparePrivateDir(const std::string& dir, std::string& why) {
  const std::string path = Trimmed(dir);
  if (path.empty()) {
    why = "作業フォルダが指定されていません";
    return false;
  }
  // Parents may be shared (a TEMP of /tmp); only the folder itself must be ours.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    struct stat st {};
    if (::stat(parent.c_str(), &st) == 0) continue;
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      why = Reason("フォルダを作成できません", errno) + " (" + parent + ")";
      return false;
    }
  }
  return MakeFolder(path, true, why);
}

std::optional<std::string> StagedPath(const std::string& dir, std::string_view handset_name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  bool first = true;
  for (std::string_view part : HandsetParts(handset_name)) {
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) return std::nullopt;
    const std::optional<std::string> utf8 = text::Cp932ToUtf8(part);
    if (!utf8 || utf8->empty() || utf8->find('/') != std::string::npos || utf8->find('\0') != std::string::npos ||
        *utf8 == "." || *utf8 == "..")
      return std::nullopt;
    if (!first) path += '/';
    path += *utf8;
    first = false;
  }
  return path;
}

std::string_view BareHandsetName(std::string_view handset_name) { return HandsetParts(handset_name).back(); }

bool WriteStagedFile(const std::string& dir, const std::string& path, std::string_view data, std::string_view date,
                     std::string& why, const std::function<void()>& between_chunks) {
  const std::string base = Trimmed(dir);
  if (path.size() <= base.size() + 1 || path.compare(0, base.size() + 1, base + "/") != 0) {
    why = "作業フォルダの外には書き込めません (" + path + ")";
    return false;
  }
  const std::size_t last = path.rfind('/');
  for (std::size_t slash = path.find('/', base.size() + 1); slash != std::string::npos && slash <= last;
       slash = path.find('/', slash + 1)) {
    if (!MakeFolder(path.substr(0, slash), false, why)) return false;
  }
  std::string temp = path.substr(0, last + 1) + ".mirvo-XXXXXX";
  Fd out;
  out.fd = ::mkstemp(temp.data());
  if (out.fd < 0) {
    why = Reason("一時ファイルを作成できません", errno) + " (" + path + ")";
    return false;
  }
  auto fail = [&](const char* what) {
    why = Reason(what, errno) + " (" + path + ")";
    ::unlink(temp.c_str());
    return false;
  };
  constexpr std::size_t kChunk = 1 << 20;
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(out.fd, data.data() + done, std::min(kChunk, data.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("ファイルを書き込めません");
    done += static_cast<std::size_t>(n);
    if (between_chunks && done < data.size()) between_chunks();
  }
  // The folder is private already; the file itself reads like any other.
  ::fchmod(out.fd, 0644);
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
  if (LocalTime(date, times[1])) ::futimens(out.fd, times);
  // After a cut this is the only copy: it must be on disk before it counts.
  if (::fsync(out.fd) != 0) return fail("ファイルを書き込めません");
  if (::close(out.fd) != 0) {
    out.fd = -1;
    return fail("ファイルを書き込めません");
  }
  out.fd = -1;
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail("ファイルを保存できません");
  return true;
}

}  // namespace mirvo::app
