// The event wait on a tty: epoll, edge-triggered so that only bytes that
// newly arrived count, an eventfd to stop, and the modem lines or their
// change counters sampled where the device has them (a pseudo-terminal has
// neither). TIOCMIWAIT is not used: it cannot be woken to stop.
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/unique_fd.h"
#include "serial/port_event_thread.h"
#include "serial/line_event_waiter.h"

namespace mirvo::serial_internal {
namespace {

using namespace line_event;

constexpr int kSampleMs = 20;
constexpr std::uint32_t kModemEvents = kCtsChanged | kDsrChanged | kRing | kBreak;

enum Tag : std::uint32_t { kTagWake, kTagKick, kTagData, kTagOut };

class EpollWaiter final : public LineEventWaiter {
 public:
  EpollWaiter(int fd, std::uint32_t watched)
      : fd_(fd),
        watched_(watched),
        epoll_(epoll_create1(EPOLL_CLOEXEC)),
        wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        kick_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        out_((watched & kSendQueueEmpty) ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1) {}

  bool Init() {
    if (!epoll_.IsOpen() || !wake_.IsOpen() || !kick_.IsOpen()) return false;
    if (!Add(wake_.Get(), EPOLLIN, kTagWake) || !Add(kick_.Get(), EPOLLIN, kTagKick)) return false;
    // Bytes already queued count once, at registration.
    if ((watched_ & (kBytesReceived | kEventChar | kHangUp)) && !Add(fd_, EPOLLIN | EPOLLET, kTagData)) return false;
    // A separate descriptor, so that a send-side wake-up never reports the
    // receive side as well.
    if (watched_ & kSendQueueEmpty) {
      if (!out_.IsOpen() || !Add(out_.Get(), EPOLLOUT | EPOLLET, kTagOut)) return false;
    }
    if (watched_ & kModemEvents) {
      if (ioctl(fd_, TIOCGICOUNT, &counts_) == 0) {
        lines_ = Lines::kCounters;
      } else if ((watched_ & (kCtsChanged | kDsrChanged | kRing)) && ioctl(fd_, TIOCMGET, &modem_) == 0) {
        lines_ = Lines::kModem;
      }
    }
    return true;
  }

  bool Wait(std::uint32_t& events) override {
    // kBytesReceived also stands for "bytes came" when only the event
    // character is watched; the dispatch looks for it in them.
    const std::uint32_t report = watched_ | ((watched_ & kEventChar) ? kBytesReceived : 0);
    while (true) {
      const bool sampling = lines_ != Lines::kNone || (watching_tx_ && tx_pending_.load());
      epoll_event evs[4];
      const int n = epoll_wait(epoll_.Get(), evs, 4, sampling ? kSampleMs : -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      std::uint32_t got = 0;
      bool gone = false;
      for (int i = 0; i < n; ++i) {
        switch (evs[i].data.u32) {
          case kTagWake: return false;  // left signalled: every later Wait ends too
          case kTagKick: {
            std::uint64_t v;
            while (read(kick_.Get(), &v, sizeof v) > 0) {
            }
            break;
          }
          case kTagData:
            // A hung-up tty reports itself readable; there is nothing to read.
            if (evs[i].events & (EPOLLHUP | EPOLLERR)) {
              gone = true;
            } else if (evs[i].events & EPOLLIN) {
              got |= kBytesReceived;
            }
            break;
          case kTagOut:
            if (evs[i].events & (EPOLLHUP | EPOLLERR)) gone = true;
            break;
        }
      }
      if (gone) {
        Unwatch();
        got |= kHangUp;
      }
      got |= SampleLines();
      if (watching_tx_ && tx_pending_.load()) {
        int queued = 0;
        if ((ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued == 0) && tx_pending_.exchange(false)) got |= kSendQueueEmpty;
      }
      got &= report;
      if (got != 0) {
        events = got;
        return true;
      }
    }
  }

  void Wake() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = write(wake_.Get(), &one, sizeof one);
  }

  void NoteWrite() override {
    if (!(watched_ & kSendQueueEmpty)) return;
    tx_pending_.store(true);
    // Let a wait that blocks without limit start sampling the send queue.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = write(kick_.Get(), &one, sizeof one);
  }

 private:
  enum class Lines { kNone, kCounters, kModem };

  bool Add(int fd, std::uint32_t events, Tag tag) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = tag;
    return epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) == 0;
  }

  // A device that went away reports nothing more; without this an
  // edge-triggered hang-up could still wake the loop on every poll.
  void Unwatch() {
    epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd_, nullptr);
    if (out_.IsOpen()) epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, out_.Get(), nullptr);
    lines_ = Lines::kNone;
    watching_tx_ = false;
  }

  std::uint32_t SampleLines() {
    std::uint32_t got = 0;
    if (lines_ == Lines::kCounters) {
      serial_icounter_struct now{};
      if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
        lines_ = Lines::kNone;
        return 0;
      }
      if (now.cts != counts_.cts) got |= kCtsChanged;
      if (now.dsr != counts_.dsr) got |= kDsrChanged;
      if (now.rng != counts_.rng) got |= kRing;
      if (now.brk != counts_.brk) got |= kBreak;
      counts_ = now;
    } else if (lines_ == Lines::kModem) {
      int now = 0;
      if (ioctl(fd_, TIOCMGET, &now) != 0) {
        lines_ = Lines::kNone;
        return 0;
      }
      const int changed = now ^ modem_;
      if (changed & TIOCM_CTS) got |= kCtsChanged;
      if (changed & TIOCM_DSR) got |= kDsrChanged;
      if (changed & TIOCM_RNG) got |= kRing;
      modem_ = now;
    }
    return got;
  }

  const int fd_;  // not owned
  const std::uint32_t watched_;
  UniqueFd epoll_, wake_, kick_, out_;
  Lines lines_ = Lines::kNone;
  serial_icounter_struct counts_{};
  int modem_ = 0;
  bool watching_tx_ = (watched_ & kSendQueueEmpty) != 0;
  std::atomic<bool> tx_pending_{false};
};

}  // namespace

std::unique_ptr<LineEventWaiter> LineEventWaiter::Create(int handle, std::uint32_t watched) {
  auto waiter = std::make_unique<EpollWaiter>(handle, watched);
  if (!waiter->Init()) return nullptr;
  return waiter;
}

}  // namespace mirvo::serial_internal
