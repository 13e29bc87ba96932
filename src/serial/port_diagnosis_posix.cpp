#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/port_diagnosis.h"
#include "core/paths.h"
#include "serial/port_names.h"

namespace mirvo::app {

std::string PortOpenFailureReason(const std::string& port_name) {
  auto path = ResolvePortName(port_name);
  if (!path) {
    // A link of the user's that leads nowhere resolves to nothing: name
    // where it leads.
    const auto n = ComPortNumber(port_name);
    if (!n) return port_name + ": no such port";
    const std::string link = SettingsDir() + "ports/COM" + std::to_string(*n);
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(link, ec);
    if (ec) return port_name + ": no device";
    path = target.is_absolute() ? target.string() : (std::filesystem::path(link).parent_path() / target).string();
  }
  // access() reports what open() would meet for existence and permissions
  // without touching the device.
  if (::access(path->c_str(), R_OK | W_OK) != 0) return port_name + " (" + *path + "): " + std::strerror(errno);
  return port_name + " (" + *path + "): in use, or refused the line settings";
}

}  // namespace mirvo::app
