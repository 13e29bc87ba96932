#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/paths.h"
#include "serial/port_names.h"

namespace mirvo {
namespace {

PortResolver& Installed() {
  static PortResolver resolver;
  return resolver;
}

}  // namespace

// Read at every call: consoles can change and the scan is rare.
bool IsSystemConsole(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  std::ifstream in("/proc/consoles");
  std::string line;
  while (std::getline(in, line)) {
    // "ttyS0  -W- (EC  p a)    4:64": the device number ends the line.
    const auto colon = line.rfind(':');
    const auto space = line.rfind(' ', colon);
    if (colon == std::string::npos || space == std::string::npos) continue;
    unsigned major_no = 0, minor_no = 0;
    std::istringstream nums(line.substr(space + 1));
    char sep = 0;
    if (nums >> major_no >> sep >> minor_no && sep == ':' && st.st_rdev == makedev(major_no, minor_no)) return true;
  }
  return false;
}

std::optional<int> ComPortNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 6) return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return std::nullopt;
  }
  if (name[3] == '0') return std::nullopt;
  int n = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 256) return std::nullopt;
  return n;
}

std::optional<std::string> FixedPortPath(int n) {
  static constexpr const char* kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM", "/dev/rfcomm"};
  if (n < 1 || n > 128) return std::nullopt;
  return std::string(kFamilies[(n - 1) / 32]) + std::to_string((n - 1) % 32);
}

std::optional<std::string> DefaultPortResolver(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  const auto n = ComPortNumber(name);
  if (!n) return std::nullopt;
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path link = fs::path(SettingsDir()) / "ports" / ("COM" + std::to_string(*n));
  std::optional<std::string> path;
  if (fs::symlink_status(link, ec).type() != fs::file_type::not_found && !ec) {
    // The user's link wins even when it leads nowhere: never fall back to
    // a different device than the one named.
    const fs::path target = fs::canonical(link, ec);
    if (ec) return std::nullopt;
    path = target.string();
  } else {
    path = FixedPortPath(*n);
  }
  if (!path || IsSystemConsole(*path)) return std::nullopt;
  return path;
}

std::optional<std::string> ResolvePortName(const std::string& name) {
  const PortResolver& r = Installed();
  return r ? r(name) : DefaultPortResolver(name);
}

void SetPortResolver(PortResolver resolver) { Installed() = std::move(resolver); }

}  // namespace mirvo
