// config.ini: key=value lines in code page 932, kept as read so that lines
// the program does not know survive a start and a close unchanged.
//
// Plain C++ on the standard library; main thread only.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

// The lines of the file, without their line ends.
using SettingsLines = std::vector<std::string>;

inline constexpr const char* kDefaultPassword = "0000";

// How the file list is shown; the values are what VIEW_STYLE stores.
enum class ViewStyle : int { LargeIcons = 0, SmallIcons = 1, List = 2, Details = 3 };
inline constexpr ViewStyle kDefaultViewStyle = ViewStyle::Details;

// Everything the main window keeps in config.ini. Texts are code page 932.
struct WindowSettings {
  std::string port_name;
  std::string password;
  std::string vendor_name;
  std::string model_name;
  ViewStyle view_style = kDefaultViewStyle;
  // Connect by itself when the saved handset is plugged in (AUTO_CONNECT,
  // "0" or "1"; older versions pass the key over).
  bool auto_connect = true;
  // Unset: the window system's placement and size for a new window.
  std::optional<int> left, top, width, height;
  int tree_view_width = 112;
  std::array<int, 6> column_widths{107, 80, 120, 80, 60, 75};
  // Which widths the file held; the others are defaults.
  std::array<bool, 6> column_width_saved{};
};

enum class SettingsLoad {
  Absent,      // no file: the defaults of a first start
  Loaded,      // read; settings taken from it
  Unreadable,  // present but could not be read: error says why
};

struct SettingsLoadResult {
  SettingsLoad status = SettingsLoad::Absent;
  std::string error;        // UTF-8, for the user
  bool view_style_repaired = false;  // VIEW_STYLE missing, not a number or out of range
};

// The value of the first line whose key (text before the first "=")
// equals key without regard to ASCII case.
std::optional<std::string> FindSettingValue(const SettingsLines& lines, std::string_view key);

// An empty value removes the key's line; an existing line is rewritten in
// place as KEY=value with key as given; a new key is appended.
void SetSettingValue(SettingsLines& lines, std::string_view key, const std::string& value);

// Optional sign and decimal digits only, within int range.
std::optional<int> StrictInt(std::string_view text);

// Reads path into lines (split at CR LF, LF or CR) and the values into s.
// Keys that are absent keep the defaults of a present file.
SettingsLoadResult LoadSettingsFile(const std::string& path, SettingsLines& lines, WindowSettings& s);

// Puts every value of s into lines, in the file's key order.
void StoreSettings(const WindowSettings& s, SettingsLines& lines);

// Creates dir (with its parents, 0700) and replaces dir + "config.ini" with
// the lines, each ended by CR LF. The file is written 0600 and dir, when it
// is this user's, is narrowed to 0700: the file holds the password. False
// with error (UTF-8) when that fails; an existing file is left as it was
// then.
bool WriteSettingsFile(const std::string& dir, const SettingsLines& lines, std::string& error);

}  // namespace mirvo
