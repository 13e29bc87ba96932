// Why a port would not open, in the system's words, for the trace log.
#pragma once

#include <string>

namespace mirvo::app {

// UTF-8; names the device the port resolves to and the reason the system
// gives for it, or says that the name resolves to no device.
std::string PortOpenFailureReason(const std::string& port_name);

}  // namespace mirvo::app
