// The simulated handset's side of the line: reading with the wait for each
// byte, writing paced like a real line, and the wake-up that stops it.
#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "handset/sim_handset_impl.h"

namespace mirvo::sim {
namespace {

int PollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

}  // namespace

SimHandset::Impl::FillOutcome SimHandset::Impl::FillInput(std::optional<Clock::time_point> deadline,
                                                          bool wake_on_action) {
  char buf[4096];
  for (;;) {
    ThrowIfStopping();
    if (wake_on_action) {
      std::lock_guard lock(mutex_);
      if (!actions_.empty()) return FillOutcome::kAction;
    }
    const std::size_t want =
        std::min(sizeof buf, receive_pacer_.IsEnabled() ? receive_pacer_.ChunkBytes() : sizeof buf);
    ssize_t n;
    {
      // Under the lock, so that State() never sees the bytes neither in the
      // terminal nor taken up.
      std::lock_guard lock(mutex_);
      n = ::read(master_.Get(), buf, want);
      if (n > 0) {
        state_.busy = true;
        if (options_.record_bytes) received_.append(buf, static_cast<std::size_t>(n));
      }
    }
    if (n > 0) {
      if (receive_pacer_.IsEnabled()) {
        // Bytes that were waiting crossed the line right after the quiet
        // moment last seen; the handset may not see them before they have.
        const auto crossed = receive_pacer_.Schedule(static_cast<std::size_t>(n), line_quiet_since_);
        if (static_cast<std::size_t>(n) < want) line_quiet_since_ = Clock::now();
        WaitUntil(crossed);
      }
      if (input_pos_ >= input_.size()) {
        input_.clear();
        input_pos_ = 0;
      }
      input_.append(buf, static_cast<std::size_t>(n));
      return FillOutcome::kData;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      UpdateState([](HandsetState& s) { s.hung_up = true; });
      throw StopServing{};
    }
    if (errno == EINTR) continue;
    line_quiet_since_ = Clock::now();
    if (deadline && Clock::now() >= *deadline) return FillOutcome::kTimeout;
    pollfd fds[2] = {{master_.Get(), POLLIN, 0}, {wake_event_.Get(), POLLIN, 0}};
    const int r = ::poll(fds, 2, deadline ? PollTimeout(*deadline) : -1);
    if (r < 0 && errno != EINTR) throw StopServing{};
    if (fds[1].revents & POLLIN) DrainWake();
    if (fds[0].revents & POLLIN) line_quiet_since_ = Clock::now();
  }
}

std::optional<unsigned char> SimHandset::Impl::NextByte(std::optional<std::chrono::milliseconds> wait) {
  const auto deadline = Clock::now() + wait.value_or(options_.wait);
  while (input_pos_ >= input_.size())
    if (FillInput(deadline, false) == FillOutcome::kTimeout) return std::nullopt;
  return static_cast<unsigned char>(input_[input_pos_++]);
}

// Each byte within the wait; the wait restarts whenever bytes come.
bool SimHandset::Impl::ReadExact(std::size_t n, std::string& out, std::optional<std::chrono::milliseconds> wait) {
  out.clear();
  out.reserve(n);
  while (out.size() < n) {
    if (input_pos_ >= input_.size() &&
        FillInput(Clock::now() + wait.value_or(options_.wait), false) == FillOutcome::kTimeout)
      return false;
    const std::size_t take = std::min(n - out.size(), input_.size() - input_pos_);
    out.append(input_, input_pos_, take);
    input_pos_ += take;
  }
  return true;
}

bool SimHandset::Impl::InputWaiting() {
  return input_pos_ < input_.size() || FillInput(Clock::now(), false) == FillOutcome::kData;
}

void SimHandset::Impl::WaitUntil(Clock::time_point t) {
  for (;;) {
    ThrowIfStopping();
    const auto now = Clock::now();
    if (now >= t) return;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
    const timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    pollfd fd{wake_event_.Get(), POLLIN, 0};
    if (::ppoll(&fd, 1, &ts, nullptr) > 0) DrainWake();
  }
}

// False when the PC has not taken a byte for the whole wait, or (when asked)
// as soon as the PC sends something.
bool SimHandset::Impl::WriteAll(std::string_view bytes, bool stop_on_input) {
  auto deadline = Clock::now() + options_.wait;
  while (!bytes.empty()) {
    ThrowIfStopping();
    if (stop_on_input && InputWaiting()) return false;
    const ssize_t n = ::write(master_.Get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      deadline = Clock::now() + options_.wait;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) {
      UpdateState([](HandsetState& s) { s.hung_up = true; });
      throw StopServing{};
    }
    if (Clock::now() >= deadline) return false;
    pollfd fds[2] = {{master_.Get(), static_cast<short>(POLLOUT | (stop_on_input ? POLLIN : 0)), 0},
                     {wake_event_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, PollTimeout(deadline)) < 0 && errno != EINTR) throw StopServing{};
    if (fds[1].revents & POLLIN) DrainWake();
  }
  return true;
}

bool SimHandset::Impl::Send(std::string_view bytes, bool continuing, bool stop_on_input) {
  bool first = true;
  while (!bytes.empty()) {
    const std::size_t n = send_pacer_.IsEnabled() ? std::min(send_pacer_.ChunkBytes(), bytes.size()) : bytes.size();
    if (send_pacer_.IsEnabled()) {
      // A chunk is handed over when a real line would have delivered its
      // last byte; a reply after a quiet line starts from now.
      const auto start = continuing || !first ? send_pacer_.FreeAt() : Clock::now();
      WaitUntil(send_pacer_.Schedule(n, start));
    }
    if (!WriteAll(bytes.substr(0, n), stop_on_input)) return false;
    bytes.remove_prefix(n);
    first = false;
  }
  return true;
}

}  // namespace mirvo::sim
