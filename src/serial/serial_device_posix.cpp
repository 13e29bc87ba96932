// The port on a tty: termios for the line, flock + TIOCEXCL for exclusive
// use, a non-blocking fd with poll deadlines for the time-outs.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

#include "serial/serial_device.h"
#include "serial/termios_settings.h"

namespace mirvo::serial_internal {
namespace {

std::optional<speed_t> SpeedConstant(int baud_rate) {
  struct Entry {
    int baud_rate;
    speed_t code;
  };
  static constexpr Entry kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Entry& e : kSpeeds) {
    if (e.baud_rate == baud_rate) return e.code;
  }
  return std::nullopt;
}

// The shortest nap while the send queue drains (see WaitDrained).
constexpr auto kDrainNapFloor = std::chrono::microseconds(100);

// A pseudo-terminal has no modem lines; that is not a failure.
bool Unsupported(int err) { return err == ENOTTY || err == EINVAL || err == ENOSYS; }

bool SetModemLine(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return Unsupported(errno);
}

int PollFor(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  while (true) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int r = ppoll(&p, 1, &ts, nullptr);
    if (r > 0) return p.revents;
    if (r < 0 && errno != EINTR) return POLLERR;
  }
}

class TtyDevice final : public PortDevice {
 public:
  TtyDevice(int fd, int baud_rate) : fd_(fd), baud_rate_(baud_rate) {}
  ~TtyDevice() override {
    ioctl(fd_, TIOCNXCL);
    close(fd_);  // also drops the flock
  }
  TtyDevice(const TtyDevice&) = delete;
  TtyDevice& operator=(const TtyDevice&) = delete;

  long ReadSome(void* buffer, std::size_t cap) override {
    while (true) {
      const ssize_t r = read(fd_, buffer, cap);
      if (r > 0) return static_cast<long>(r);
      // With VMIN 1 an empty queue is EAGAIN; 0 is end of line (hang-up).
      if (r == 0) return -1;
      if (errno == EAGAIN) return 0;
      if (errno != EINTR) return -1;
    }
  }

  long WriteSome(const void* buffer, std::size_t n) override {
    while (true) {
      const ssize_t r = write(fd_, buffer, n);
      if (r >= 0) return static_cast<long>(r);
      if (errno == EAGAIN) return 0;
      if (errno != EINTR) return -1;
    }
  }

  Wait WaitReadable(Clock::time_point deadline) override {
    const int rev = PollFor(fd_, POLLIN, deadline);
    // Bytes that came before a hang-up can still be read.
    if (rev & POLLIN) return Wait::kReady;
    if (rev & (POLLHUP | POLLERR | POLLNVAL)) return Wait::kGone;
    return Wait::kTimedOut;
  }

  Wait WaitWritable(Clock::time_point deadline) override {
    const int rev = PollFor(fd_, POLLOUT, deadline);
    if (rev & (POLLHUP | POLLERR | POLLNVAL)) return Wait::kGone;
    if (rev & POLLOUT) return Wait::kReady;
    return Wait::kTimedOut;
  }

  // No event tells when the send queue is empty: naps for about the time
  // the queue takes on the line (ten bits a byte), then looks again. A
  // pseudo-terminal reports an empty queue at once. The floor keeps a
  // control byte's wait near its own line time (87 us at 115200 bit/s)
  // rather than a whole millisecond, which the line would spend idle.
  Wait WaitDrained(Clock::time_point deadline) override {
    const int queued = QueuedOut();
    if (queued <= 0) return Wait::kReady;
    const auto line_time = std::chrono::microseconds(std::int64_t{queued} * 10'000'000 / std::max(baud_rate_, 1));
    const auto until = std::min(deadline, Clock::now() + std::max(line_time, kDrainNapFloor));
    // Events 0: only a hang-up or an error ends the nap early.
    if (PollFor(fd_, 0, until) & (POLLHUP | POLLERR | POLLNVAL)) return Wait::kGone;
    return Clock::now() >= deadline ? Wait::kTimedOut : Wait::kReady;
  }

  int QueuedIn() override {
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 ? n : -1;
  }
  int QueuedOut() override {
    int n = 0;
    return ioctl(fd_, TIOCOUTQ, &n) == 0 ? n : -1;
  }
  void DiscardInput() override { tcflush(fd_, TCIFLUSH); }
  void DiscardOutput() override { tcflush(fd_, TCOFLUSH); }
  int NativeHandle() const override { return fd_; }

 private:
  const int fd_;
  const int baud_rate_;
};

}  // namespace

bool ApplyToTermios(const SerialSettings& s, termios& tio) {
  const auto speed = SpeedConstant(s.baud_rate);
  if (!speed) return false;
  const int data_bits = s.data_bits & 0xFF;
  tcflag_t size;
  switch (data_bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
  }

  // Raw bytes both ways; the line's own settings follow.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
  tio.c_iflag |= IGNBRK;
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, *speed);
  cfsetospeed(&tio, *speed);
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | size;

  switch (s.stop_bits) {
    case StopBits::kOne: tio.c_cflag &= ~CSTOPB; break;
    // With five data bits the UART makes one and a half of CSTOPB; with
    // more it cannot, and with five it cannot make two.
    case StopBits::kOneAndHalf:
      if (data_bits != 5) return false;
      tio.c_cflag |= CSTOPB;
      break;
    case StopBits::kTwo:
      if (data_bits == 5) return false;
      tio.c_cflag |= CSTOPB;
      break;
  }
  tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (s.parity) {
    case Parity::kNone: break;
    case Parity::kOdd: tio.c_cflag |= PARENB | PARODD; break;
    case Parity::kEven: tio.c_cflag |= PARENB; break;
    case Parity::kMark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::kSpace: tio.c_cflag |= PARENB | CMSPAR; break;
  }

  if (s.check_parity) tio.c_iflag |= INPCK;
  if (s.flow_control.xon_xoff_send) tio.c_iflag |= IXON;
  if (s.flow_control.xon_xoff_receive) tio.c_iflag |= IXOFF;
  if (s.flow_control.rts_cts) {
    tio.c_cflag |= CRTSCTS;
  } else {
    tio.c_cflag &= ~CRTSCTS;
  }
  if (s.xon_char != 0) tio.c_cc[VSTART] = static_cast<cc_t>(s.xon_char);
  if (s.xoff_char != 0) tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoff_char);
  return true;
}

std::unique_ptr<PortDevice> PortDevice::Open(const std::string& path, const SerialSettings& settings) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // flock holds against every other opener, root included; TIOCEXCL also
  // keeps out programs that never ask for a lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  ioctl(fd, TIOCEXCL);
  auto device = std::make_unique<TtyDevice>(fd, settings.baud_rate);

  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return nullptr;
  if (!ApplyToTermios(settings, tio)) return nullptr;
  // A pseudo-terminal drops what it cannot do (parity); never read back.
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return nullptr;

  if (!SetModemLine(fd, TIOCM_DTR, settings.raise_dtr)) return nullptr;
  if (!settings.flow_control.rts_cts && !SetModemLine(fd, TIOCM_RTS, settings.raise_rts)) return nullptr;
  return device;
}

}  // namespace mirvo::serial_internal
