#include "handset/sim_handset.h"

#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "handset/sim_handset_impl.h"

namespace mirvo::sim {
namespace {

namespace fs = std::filesystem;

bool MakeLink(const fs::path& link, const std::string& target) {
  std::error_code ec;
  fs::create_directories(link.parent_path(), ec);
  const auto status = fs::symlink_status(link, ec);
  if (fs::exists(status)) {
    if (!fs::is_symlink(status) || !fs::remove(link, ec)) return false;
  }
  fs::create_symlink(target, link, ec);
  return !ec;
}

// Ours to remove only while it still leads to our device.
void RemoveLink(const fs::path& link, const std::string& target) {
  std::error_code ec;
  if (fs::read_symlink(link, ec) == target) fs::remove(link, ec);
}

FrameFault FaultAt(FrameFault::Kind kind, int nth) {
  FrameFault fault;
  fault.kind = kind;
  fault.countdown = nth;
  return fault;
}

}  // namespace

SimHandset::Impl::Impl(std::filesystem::path root, HandsetOptions options)
    : options_(std::move(options)),
      files_(std::move(root)),
      send_pacer_(options_.bytes_per_second),
      receive_pacer_(options_.bytes_per_second) {
  if (options_.list_frame_bytes < 1 || options_.list_frame_bytes > 1024)
    throw std::invalid_argument("list_frame_bytes must be 1 to 1024");
  if (options_.bytes_per_second < 0) throw std::invalid_argument("bytes_per_second must not be negative");
  if (options_.wait.count() <= 0) throw std::invalid_argument("wait must be positive");

  if (!OpenLine()) throw std::runtime_error("no pseudo-terminal");
  wake_event_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_event_.IsOpen()) throw std::runtime_error("no eventfd");
  if (!options_.port_link.empty() && !MakeLink(options_.port_link, device_path_))
    throw std::runtime_error(options_.port_link.string() + " cannot be made: it exists and is no link, or cannot be written");
  thread_ = std::thread([this] { Serve(); });
}

SimHandset::Impl::~Impl() {
  stop_ = true;
  Wake();
  std::lock_guard lock(join_mutex_);
  if (thread_.joinable()) thread_.join();
  if (!options_.port_link.empty()) RemoveLink(options_.port_link, device_path_);
}

bool SimHandset::Impl::OpenLine() {
  int master = -1, slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  master_ = UniqueFd(master);
  slave_ = UniqueFd(slave);
  device_path_ = name;
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  return true;
}

void SimHandset::Impl::StopLine() {
  stop_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  // Marked before the descriptors go: State() looks at the master only while
  // not hung up, under the same lock.
  UpdateState([](HandsetState& s) {
    s.hung_up = true;
    s.link_up = false;
    s.session_open = false;
    s.busy = false;
  });
  master_.Reset();
  slave_.Reset();
}

void SimHandset::Impl::HangUp() {
  std::lock_guard lock(join_mutex_);
  StopLine();
}

void SimHandset::Impl::Unplug() {
  std::lock_guard lock(join_mutex_);
  // The link first, so that no name leads to a line on its way out.
  if (!options_.port_link.empty()) RemoveLink(options_.port_link, device_path_);
  StopLine();
}

bool SimHandset::Impl::Replug() {
  std::lock_guard lock(join_mutex_);
  if (master_.IsOpen()) return true;
  if (!OpenLine()) return false;
  if (!options_.port_link.empty() && !MakeLink(options_.port_link, device_path_)) {
    master_.Reset();
    slave_.Reset();
    return false;
  }
  // What the last serving thread held of its line means nothing on this one.
  input_.clear();
  input_pos_ = 0;
  modem_line_.clear();
  modem_line_too_long_ = false;
  echo_ = true;
  line_quiet_since_ = Clock::now();
  DrainWake();
  UpdateState([](HandsetState& s) {
    s.hung_up = false;
    s.link_up = false;
    s.session_open = false;
    s.busy = false;
  });
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}


SimHandset::SimHandset(std::filesystem::path root, HandsetOptions options)
    : impl_(std::make_unique<Impl>(std::move(root), std::move(options))) {}
SimHandset::~SimHandset() = default;

const std::string& SimHandset::DevicePath() const { return impl_->DevicePath(); }

void SimHandset::SetReply(std::string command, std::string text, int times) {
  impl_->SetReply(std::move(command), std::move(text), times);
}
void SimHandset::ClearReplies() { impl_->ClearReplies(); }

void SimHandset::CorruptCrc(int nth) { impl_->SetFrameFault(FaultAt(FrameFault::Kind::kCorruptCrc, nth)); }
void SimHandset::OversizeLength(int nth, std::uint16_t length, std::size_t bytes) {
  FrameFault fault = FaultAt(FrameFault::Kind::kOversize, nth);
  fault.length = length;
  fault.bytes = bytes;
  impl_->SetFrameFault(fault);
}
void SimHandset::SilenceFrom(std::size_t byte_k, int nth) {
  FrameFault fault = FaultAt(FrameFault::Kind::kSilence, nth);
  fault.bytes = byte_k;
  impl_->SetFrameFault(fault);
}
void SimHandset::FtEndInPlaceOf(int nth, bool stx_frame) {
  FrameFault fault = FaultAt(FrameFault::Kind::kFtEnd, nth);
  fault.stx = stx_frame;
  impl_->SetFrameFault(fault);
}
void SimHandset::GarbageBefore(int nth, std::string bytes) {
  FrameFault fault = FaultAt(FrameFault::Kind::kGarbage, nth);
  fault.garbage = std::move(bytes);
  impl_->SetFrameFault(fault);
}
void SimHandset::ClearFrameFault() { impl_->SetFrameFault(std::nullopt); }
void SimHandset::NakUploadFrame(int n) { impl_->NakUploadFrame(n); }
void SimHandset::SendFtEnd() { impl_->QueueAction({QueuedAction::Kind::kFtEnd, {}}); }
void SimHandset::SendGarbage(std::string bytes) {
  impl_->QueueAction({QueuedAction::Kind::kGarbage, std::move(bytes)});
}
void SimHandset::HangUp() { impl_->HangUp(); }
void SimHandset::Unplug() { impl_->Unplug(); }
bool SimHandset::Replug() { return impl_->Replug(); }

std::vector<std::string> SimHandset::Commands() const { return impl_->Commands(); }
std::string SimHandset::ReceivedBytes() const { return impl_->ReceivedBytes(); }
void SimHandset::ClearLog() { impl_->ClearLog(); }
HandsetState SimHandset::State() const { return impl_->State(); }
bool SimHandset::WaitFor(const std::function<bool(const HandsetState&)>& pred, std::chrono::milliseconds bound) const {
  return impl_->WaitFor(pred, bound);
}
bool SimHandset::WaitForCommand(std::string_view prefix, std::chrono::milliseconds bound) const {
  return impl_->WaitForCommand(prefix, bound);
}

}  // namespace mirvo::sim
