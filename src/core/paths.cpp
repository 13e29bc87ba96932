#include "core/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/private_folder.h"

namespace mirvo {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

// The first of two variables that is set, else $HOME/fallback; then our folder.
std::string OurDirUnder(const char* first, const char* second, const char* home_fallback) {
  std::string base = Env(first);
  if (base.empty()) base = Env(second);
  if (base.empty()) {
    const std::string home = Env("HOME");
    base = (home.empty() ? std::string(".") : home) + home_fallback;
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/ZQR/mirvo/";
}

}  // namespace

std::string SettingsDir() { return OurDirUnder("APPDATA", "XDG_CONFIG_HOME", "/.config"); }

std::string StagingDirPath() {
  // Another user could swap folders under a shared TEMP: it serves only
  // when every folder down to ours is safe from them.
  const std::string temp = Env("TEMP");
  if (!temp.empty()) {
    const std::string dir = OurDirUnder("TEMP", "", "");
    const bool usable = ::access(temp.c_str(), F_OK) != 0 || ::access(temp.c_str(), W_OK | X_OK) == 0;
    if (temp[0] == '/' && usable && PrivateFolder::CanOpen(dir)) return dir;
  }
  return OurDirUnder("XDG_CACHE_HOME", "", "/.cache");
}

std::string ProgramDir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

}  // namespace mirvo
