#include "settings/settings_file.h"

#include "core/regular_file.h"
#include "core/unique_fd.h"
#include "text/fields.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace mirvo {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSettingsBytes = 1 << 20;
constexpr const char* kFileName = "config.ini";
constexpr const char* kTempName = "config.ini.new";

constexpr const char* kColumnKeys[6] = {
    "FORM_LISTVIEW_COLUMN_0", "FORM_LISTVIEW_COLUMN_1", "FORM_LISTVIEW_COLUMN_2",
    "FORM_LISTVIEW_COLUMN_3", "FORM_LISTVIEW_COLUMN_4", "FORM_LISTVIEW_COLUMN_5"};
// Defaults when the file exists but the key is missing or not a number.
constexpr int kPresentColumnDefaults[6] = {120, 80, 120, 80, 60, 75};

bool KeyEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Index of the line holding key; -1 when none.
int FindLine(const SettingsLines& lines, std::string_view key) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t eq = lines[i].find('=');
    if (eq != std::string::npos && KeyEquals(std::string_view(lines[i]).substr(0, eq), key))
      return static_cast<int>(i);
  }
  return -1;
}

std::string Text(const SettingsLines& lines, std::string_view key) {
  return FindSettingValue(lines, key).value_or(std::string());
}

int Lenient(const SettingsLines& lines, std::string_view key, int fallback) {
  const auto value = FindSettingValue(lines, key);
  if (!value) return fallback;
  return StrictInt(*value).value_or(fallback);
}

// A FIFO, a device or a huge file in place of config.ini must neither hang
// nor eat memory: only a regular file of sane size is read.
bool ReadSmallRegularFile(const std::string& path, std::string& data, std::string& why) {
  int error = 0;
  switch (ReadRegularFile(path, kMaxSettingsBytes, data, error)) {
    case FileReadFault::kNone:
      return true;
    case FileReadFault::kNotRegular:
      why = "not a regular file";
      return false;
    case FileReadFault::kTooLarge:
      why = "larger than 1 MiB, not a settings file";
      return false;
    case FileReadFault::kOpen:
    case FileReadFault::kRead:
      break;
  }
  why = std::strerror(error);
  return false;
}

// Makes the missing folders of dir (0700) and opens the last one, narrowed
// to its owner when it is ours: it holds the handset password. The folders
// above it (the home folder, ~/.config) keep their modes.
std::optional<UniqueFd> OpenSettingsFolder(const std::string& dir, std::string& error) {
  fs::path made;
  for (const fs::path& part : fs::path(dir)) {
    made /= part;
    if (part.empty() || part == "/" || part == "." || part == "..") continue;
    if (::mkdir(made.c_str(), 0700) == 0 || errno == EEXIST) continue;
    const int err = errno;
    // Some file systems report another error for a folder that exists.
    struct stat st {};
    if (::stat(made.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    error = made.string() + ": " + std::strerror(err);
    return std::nullopt;
  }
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!folder.IsOpen() || ::fstat(folder.Get(), &st) != 0) {
    error = dir + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0 && ::fchmod(folder.Get(), st.st_mode & 0700) != 0) {
    error = dir + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return folder;
}

}  // namespace

std::optional<std::string> FindSettingValue(const SettingsLines& lines, std::string_view key) {
  const int i = FindLine(lines, key);
  if (i < 0) return std::nullopt;
  const std::string& line = lines[static_cast<std::size_t>(i)];
  return line.substr(line.find('=') + 1);
}

void SetSettingValue(SettingsLines& lines, std::string_view key, const std::string& value) {
  const int i = FindLine(lines, key);
  if (value.empty()) {
    if (i >= 0) lines.erase(lines.begin() + i);
    return;
  }
  std::string line = std::string(key) + "=" + value;
  if (i >= 0)
    lines[static_cast<std::size_t>(i)] = std::move(line);
  else
    lines.push_back(std::move(line));
}

std::optional<int> StrictInt(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

SettingsLoadResult LoadSettingsFile(const std::string& path, SettingsLines& lines, WindowSettings& s) {
  SettingsLoadResult result;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    s.password = kDefaultPassword;
    s.view_style = kDefaultViewStyle;
    return result;
  }
  std::string data, why;
  if (!ReadSmallRegularFile(path, data, why)) {
    result.status = SettingsLoad::Unreadable;
    result.error = path + ": " + why;
    // Nothing could be read: start as without a file rather than with an
    // empty password the handset would refuse.
    s.password = kDefaultPassword;
    s.view_style = kDefaultViewStyle;
    return result;
  }
  if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);
  result.status = SettingsLoad::Loaded;
  lines = SplitLines(data);
  s.port_name = Text(lines, "COM");
  s.password = Text(lines, "PASSWORD");
  s.vendor_name = Text(lines, "VENDER");
  s.model_name = Text(lines, "DEVICE");
  const auto view = FindSettingValue(lines, "VIEW_STYLE");
  const auto view_value = view ? StrictInt(*view) : std::nullopt;
  if (view_value && *view_value >= 0 && *view_value <= 3) {
    s.view_style = static_cast<ViewStyle>(*view_value);
  } else {
    s.view_style = kDefaultViewStyle;
    result.view_style_repaired = true;
  }
  s.left = Lenient(lines, "FORM_LEFT", 100);
  s.top = Lenient(lines, "FORM_TOP", 100);
  s.width = Lenient(lines, "FORM_WIDTH", 640);
  s.height = Lenient(lines, "FORM_HEIGHT", 480);
  s.tree_view_width = Lenient(lines, "TREEVIEW_WIDTH", 100);
  s.auto_connect = FindSettingValue(lines, "AUTO_CONNECT").value_or("1") != "0";
  for (int i = 0; i < 6; ++i) {
    const auto value = FindSettingValue(lines, kColumnKeys[i]);
    const auto width = value ? StrictInt(*value) : std::nullopt;
    s.column_widths[i] = width.value_or(kPresentColumnDefaults[i]);
    s.column_width_saved[i] = width.has_value();
  }
  return result;
}

void StoreSettings(const WindowSettings& s, SettingsLines& lines) {
  auto number = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string(); };
  SetSettingValue(lines, "COM", s.port_name);
  SetSettingValue(lines, "PASSWORD", s.password);
  SetSettingValue(lines, "VENDER", s.vendor_name);
  SetSettingValue(lines, "DEVICE", s.model_name);
  SetSettingValue(lines, "VIEW_STYLE", std::to_string(static_cast<int>(s.view_style)));
  SetSettingValue(lines, "FORM_LEFT", number(s.left));
  SetSettingValue(lines, "FORM_TOP", number(s.top));
  SetSettingValue(lines, "FORM_WIDTH", number(s.width));
  SetSettingValue(lines, "FORM_HEIGHT", number(s.height));
  SetSettingValue(lines, "TREEVIEW_WIDTH", std::to_string(s.tree_view_width));
  // Written only when off: the files of those who keep it on stay as they were.
  SetSettingValue(lines, "AUTO_CONNECT", s.auto_connect ? "" : "0");
  for (int i = 0; i < 6; ++i) SetSettingValue(lines, kColumnKeys[i], std::to_string(s.column_widths[i]));
}

bool WriteSettingsFile(const std::string& dir, const SettingsLines& lines, std::string& error) {
  const std::optional<UniqueFd> folder = OpenSettingsFolder(dir, error);
  if (!folder) return false;
  const int at = folder->Get();
  const std::string target = (fs::path(dir) / kFileName).string();
  auto fail = [&](int err) {
    ::unlinkat(at, kTempName, 0);
    error = target + ": " + std::strerror(err);
    return false;
  };
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\r\n";
  // A stale copy from an interrupted save may carry a wider mode: it is
  // made afresh, so the password is never readable by others on the way.
  if (::unlinkat(at, kTempName, 0) != 0 && errno != ENOENT) return fail(errno);
  UniqueFd file(::openat(at, kTempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.IsOpen()) return fail(errno);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(file.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(file.Get()) != 0 || file.Reset() != 0) return fail(errno);
  // Only a whole, flushed copy replaces the old file, so a failure or a
  // crash at any point leaves one of the two intact.
  if (::renameat(at, kTempName, at, kFileName) != 0) return fail(errno);
  // The new file is in place; a folder that cannot be flushed changes
  // nothing the caller could mend.
  ::fsync(at);
  return true;
}

}  // namespace mirvo
