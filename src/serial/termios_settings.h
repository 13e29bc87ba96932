// How the port's settings land in a termios record. Internal to
// src/serial (POSIX).
#pragma once

#include <termios.h>

#include "serial/serial_port.h"

namespace mirvo::serial_internal {

// Overwrites tio from s in raw mode; a zero XON or XOFF character keeps the
// device's. False when the device cannot take the settings (no such speed,
// data bits outside 5 to 8, a stop-bit count the data bits cannot have).
bool ApplyToTermios(const SerialSettings& s, termios& tio);

}  // namespace mirvo::serial_internal
