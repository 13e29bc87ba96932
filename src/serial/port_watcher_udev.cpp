// PortWatcher's udev source: a monitor of the tty subsystem, and the tty
// devices udev has set up (their nodes then carry udev's permissions and
// links).
#include <fcntl.h>
#include <libudev.h>

#include <cstring>
#include <string_view>

#include "serial/port_udev.h"

namespace mirvo::serial_internal {
namespace {

struct UdevFree {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T>
using UdevPtr = std::unique_ptr<T, UdevFree>;

std::string Text(const char* s) { return s ? s : ""; }

FoundDevice Describe(udev_device* dev) {
  FoundDevice d;
  d.node = Text(udev_device_get_devnode(dev));
  d.sysname = Text(udev_device_get_sysname(dev));
  d.has_hardware = udev_device_get_parent(dev) != nullptr;
  d.uart_type = Text(udev_device_get_sysattr_value(dev, "type"));
  // Not taken by the caller: freed with dev.
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
    d.usb_vendor = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    d.usb_product = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    d.usb_serial = Text(udev_device_get_sysattr_value(usb, "serial"));
  }
  if (udev_device* in = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_interface"))
    d.usb_interface = Text(udev_device_get_sysattr_value(in, "bInterfaceNumber"));
  udev_list_entry* link = nullptr;
  udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(dev)) {
    const std::string_view name = Text(udev_list_entry_get_name(link));
    if (name.starts_with("/dev/serial/by-id/")) d.by_id = name;
  }
  return d;
}

class Udev final : public UdevPorts {
 public:
  Udev(UdevPtr<udev> u, UdevPtr<udev_monitor> m) : udev_(std::move(u)), monitor_(std::move(m)) {}

  int Fd() const override { return udev_monitor_get_fd(monitor_.get()); }

  bool Drain() override {
    bool any = false;
    while (UdevPtr<udev_device> dev{udev_monitor_receive_device(monitor_.get())}) any = true;
    return any;
  }

  std::vector<FoundDevice> Scan() override {
    std::vector<FoundDevice> found;
    UdevPtr<udev_enumerate> e{udev_enumerate_new(udev_.get())};
    if (!e) return found;
    udev_enumerate_add_match_subsystem(e.get(), "tty");
    udev_enumerate_add_match_is_initialized(e.get());
    if (udev_enumerate_scan_devices(e.get()) < 0) return found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
      UdevPtr<udev_device> dev{udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry))};
      if (!dev || !udev_device_get_devnode(dev.get())) continue;
      found.push_back(Describe(dev.get()));
    }
    return found;
  }

 private:
  UdevPtr<udev> udev_;
  UdevPtr<udev_monitor> monitor_;
};

}  // namespace

std::unique_ptr<UdevPorts> UdevPorts::Create() {
  UdevPtr<udev> u{udev_new()};
  if (!u) return nullptr;
  // "udev": events after udev's rules ran, not the kernel's first word.
  UdevPtr<udev_monitor> m{udev_monitor_new_from_netlink(u.get(), "udev")};
  if (!m || udev_monitor_filter_add_match_subsystem_devtype(m.get(), "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(m.get()) < 0)
    return nullptr;
  const int fd = udev_monitor_get_fd(m.get());
  if (fd < 0) return nullptr;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return std::make_unique<Udev>(std::move(u), std::move(m));
}

}  // namespace mirvo::serial_internal
