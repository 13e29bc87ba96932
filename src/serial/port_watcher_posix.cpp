// PortWatcher on Linux: one epoll descriptor over inotify, the udev monitor
// where there is one, and a timer for the hold-off. Every wake-up that may
// mean a change looks at all ports again: there are few, and a fresh look
// cannot drift from the system the way a tally of events can.
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "core/paths.h"
#include "core/unique_fd.h"
#include "serial/port_lock.h"
#include "serial/port_names.h"
#include "serial/port_udev.h"
#include "serial/port_watcher.h"

namespace mirvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using serial_internal::FoundDevice;

// The fixed table's families, in its order (see port_names.h).
constexpr std::string_view kFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "rfcomm"};
constexpr int kFamilySize = 32;

struct FamilyMember {
  int family;
  int number;
};

std::optional<FamilyMember> FamilyOf(std::string_view name) {
  for (int f = 0; f < static_cast<int>(std::size(kFamilies)); ++f) {
    if (!name.starts_with(kFamilies[f])) continue;
    const std::string_view digits = name.substr(kFamilies[f].size());
    int n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return FamilyMember{f, n};
  }
  return std::nullopt;
}

// Serial lines only: not the virtual consoles, /dev/tty or ptmx, which
// have no device behind them; not the UARTs the 8250 driver names without
// finding one (type 0).
bool IsSerialLine(const FoundDevice& d) {
  const auto member = FamilyOf(d.sysname);
  if (!member && !d.has_hardware) return false;
  return !(member && member->family == 0 && d.uart_type == "0");
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The USB interface and device above a tty in the sysfs tree.
void ReadUsbIds(const fs::path& sys_dir, const std::string& sysname, FoundDevice& d) {
  std::error_code at_ec, root_ec, ec;
  fs::path at = fs::canonical(sys_dir / "class/tty" / sysname / "device", at_ec);
  const fs::path root = fs::canonical(sys_dir, root_ec);
  if (at_ec || root_ec) return;
  for (; at.has_relative_path() && at != root; at = at.parent_path()) {
    if (d.usb_interface.empty() && fs::exists(at / "bInterfaceNumber", ec))
      d.usb_interface = FirstLine(at / "bInterfaceNumber");
    if (!fs::exists(at / "idVendor", ec)) continue;
    d.usb_vendor = FirstLine(at / "idVendor");
    d.usb_product = FirstLine(at / "idProduct");
    d.usb_serial = FirstLine(at / "serial");
    return;
  }
}

bool CharDevice(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Without udev: the nodes in the device folder, described from sysfs.
std::vector<FoundDevice> ScanDeviceFolder(const std::string& dev_dir, const std::string& sys_dir) {
  std::vector<FoundDevice> found;
  std::error_code ec;
  std::map<dev_t, std::string> by_id;
  for (const auto& entry : fs::directory_iterator(fs::path(dev_dir) / "serial/by-id", ec)) {
    struct stat st {};
    if (CharDevice(entry.path().string(), st)) by_id[st.st_rdev] = entry.path().string();
  }
  for (const auto& entry : fs::directory_iterator(dev_dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("tty") && !name.starts_with("rfcomm")) continue;
    struct stat st {};
    if (!CharDevice(entry.path().string(), st)) continue;
    FoundDevice d;
    d.node = entry.path().string();
    d.sysname = name;
    const fs::path sys_tty = fs::path(sys_dir) / "class/tty" / name;
    std::error_code sys_ec;
    d.has_hardware = fs::exists(sys_tty / "device", sys_ec);
    d.uart_type = FirstLine(sys_tty / "type");
    if (d.has_hardware) ReadUsbIds(sys_dir, name, d);
    if (const auto link = by_id.find(st.st_rdev); link != by_id.end()) d.by_id = link->second;
    found.push_back(std::move(d));
  }
  return found;
}

bool SameReport(const WatchedPort& a, const WatchedPort& b) {
  return a.device == b.device && a.com_name == b.com_name && a.usb_vendor == b.usb_vendor &&
         a.usb_product == b.usb_product && a.usb_serial == b.usb_serial && a.by_id == b.by_id;
}

constexpr std::uint32_t kDirEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

class PortWatcher::Impl {
 public:
  PortWatcherOptions options;
  std::string ports_dir;
  UniqueFd epoll, inotify, timer;
  std::unique_ptr<serial_internal::UdevPorts> udev;

  bool dirty = true;
  std::map<std::string, WatchedPort> current, reported;
  std::map<std::string, Clock::time_point> last_report;

  bool Watch(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd, &ev) == 0;
  }

  // A folder that does not exist yet is waited for in its nearest ancestor.
  // One made between the failed try on it and the watch on its parent would
  // go unseen: tried again.
  void WatchFolder(const fs::path& dir) {
    for (int tries = 0; tries < 16; ++tries) {
      fs::path at = dir, below;
      while (::inotify_add_watch(inotify.Get(), at.c_str(), kDirEvents) < 0) {
        if ((errno != ENOENT && errno != ENOTDIR) || at == at.parent_path() || at.parent_path().empty()) return;
        below = at;
        at = at.parent_path();
      }
      std::error_code ec;
      if (below.empty() || !fs::exists(below, ec)) return;
    }
  }

  bool DrainInotify() {
    bool any = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = ::read(inotify.Get(), buf, sizeof buf);
      if (n > 0) {
        any = true;
        continue;
      }
      // Whatever went wrong, one look too many costs little.
      if (n < 0 && errno == EINTR) continue;
      return any || (n < 0 && errno != EAGAIN);
    }
  }

  void ArmTimer(std::optional<Clock::time_point> due) {
    itimerspec setting{};
    if (due) {
      const auto left = std::max<Clock::duration>(*due - Clock::now(), std::chrono::nanoseconds(1));
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      setting.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      setting.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    ::timerfd_settime(timer.Get(), 0, &setting, nullptr);
  }

  std::map<std::string, WatchedPort> Scan() {
    // Watched before they are read: a change after the read is never missed.
    if (!udev) {
      WatchFolder(options.dev_dir);
      WatchFolder(fs::path(options.dev_dir) / "serial/by-id");
    }
    WatchFolder(ports_dir);

    struct Line {
      WatchedPort port;
      dev_t rdev = 0;
      int link_number = 0;  // of the ports/ link that names it, 0: none
      std::string usb_interface;
      std::optional<FamilyMember> member;
    };
    std::vector<Line> lines;
    for (FoundDevice& d : udev ? udev->Scan() : ScanDeviceFolder(options.dev_dir, options.sys_dir)) {
      struct stat st {};
      if (!IsSerialLine(d) || !CharDevice(d.node, st) || IsSystemConsole(d.node)) continue;
      Line line;
      line.port = {d.node, {}, d.usb_vendor, d.usb_product, d.usb_serial, d.by_id, {}};
      line.rdev = st.st_rdev;
      line.member = FamilyOf(d.sysname);
      line.usb_interface = d.usb_interface;
      lines.push_back(std::move(line));
    }

    // Links name ports, and bring in ports of their own (a pseudo-terminal).
    std::set<int> linked;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ports_dir, ec)) {
      const auto n = ComPortNumber(entry.path().filename().string());
      if (!n) continue;
      linked.insert(*n);
      std::error_code link_ec;
      const fs::path literal = fs::read_symlink(entry.path(), link_ec);
      if (link_ec) continue;
      // Where a target comes and goes: a link left behind must follow it.
      WatchFolder((literal.is_absolute() ? literal : entry.path().parent_path() / literal).parent_path());
      const fs::path target = fs::canonical(entry.path(), link_ec);
      struct stat st {};
      if (link_ec || !CharDevice(target.string(), st) || IsSystemConsole(target.string())) continue;
      WatchFolder(target.parent_path());
      auto line = std::find_if(lines.begin(), lines.end(), [&](const Line& l) { return l.rdev == st.st_rdev; });
      if (line == lines.end()) {
        lines.push_back({});
        line = std::prev(lines.end());
        line->port.device = target.string();
        line->rdev = st.st_rdev;
      }
      if (line->link_number == 0 || *n < line->link_number) line->link_number = *n;
    }

    std::map<std::string, WatchedPort> ports;
    for (Line& line : lines) {
      WatchedPort& p = line.port;
      if (line.link_number != 0) {
        p.com_name = "COM" + std::to_string(line.link_number);
      } else if (line.member && line.member->number < kFamilySize) {
        // A link of that number leads elsewhere: the name is not this port's.
        const int n = line.member->family * kFamilySize + line.member->number + 1;
        if (!linked.contains(n)) p.com_name = "COM" + std::to_string(n);
      }
      // The serial first: udev may add the by-id link after the node is there.
      if (!p.usb_serial.empty()) {
        p.key = "usb:" + p.usb_vendor + ":" + p.usb_product + ":" + p.usb_serial + ":" + line.usb_interface;
      } else if (!p.by_id.empty()) {
        p.key = p.by_id;
      } else if (line.link_number != 0) {
        p.key = "ports/" + p.com_name;
      } else {
        p.key = p.device;
      }
      // Twin adapters without serials, or ports sharing one interface, stay apart.
      if (ports.contains(p.key)) p.key += "|" + p.device;
      ports.emplace(p.key, std::move(p));
    }
    return ports;
  }

  std::vector<PortChange> Reconcile(Clock::time_point now) {
    std::vector<PortChange> changes;
    std::optional<Clock::time_point> next;
    std::set<std::string> keys;
    for (const auto& [key, port] : current) keys.insert(key);
    for (const auto& [key, port] : reported) keys.insert(key);
    for (const std::string& key : keys) {
      const auto cur = current.find(key);
      const auto rep = reported.find(key);
      const bool here = cur != current.end(), told = rep != reported.end();
      PortChange change;
      if (here && !told) {
        change = {PortChange::Kind::kAppeared, cur->second};
      } else if (!here && told) {
        change = {PortChange::Kind::kGone, rep->second};
      } else if (here && told && !SameReport(cur->second, rep->second)) {
        change = {PortChange::Kind::kChanged, cur->second};
      } else {
        continue;
      }
      if (const auto last = last_report.find(key); last != last_report.end()) {
        const auto free_at = last->second + options.hold_off;
        if (now < free_at) {
          next = next ? std::min(*next, free_at) : free_at;
          continue;
        }
      }
      if (here) {
        reported[key] = cur->second;
      } else {
        reported.erase(rep);
      }
      last_report[key] = now;
      changes.push_back(std::move(change));
    }
    std::erase_if(last_report, [&](const auto& entry) {
      return !reported.contains(entry.first) && now >= entry.second + options.hold_off;
    });
    ArmTimer(next);
    // Gone first: an owner keyed by node sees the old port leave before a
    // new one takes its node.
    std::stable_partition(changes.begin(), changes.end(),
                          [](const PortChange& c) { return c.kind == PortChange::Kind::kGone; });
    return changes;
  }
};

std::optional<PortWatcher> PortWatcher::Create(PortWatcherOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->ports_dir = (fs::path(options.settings_dir.empty() ? SettingsDir() : options.settings_dir) / "ports").string();
  impl->options = std::move(options);
  impl->epoll = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
  impl->inotify = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  impl->timer = UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!impl->epoll.IsOpen() || !impl->inotify.IsOpen() || !impl->timer.IsOpen()) return std::nullopt;
  if (!impl->Watch(impl->inotify.Get()) || !impl->Watch(impl->timer.Get())) return std::nullopt;
#ifdef MIRVO_HAVE_LIBUDEV
  std::error_code ec;
  // Without a running udev its monitor would never speak.
  if (impl->options.use_udev && fs::exists("/run/udev", ec)) {
    impl->udev = serial_internal::UdevPorts::Create();
    if (impl->udev && !impl->Watch(impl->udev->Fd())) impl->udev.reset();
  }
#endif
  // The first look is due at once.
  impl->ArmTimer(Clock::now());
  return PortWatcher(std::move(impl));
}

PortWatcher::PortWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PortWatcher::~PortWatcher() = default;
PortWatcher::PortWatcher(PortWatcher&&) noexcept = default;
PortWatcher& PortWatcher::operator=(PortWatcher&&) noexcept = default;

int PortWatcher::Fd() const { return impl_->epoll.Get(); }

PortWatchSource PortWatcher::Source() const {
  return impl_->udev ? PortWatchSource::kUdev : PortWatchSource::kInotify;
}

std::vector<PortChange> PortWatcher::TakeChanges() {
  Impl& w = *impl_;
  if (w.DrainInotify()) w.dirty = true;
  if (w.udev && w.udev->Drain()) w.dirty = true;
  std::uint64_t expirations = 0;
  [[maybe_unused]] const auto n = ::read(w.timer.Get(), &expirations, sizeof expirations);
  if (w.dirty) {
    w.dirty = false;
    w.current = w.Scan();
  }
  return w.Reconcile(Clock::now());
}

std::vector<WatchedPort> PortWatcher::Present() const {
  std::vector<WatchedPort> ports;
  for (const auto& [key, port] : impl_->reported) ports.push_back(port);
  return ports;
}

bool PortIsFreeToProbe(const std::string& device_path, const std::vector<std::string>& lock_folders) {
  for (const std::string& folder : lock_folders) {
    const serial_internal::LockFileOwner owner = serial_internal::ReadLockFile(folder, device_path);
    if (owner.file.empty()) continue;
    // A dead process's lock keeps no one out; one naming nobody does.
    if (!owner.pid || serial_internal::ProcessRuns(*owner.pid)) return false;
  }
  struct stat st {};
  if (::stat(device_path.c_str(), &st) != 0) return false;
  return serial_internal::FlockHolder(st) == 0;
}

}  // namespace mirvo
