// How the port's line settings land in a termios record. Internal to
// src/serial (POSIX).
#pragma once

#include <termios.h>

#include "serial/serial_device.h"

namespace mirvo::serial_internal {

// Overwrites tio from s in raw mode, keeping the device's values where s
// says so. False when the device cannot take the settings (no such speed,
// data bits outside 5 to 8, a stop-bit count the data bits cannot have).
bool ApplyToTermios(const LineSettings& s, termios& tio);

}  // namespace mirvo::serial_internal
