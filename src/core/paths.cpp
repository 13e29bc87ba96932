#include "core/paths.h"

#include <cstdlib>
#include <filesystem>

namespace mirvo {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

}  // namespace

std::string SettingsDir() {
  std::string base = Env("APPDATA");
  if (base.empty()) base = Env("XDG_CONFIG_HOME");
  if (base.empty()) {
    const std::string home = Env("HOME");
    base = (home.empty() ? std::string(".") : home) + "/.config";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/ZQR/mirvo/";
}

std::string ProgramDir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

}  // namespace mirvo
