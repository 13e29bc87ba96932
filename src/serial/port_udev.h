// The udev side of PortWatcher: tty devices as udev knows them, and a
// monitor that tells when they change. Internal to src/serial; built only
// with libudev.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace mirvo::serial_internal {

// One tty device node, whichever way it was found.
struct FoundDevice {
  std::string node;     // "/dev/ttyUSB0"
  std::string sysname;  // "ttyUSB0"
  bool has_hardware = false;  // a device of the system's tree stands behind it
  std::string uart_type;      // sysfs "type" of a UART ("0": no UART there)
  std::string usb_vendor, usb_product, usb_serial, by_id;
  std::string usb_interface;  // bInterfaceNumber: which of an adapter's ports
};

class UdevPorts {
 public:
  // nullptr when udev cannot be reached.
  static std::unique_ptr<UdevPorts> Create();
  virtual ~UdevPorts() = default;

  // Readable when the monitor has news.
  virtual int Fd() const = 0;
  // Reads all news; true when any came.
  virtual bool Drain() = 0;
  // The tty devices udev has finished setting up.
  virtual std::vector<FoundDevice> Scan() = 0;
};

}  // namespace mirvo::serial_internal
