#include "protocol/trace_log.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <unistd.h>

#include "core/paths.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using text::Cp932;

// The one log file; -1 while tracing is off.
class LogFile {
 public:
  ~LogFile() { Close(); }
  bool Open(const std::string& path) {
    Close();
    // A FIFO or a device named debug.log would block start-up or swallow
    // the trace: open without blocking or truncating, and keep only a
    // regular file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool IsOpen() const { return fd_ >= 0; }
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a full disk must not stop the transfer being traced
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
};

LogFile& Log() {
  static LogFile log;
  return log;
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

}  // namespace

void LogStart() {
  const std::string dir = ProgramDir();
  if (dir.empty()) return;
  LogStartAt(dir + "/debug.log");
}

void LogStartAt(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (!Log().Open(path)) return;  // read-only or otherwise refused: tracing stays off

  const std::string rule(44, '=');
  LogWriteLine(rule);
  LogWriteLine(Cp932("　Mirvo"));
  LogWriteLine(Cp932("　                 Version 1.11"));
  LogWriteLine(Cp932("　出力日時: ") + DateTimeText());
  LogWriteLine(rule);
  LogWriteLine("");
}

void LogClose() { Log().Close(); }

bool LogIsOn() { return Log().IsOpen(); }

int LogWriteLine(std::string_view text) {
  if (!Log().IsOpen()) return -1;
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  Log().Write(line);
  return 0;
}

void LogWriteTimedLine(std::string_view utf8_text) {
  if (LogIsOn()) LogWriteLine(TimeText() + Cp932(utf8_text));
}

int LogDump(const void* block, int length, std::string_view title) {
  if (!Log().IsOpen() || !block) return -1;
  std::string dump;
  AppendHexDump(&dump, block, length, title);
  Log().Write(dump);
  return 0;
}

int AppendHexDump(std::string* target, const void* block, int length, std::string_view title) {
  if (!target || !block) return -1;
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  static constexpr char kLowerHex[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(block);
  const std::string_view name = title.empty() ? std::string_view(Cp932("データ内容")) : title;

  std::string& out = *target;
  out += TimeText();
  out += ' ';
  out += name;
  char len[32];
  std::snprintf(len, sizeof len, "(Len=%d)\r\n", length);
  out += len;
  out += "--------+-------------------------------------------------------------------\r\n";

  char row[80];
  for (int offset = 0; offset < length && offset <= 0x10000; offset += 16) {
    const int count = std::min(16, length - offset);
    char* p = row;
    for (int shift = 28; shift >= 0; shift -= 4) *p++ = kLowerHex[(static_cast<unsigned>(offset) >> shift) & 0xF];
    *p++ = ':';
    for (int i = 0; i < 16; ++i) {
      if (i < count) {
        const unsigned char b = bytes[offset + i];
        *p++ = i == 8 ? '-' : ' ';
        *p++ = kUpperHex[b >> 4];
        *p++ = kUpperHex[b & 0xF];
      } else {
        *p++ = ' ';
        *p++ = ' ';
        *p++ = ' ';
      }
    }
    *p++ = ' ';
    *p++ = ' ';
    for (int i = 0; i < count; ++i) {
      const unsigned char c = bytes[offset + i] & 0x7F;
      *p++ = (c < 0x20 || c == 0x7F) ? '.' : static_cast<char>(c);
    }
    *p++ = '\r';
    *p++ = '\n';
    out.append(row, static_cast<std::size_t>(p - row));
  }
  out += "\r\n";
  return 0;
}

std::string TimeText() {
  const std::tm tm = LocalNow();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string DateTimeText() {
  const std::tm tm = LocalNow();
  char buf[40];
  std::snprintf(buf, sizeof buf, "%4d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace mirvo
