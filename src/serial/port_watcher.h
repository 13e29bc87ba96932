// PortWatcher: which serial ports are there, told as they come and go, so
// that a handset plugged in can be found without a scan.
//
// A port is a serial device node (ttyS with hardware behind it, ttyUSB,
// ttyACM, rfcomm, and any tty the system ties to a device), or a device a
// link <settings dir>/ports/COMn leads to. The system console never is one.
// Changes are learnt from udev where it runs (/run/udev exists and the
// program was built with libudev), else from inotify on /dev and on the
// ports/ folder; links in ports/ are watched with inotify in both cases.
//
// One port is reported at most once per hold-off (1 s): a port that comes
// and goes faster is told as it stands when the hold-off ends, so a flapping
// line is neither lost nor reported at its own pace.
//
// Thread safety: a PortWatcher starts no thread. Its members are called on
// one thread at a time, its owner's (it may be handed to another thread
// between calls, as any object); the owner waits for Fd() to be readable in
// its own loop and then calls TakeChanges(). Destroying it stops it.
// PortIsFreeToProbe may be called on any thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mirvo {

struct WatchedPort {
  std::string device;    // the node: "/dev/ttyUSB1", or where a link leads ("/dev/pts/4")
  std::string com_name;  // "COM34": a ports/ link's name first, else the fixed table's; empty when neither
  // USB adapters only, else empty: hexadecimal ids as the device gives
  // them, its serial number, and the /dev/serial/by-id link to the node.
  std::string usb_vendor, usb_product, usb_serial;
  std::string by_id;
  // The same for an adapter whatever node it comes back as:
  // "usb:VENDOR:PRODUCT:SERIAL:INTERFACE" when it has a serial number, else
  // its by-id link, else "ports/COMn" for a port a link brings in, else the node.
  std::string key;
};

struct PortChange {
  enum class Kind {
    kAppeared,
    kChanged,  // still there under the same key, with another node, name or link
    kGone,
  };
  Kind kind = Kind::kAppeared;
  WatchedPort port;  // as last seen; for kGone, as last reported
};

enum class PortWatchSource { kUdev, kInotify };

struct PortWatcherOptions {
  std::string settings_dir;  // holds ports/; empty: SettingsDir() at Create
  std::chrono::milliseconds hold_off{1000};
  bool use_udev = true;  // false: inotify alone, even where udev runs
  // Where the system's nodes and device tree are; tests give their own.
  std::string dev_dir = "/dev";
  std::string sys_dir = "/sys";
};

class PortWatcher {
 public:
  // Starts watching; the ports there now are the first TakeChanges()'s
  // kAppeared. nullopt when the system gives no inotify (or epoll, timerfd)
  // descriptor; errno then tells why.
  static std::optional<PortWatcher> Create(PortWatcherOptions options = {});
  ~PortWatcher();
  PortWatcher(PortWatcher&&) noexcept;
  PortWatcher& operator=(PortWatcher&&) noexcept;

  // Readable when TakeChanges has something to look at (level-triggered,
  // for poll/epoll or a socket notifier).
  int Fd() const;
  // Never blocks: reads what came, looks at the ports again if anything may
  // have changed, and returns the changes due now (often none).
  std::vector<PortChange> TakeChanges();
  // The ports last reported there.
  std::vector<WatchedPort> Present() const;
  PortWatchSource Source() const;

 private:
  class Impl;
  explicit PortWatcher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Whether a probe may open the device without taking it from anyone: false
// when a lock file in one of lock_folders names a live process (or cannot
// be read), or a process holds an flock on it, as this program's ports do.
// Looks at files only; never opens the device.
bool PortIsFreeToProbe(const std::string& device_path,
                       const std::vector<std::string>& lock_folders = {"/var/lock", "/run/lock"});

}  // namespace mirvo
