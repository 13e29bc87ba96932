#include "handset/sim_handset.h"

#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "handset/sim_handset_impl.h"

namespace mirvo::sim {

SimHandset::Impl::Impl(std::filesystem::path root, HandsetOptions options)
    : opt_(std::move(options)),
      fs_(std::move(root)),
      tx_pacer_(opt_.bytes_per_second),
      rx_pacer_(opt_.bytes_per_second) {
  if (opt_.list_frame_bytes < 1 || opt_.list_frame_bytes > 1024)
    throw std::invalid_argument("list_frame_bytes must be 1 to 1024");
  if (opt_.bytes_per_second < 0) throw std::invalid_argument("bytes_per_second must not be negative");
  if (opt_.wait.count() <= 0) throw std::invalid_argument("wait must be positive");

  int master = -1, slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("no pseudo-terminal");
  master_ = Fd(master);
  slave_keep_ = Fd(slave);
  device_path_ = name;
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  wake_ = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_.valid()) throw std::runtime_error("no eventfd");
  thread_ = std::thread([this] { Serve(); });
}

SimHandset::Impl::~Impl() {
  stop_ = true;
  Wake();
  std::lock_guard lock(join_mu_);
  if (thread_.joinable()) thread_.join();
}

void SimHandset::Impl::HangUp() {
  stop_ = true;
  Wake();
  std::lock_guard lock(join_mu_);
  if (thread_.joinable()) thread_.join();
  // Marked before the descriptors go: State() looks at the master only while
  // not hung up, under the same lock.
  Update([](HandsetState& s) {
    s.hung_up = true;
    s.link_up = false;
    s.session_open = false;
    s.busy = false;
  });
  master_.Reset();
  slave_keep_.Reset();
}


SimHandset::SimHandset(std::filesystem::path root, HandsetOptions options)
    : impl_(std::make_unique<Impl>(std::move(root), std::move(options))) {}
SimHandset::~SimHandset() = default;

const std::string& SimHandset::DevicePath() const { return impl_->device_path(); }

void SimHandset::SetReply(std::string command, std::string text, int times) {
  impl_->SetReply(std::move(command), std::move(text), times);
}
void SimHandset::ClearReplies() { impl_->ClearReplies(); }

void SimHandset::CorruptCrc(int nth) {
  FrameFault f;
  f.kind = FrameFault::Kind::kCorruptCrc;
  f.countdown = nth;
  impl_->SetFrameFault(f);
}
void SimHandset::OversizeLength(int nth, std::uint16_t length, std::size_t bytes) {
  FrameFault f;
  f.kind = FrameFault::Kind::kOversize;
  f.countdown = nth;
  f.length = length;
  f.bytes = bytes;
  impl_->SetFrameFault(f);
}
void SimHandset::SilenceFrom(std::size_t byte_k, int nth) {
  FrameFault f;
  f.kind = FrameFault::Kind::kSilence;
  f.countdown = nth;
  f.bytes = byte_k;
  impl_->SetFrameFault(f);
}
void SimHandset::FtEndInPlaceOf(int nth, bool stx_frame) {
  FrameFault f;
  f.kind = FrameFault::Kind::kFtEnd;
  f.countdown = nth;
  f.stx = stx_frame;
  impl_->SetFrameFault(f);
}
void SimHandset::GarbageBefore(int nth, std::string bytes) {
  FrameFault f;
  f.kind = FrameFault::Kind::kGarbage;
  f.countdown = nth;
  f.garbage = std::move(bytes);
  impl_->SetFrameFault(f);
}
void SimHandset::ClearFrameFault() { impl_->SetFrameFault(std::nullopt); }
void SimHandset::NakUploadFrame(int n) { impl_->NakUploadFrame(n); }
void SimHandset::SendFtEnd() { impl_->Queue({Action::Kind::kFtEnd, {}}); }
void SimHandset::SendGarbage(std::string bytes) { impl_->Queue({Action::Kind::kGarbage, std::move(bytes)}); }
void SimHandset::HangUp() { impl_->HangUp(); }

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
