// From a port name to a device path.
//
// "/..." is a device path as it stands. "COMn" (n = 1 to 256, "com" in any
// case) goes through the link <settings dir>/ports/COMn when it exists,
// else through the fixed table: COM1-32 /dev/ttyS0-31, COM33-64
// /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31, COM97-128 /dev/rfcomm0-31;
// higher numbers resolve to nothing. A COMn never resolves to the system
// console (a device in /proc/consoles). Main thread only, but for
// IsSystemConsole.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirvo {

using PortResolver = std::function<std::optional<std::string>(const std::string& name)>;

// Through the installed resolver, else the default rules above.
std::optional<std::string> ResolvePortName(const std::string& name);

// Replaces the rules for every later ResolvePortName (tests give a resolver
// that sees only their own links); an empty function restores the default.
void SetPortResolver(PortResolver resolver);

// The default rules, whatever is installed.
std::optional<std::string> DefaultPortResolver(const std::string& name);

// n of "COMn" (1 to 256, no leading zero); nullopt for any other text.
std::optional<int> ComPortNumber(std::string_view name);

// Whether the device is a system console (in /proc/consoles, by device
// number). Any thread.
bool IsSystemConsole(const std::string& device_path);

// The fixed table alone: no link, no console check.
std::optional<std::string> FixedPortPath(int n);

}  // namespace mirvo
