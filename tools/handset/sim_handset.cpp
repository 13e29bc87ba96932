#include "handset/sim_handset.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "handset/sim_fs.h"
#include "handset/sim_wire.h"
#include "text/cp932.h"

namespace mirvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Unwinds the serving thread when it is told to stop or the line fails.
struct Stopped {};

constexpr std::size_t kFileFrameBytes = 1024;
constexpr std::size_t kModemLineLimit = 256;
constexpr std::int64_t kMaxPutSize = 0x7FFFFFFF;  // the PC sends a 32-bit signed size

struct FrameFault {
  enum class Kind { kCorruptCrc, kOversize, kSilence, kFtEnd, kGarbage };
  Kind kind = Kind::kCorruptCrc;
  int countdown = 1;
  std::uint16_t length = 0;
  std::size_t bytes = 0;
  bool stx = false;
  std::string garbage;
};

struct Action {
  enum class Kind { kFtEnd, kGarbage };
  Kind kind;
  std::string bytes;
};

struct CommandEntry {
  std::uint64_t id;
  std::string text;
  bool done = false;
};

int PollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

// "NAME[arg]": arg between the first "[" and a closing "]" at the very end.
bool SplitCommand(std::string_view text, std::string& name, std::string& arg, bool& has_arg) {
  const auto open = text.find('[');
  has_arg = open != std::string_view::npos;
  name = std::string(text.substr(0, open));
  arg.clear();
  if (!has_arg) return true;
  if (text.back() != ']') return false;
  arg = std::string(text.substr(open + 1, text.size() - open - 2));
  return true;
}

bool ParseSize(std::string_view s, std::int64_t& out) {
  if (s.empty() || s.size() > 10) return false;
  out = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return out <= kMaxPutSize;
}

std::string StripLineEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

class SimHandset::Impl {
 public:
  Impl(std::filesystem::path root, HandsetOptions options);
  ~Impl();

  const std::string& device_path() const { return device_path_; }

  void SetReply(std::string command, std::string text, int times) {
    std::lock_guard lock(mu_);
    replies_[std::move(command)] = {std::move(text), times};
  }
  void ClearReplies() {
    std::lock_guard lock(mu_);
    replies_.clear();
  }
  void SetFrameFault(std::optional<FrameFault> fault) {
    std::lock_guard lock(mu_);
    frame_fault_ = std::move(fault);
  }
  void NakUploadFrame(int n) {
    std::lock_guard lock(mu_);
    nak_upload_frame_ = n;
  }
  void Queue(Action action) {
    {
      std::lock_guard lock(mu_);
      actions_.push_back(std::move(action));
    }
    Wake();
  }
  void HangUp();

  std::vector<std::string> Commands() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const auto& c : commands_) out.push_back(c.text);
    return out;
  }
  std::string ReceivedBytes() const {
    std::lock_guard lock(mu_);
    return received_;
  }
  void ClearLog() {
    std::lock_guard lock(mu_);
    commands_.clear();
    received_.clear();
  }
  HandsetState State() const {
    std::lock_guard lock(mu_);
    return StateLocked();
  }
  bool WaitFor(const std::function<bool(const HandsetState&)>& pred, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, bound, [&] { return pred(StateLocked()); });
  }
  bool WaitForCommand(std::string_view prefix, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, bound, [&] {
      return std::any_of(commands_.begin(), commands_.end(), [&](const CommandEntry& c) {
        return c.done && std::string_view(c.text).substr(0, prefix.size()) == prefix;
      });
    });
  }

 private:
  enum class Fill { kData, kTimeout, kAction };
  // kStop: a fault ends the exchange here; kCut: the PC spoke up or stopped
  // reading, and the exchange ends.
  enum class Sent { kOn, kStop, kCut };
  enum class Body { kOk, kBadCrc, kTimeout };
  enum class Next { kOk, kDone, kData };
  // What the PC does after a reply it does not know, and so the handset too.
  enum class Other { kAck, kNothing, kData };

  HandsetState StateLocked() const {
    HandsetState s = state_;
    // Bytes from the PC not read yet count as work: a test that has just
    // sent its last byte must not see the handset idle before it took it.
    int unread = 0;
    if (!state_.hung_up) ::ioctl(master_.get(), FIONREAD, &unread);
    s.busy = state_.busy || !actions_.empty() || unread > 0;
    return s;
  }
  template <class F>
  void Update(F&& change) {
    {
      std::lock_guard lock(mu_);
      change(state_);
    }
    cv_.notify_all();
  }
  bool LinkUp() const { return State().link_up; }
  bool SessionOpen() const { return State().session_open; }

  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_.get(), &one, sizeof one);
  }
  void DrainWake() {
    std::uint64_t value;
    [[maybe_unused]] const auto n = ::read(wake_.get(), &value, sizeof value);
  }
  void CheckStop() const {
    if (stop_.load()) throw Stopped{};
  }

  // --- Line ---
  Fill FillInput(std::optional<Clock::time_point> deadline, bool wake_on_action);
  std::optional<unsigned char> NextByte();
  bool ReadExact(std::size_t n, std::string& out);
  void Unread() { --in_pos_; }
  bool InputWaiting();
  void WaitUntil(Clock::time_point t);
  bool WriteAll(std::string_view bytes, bool stop_on_input);
  bool Send(std::string_view bytes, bool continuing = false, bool stop_on_input = false);
  bool SendControl(unsigned char c) { return Send(std::string(1, static_cast<char>(c))); }

  // --- Protocol ---
  void Serve();
  void RunActions();
  void HandleIdleByte(unsigned char b);
  std::uint64_t BeginCommand(const std::string& text);  // logs it
  void EndCommand(std::uint64_t id);                     // its exchange is over
  void HandleModemByte(unsigned char b);
  void HandleModemLine(const std::string& raw);
  void HandleFrame(unsigned char type);
  void HandleCommand(const std::string& text);
  void CommandFtStart(bool has_arg, const std::string& arg, const std::optional<std::string>& forced);
  void CommandGetList(bool plain, const std::optional<std::string>& forced);
  void CommandGetFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced);
  void CommandPutFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced);
  void CommandDel(bool has_arg, const std::string& arg, const std::optional<std::string>& forced);
  void ReceiveUpload(HandsetFs::Upload* upload, std::int64_t size, int nak_at);

  Body ReadFrameBody(std::string& data);
  Sent SendFrame(unsigned char type, std::string_view data, bool continuing = false, bool faults = true,
                 bool interruptible = false);
  Sent SendText(std::string_view text, bool continuing = false) {
    return SendFrame(kEtx, std::string(text) + "\r\n", continuing);
  }
  bool SendData(std::string_view data, std::size_t frame_bytes);
  Next Reply(const std::string& reply, Other other);
  bool ExpectByte(unsigned char want);
  bool ExpectOkFrame();
  void FinishDownload();
  void HandsetEnd(unsigned char type, bool faults);
  std::optional<std::string> TakeReply(const std::string& name);
  std::optional<FrameFault> TakeFrameFault();

  const HandsetOptions opt_;
  HandsetFs fs_;
  Fd master_, slave_keep_, wake_;
  std::string device_path_;

  // Serving thread only.
  LinePacer tx_pacer_, rx_pacer_;
  Clock::time_point rx_quiet_since_ = Clock::now();
  std::string in_buf_;
  std::size_t in_pos_ = 0;
  std::string line_;
  bool line_overflow_ = false;
  bool echo_ = true;

  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  HandsetState state_;
  std::map<std::string, std::pair<std::string, int>> replies_;
  std::optional<FrameFault> frame_fault_;
  int nak_upload_frame_ = 0;
  std::deque<Action> actions_;
  std::vector<CommandEntry> commands_;
  std::uint64_t next_command_id_ = 0;
  std::string received_;

  std::mutex join_mu_;
  std::thread thread_;  // last: starts once everything above exists
};

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

// ---------------------------------------------------------------- line

SimHandset::Impl::Fill SimHandset::Impl::FillInput(std::optional<Clock::time_point> deadline, bool wake_on_action) {
  char buf[4096];
  for (;;) {
    CheckStop();
    if (wake_on_action) {
      std::lock_guard lock(mu_);
      if (!actions_.empty()) return Fill::kAction;
    }
    const std::size_t want = std::min(sizeof buf, rx_pacer_.enabled() ? rx_pacer_.chunk_bytes() : sizeof buf);
    ssize_t n;
    {
      // Under the lock, so that State() never sees the bytes neither in the
      // terminal nor taken up.
      std::lock_guard lock(mu_);
      n = ::read(master_.get(), buf, want);
      if (n > 0) {
        state_.busy = true;
        if (opt_.record_bytes) received_.append(buf, static_cast<std::size_t>(n));
      }
    }
    if (n > 0) {
      if (rx_pacer_.enabled()) {
        // Bytes that were waiting crossed the line right after the quiet
        // moment last seen; the handset may not see them before they have.
        const auto crossed = rx_pacer_.Schedule(static_cast<std::size_t>(n), rx_quiet_since_);
        if (static_cast<std::size_t>(n) < want) rx_quiet_since_ = Clock::now();
        WaitUntil(crossed);
      }
      if (in_pos_ >= in_buf_.size()) {
        in_buf_.clear();
        in_pos_ = 0;
      }
      in_buf_.append(buf, static_cast<std::size_t>(n));
      return Fill::kData;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      Update([](HandsetState& s) { s.hung_up = true; });
      throw Stopped{};
    }
    if (errno == EINTR) continue;
    rx_quiet_since_ = Clock::now();
    if (deadline && Clock::now() >= *deadline) return Fill::kTimeout;
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    const int r = ::poll(fds, 2, deadline ? PollTimeout(*deadline) : -1);
    if (r < 0 && errno != EINTR) throw Stopped{};
    if (fds[1].revents & POLLIN) DrainWake();
    if (fds[0].revents & POLLIN) rx_quiet_since_ = Clock::now();
  }
}

std::optional<unsigned char> SimHandset::Impl::NextByte() {
  const auto deadline = Clock::now() + opt_.wait;
  while (in_pos_ >= in_buf_.size())
    if (FillInput(deadline, false) == Fill::kTimeout) return std::nullopt;
  return static_cast<unsigned char>(in_buf_[in_pos_++]);
}

// Each byte within the wait; the wait restarts whenever bytes come.
bool SimHandset::Impl::ReadExact(std::size_t n, std::string& out) {
  out.clear();
  out.reserve(n);
  while (out.size() < n) {
    if (in_pos_ >= in_buf_.size() && FillInput(Clock::now() + opt_.wait, false) == Fill::kTimeout) return false;
    const std::size_t take = std::min(n - out.size(), in_buf_.size() - in_pos_);
    out.append(in_buf_, in_pos_, take);
    in_pos_ += take;
  }
  return true;
}

bool SimHandset::Impl::InputWaiting() {
  return in_pos_ < in_buf_.size() || FillInput(Clock::now(), false) == Fill::kData;
}

void SimHandset::Impl::WaitUntil(Clock::time_point t) {
  for (;;) {
    CheckStop();
    const auto now = Clock::now();
    if (now >= t) return;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
    const timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    pollfd fd{wake_.get(), POLLIN, 0};
    if (::ppoll(&fd, 1, &ts, nullptr) > 0) DrainWake();
  }
}

// False when the PC has not taken a byte for the whole wait, or (when asked)
// as soon as the PC sends something.
bool SimHandset::Impl::WriteAll(std::string_view bytes, bool stop_on_input) {
  auto deadline = Clock::now() + opt_.wait;
  while (!bytes.empty()) {
    CheckStop();
    if (stop_on_input && InputWaiting()) return false;
    const ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      deadline = Clock::now() + opt_.wait;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) {
      Update([](HandsetState& s) { s.hung_up = true; });
      throw Stopped{};
    }
    if (Clock::now() >= deadline) return false;
    pollfd fds[2] = {{master_.get(), static_cast<short>(POLLOUT | (stop_on_input ? POLLIN : 0)), 0},
                     {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, PollTimeout(deadline)) < 0 && errno != EINTR) throw Stopped{};
    if (fds[1].revents & POLLIN) DrainWake();
  }
  return true;
}

bool SimHandset::Impl::Send(std::string_view bytes, bool continuing, bool stop_on_input) {
  bool first = true;
  while (!bytes.empty()) {
    const std::size_t n = tx_pacer_.enabled() ? std::min(tx_pacer_.chunk_bytes(), bytes.size()) : bytes.size();
    if (tx_pacer_.enabled()) {
      // A chunk is handed over when a real line would have delivered its
      // last byte; a reply after a quiet line starts from now.
      const auto start = continuing || !first ? tx_pacer_.free_at() : Clock::now();
      WaitUntil(tx_pacer_.Schedule(n, start));
    }
    if (!WriteAll(bytes.substr(0, n), stop_on_input)) return false;
    bytes.remove_prefix(n);
    first = false;
  }
  return true;
}

// ---------------------------------------------------------------- serving

void SimHandset::Impl::Serve() {
  try {
    for (;;) {
      RunActions();
      if (in_pos_ >= in_buf_.size()) {
        Update([](HandsetState& s) { s.busy = false; });
        if (FillInput(std::nullopt, true) != Fill::kData) continue;  // marks busy again
      }
      HandleIdleByte(static_cast<unsigned char>(in_buf_[in_pos_++]));
    }
  } catch (const Stopped&) {
  }
}

void SimHandset::Impl::RunActions() {
  for (;;) {
    Action action;
    {
      std::lock_guard lock(mu_);
      if (actions_.empty()) return;
      action = std::move(actions_.front());
      actions_.pop_front();
      state_.busy = true;
    }
    if (action.kind == Action::Kind::kFtEnd)
      HandsetEnd(kEtx, true);
    else
      Send(action.bytes);
  }
}

void SimHandset::Impl::HandleIdleByte(unsigned char b) {
  switch (b) {
    // State first: a test that has seen the ACK may rely on it.
    case kEnq:
      line_.clear();
      Update([](HandsetState& s) { s.link_up = true; });
      SendControl(kAck);
      return;
    case kEot:
      line_.clear();
      Update([](HandsetState& s) { s.link_up = false; });
      SendControl(kAck);
      return;
    case kAck:
    case kNak:
      return;  // late answer to an exchange already given up
    case kStx:
    case kEtx:
      line_.clear();
      HandleFrame(b);
      return;
    default:
      HandleModemByte(b);
  }
}

std::uint64_t SimHandset::Impl::BeginCommand(const std::string& text) {
  std::uint64_t id;
  {
    std::lock_guard lock(mu_);
    id = next_command_id_++;
    commands_.push_back({id, text, false});
  }
  if (opt_.on_command) opt_.on_command(text);
  return id;
}

void SimHandset::Impl::EndCommand(std::uint64_t id) {
  Update([&](HandsetState& s) {
    ++s.commands_done;
    for (auto& c : commands_)
      if (c.id == id) c.done = true;
  });
}

void SimHandset::Impl::HandleModemByte(unsigned char b) {
  if (b == '\n') {
    std::string line = std::move(line_);
    line_.clear();
    if (!line_overflow_) HandleModemLine(line + "\n");
    line_overflow_ = false;
    return;
  }
  if (line_.size() >= kModemLineLimit) {
    line_overflow_ = true;
    line_.clear();
    return;
  }
  if (!line_overflow_) line_.push_back(static_cast<char>(b));
}

void SimHandset::Impl::HandleModemLine(const std::string& raw) {
  const std::string command(text::TrimBlanks(raw));
  if (command.size() < 2 || std::toupper(static_cast<unsigned char>(command[0])) != 'A' ||
      std::toupper(static_cast<unsigned char>(command[1])) != 'T')
    return;  // not for the modem
  const std::uint64_t id = BeginCommand(command);
  std::string upper = command;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string out = echo_ ? raw : std::string();
  if (upper == "AT" || upper == "ATZ" || upper == "ATE0" || upper == "ATE1") {
    out += "\r\nOK\r\n";
    if (upper == "ATZ") {
      echo_ = true;
      Update([](HandsetState& s) {
        s.link_up = false;
        s.session_open = false;
      });
    }
    if (upper == "ATE0") echo_ = false;
    if (upper == "ATE1") echo_ = true;
  } else if (upper == "ATI3") {
    out += "\r\n" + opt_.vendor + "\r\n\r\nOK\r\n";
  } else if (upper == "ATI4") {
    out += "\r\n" + opt_.model + "\r\n\r\nOK\r\n";
  } else {
    out += "\r\nERROR\r\n";
  }
  switch (opt_.modem) {
    case ModemMode::kAnswer:
      Send(out);
      break;
    case ModemMode::kSilent:
      break;
    case ModemMode::kEndless: {
      std::string stream;
      while (stream.size() < 256) stream += opt_.vendor.empty() ? std::string("?") : opt_.vendor;
      // Paced from now, not from whenever the line was last busy.
      for (bool first = true; Send(stream, !first, true); first = false) {
      }
      break;
    }
  }
  EndCommand(id);
}

SimHandset::Impl::Body SimHandset::Impl::ReadFrameBody(std::string& data) {
  std::string field;
  if (!ReadExact(2, field)) return Body::kTimeout;
  const std::size_t n = static_cast<unsigned char>(field[0]) << 8 | static_cast<unsigned char>(field[1]);
  if (!ReadExact(n, data) || !ReadExact(2, field)) return Body::kTimeout;
  const std::uint16_t crc =
      static_cast<std::uint16_t>(static_cast<unsigned char>(field[0]) << 8 | static_cast<unsigned char>(field[1]));
  return crc == FrameCrc(data) ? Body::kOk : Body::kBadCrc;
}

void SimHandset::Impl::HandleFrame(unsigned char type) {
  std::string data;
  const Body body = ReadFrameBody(data);
  if (body == Body::kTimeout || !LinkUp()) return;  // no link: nobody is talking to us
  if (body == Body::kBadCrc) {
    SendControl(kNak);
    Update([](HandsetState& s) { ++s.naks_sent; });
    return;
  }
  if (type == kStx) return;  // data, but no transfer runs
  HandleCommand(StripLineEnd(data));
}

std::optional<std::string> SimHandset::Impl::TakeReply(const std::string& name) {
  std::lock_guard lock(mu_);
  auto it = replies_.find(name);
  if (it == replies_.end()) it = replies_.find("*");
  if (it == replies_.end()) return std::nullopt;
  std::string text = it->second.first;
  if (it->second.second > 0 && --it->second.second == 0) replies_.erase(it);  // < 1: until cleared
  if (text == "OK") return std::nullopt;
  return text;
}

std::optional<FrameFault> SimHandset::Impl::TakeFrameFault() {
  std::lock_guard lock(mu_);
  if (!frame_fault_ || --frame_fault_->countdown > 0) return std::nullopt;
  auto fault = std::move(frame_fault_);
  frame_fault_.reset();
  return fault;
}

void SimHandset::Impl::HandleCommand(const std::string& text) {
  struct Done {
    Impl& self;
    std::uint64_t id;
    ~Done() { self.EndCommand(id); }
  } done{*this, BeginCommand(text)};

  if (!SendControl(kAck)) return;
  std::string name, arg;
  bool has_arg = false;
  const bool well_formed = SplitCommand(text, name, arg, has_arg);
  const auto forced = TakeReply(name);
  if (!well_formed) {
    Reply(forced.value_or("ERROR"), Other::kNothing);
  } else if (name == "FT_START") {
    CommandFtStart(has_arg, arg, forced);
  } else if (name == "GET_LIST") {
    CommandGetList(!has_arg, forced);
  } else if (name == "GET_FILE") {
    CommandGetFile(has_arg, arg, forced);
  } else if (name == "PUT_FILE") {
    CommandPutFile(has_arg, arg, forced);
  } else if (name == "DEL") {
    CommandDel(has_arg, arg, forced);
  } else if (name == "FT_END" && !has_arg) {
    const std::string reply = forced.value_or("OK");
    if (reply == "OK") Update([](HandsetState& s) { s.session_open = false; });
    if (Reply(reply, Other::kAck) == Next::kOk) ExpectByte(kAck);
  } else {
    Reply(forced.value_or("ERROR"), Other::kNothing);
  }
}

void SimHandset::Impl::CommandFtStart(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  const std::string reply = forced.value_or(has_arg && arg == opt_.password ? "OK" : "ERROR");
  if (reply == "OK") Update([](HandsetState& s) { s.session_open = true; });
  if (Reply(reply, Other::kAck) == Next::kOk) ExpectByte(kAck);
}

void SimHandset::Impl::CommandGetList(bool plain, const std::optional<std::string>& forced) {
  const bool ok = plain && SessionOpen();
  const std::string reply = forced.value_or(ok ? "OK" : "ERROR");
  std::string list = reply == "OK" ? fs_.ListText() : std::string();
  if (list.empty()) list = "\r\n";  // a frame with no data would be refused
  if (Reply(reply, Other::kNothing) != Next::kOk || !ExpectByte(kAck)) return;
  if (SendData(list, static_cast<std::size_t>(opt_.list_frame_bytes))) FinishDownload();
}

void SimHandset::Impl::CommandGetFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string data;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (has_arg && SessionOpen()) result = fs_.ReadFile(arg, kHandsetSeparator, data);
  const std::string own = result == HandsetFs::Result::kOk            ? "OK"
                          : result == HandsetFs::Result::kCopyGuarded ? "REJ"
                                                                      : "ERROR";
  const Next next = Reply(forced.value_or(own), Other::kData);
  if (next == Next::kDone || (next == Next::kOk && !ExpectByte(kAck))) return;
  if (result != HandsetFs::Result::kOk) return;  // another text forced, and nothing to send
  if (SendData(data, kFileFrameBytes)) FinishDownload();
}

void SimHandset::Impl::CommandPutFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  // name,size,flags; the name cannot hold "," (no list line could carry it).
  std::int64_t size = 0;
  const auto c1 = arg.find(',');
  const auto c2 = c1 == std::string::npos ? c1 : arg.find(',', c1 + 1);
  const bool parsed = has_arg && c2 != std::string::npos && arg.find(',', c2 + 1) == std::string::npos &&
                      ParseSize(std::string_view(arg).substr(c1 + 1, c2 - c1 - 1), size);
  const bool refused = forced && (*forced == "ERROR" || *forced == "REJ");
  std::unique_ptr<HandsetFs::Upload> upload;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (parsed && SessionOpen() && !refused) result = fs_.BeginUpload(arg.substr(0, c1), arg.substr(c2 + 1), upload);
  const std::string own = result == HandsetFs::Result::kOk          ? "OK"
                          : result == HandsetFs::Result::kProtected ? "REJ"
                                                                    : "ERROR";
  const Next next = Reply(forced.value_or(own), Other::kData);
  if (next == Next::kDone || (next == Next::kOk && !ExpectByte(kAck))) return;
  int nak_at;
  {
    std::lock_guard lock(mu_);
    nak_at = std::exchange(nak_upload_frame_, 0);
  }
  ReceiveUpload(upload.get(), size, nak_at);
}

void SimHandset::Impl::CommandDel(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string reply = "ERROR";
  if (forced) {
    reply = *forced;
  } else if (has_arg && SessionOpen()) {
    const auto result = fs_.Delete(arg, kPcSeparator);
    reply = result == HandsetFs::Result::kOk ? "OK" : result == HandsetFs::Result::kProtected ? "REJ" : "ERROR";
  }
  if (Reply(reply, Other::kNothing) == Next::kOk) ExpectByte(kAck);
}

// The PC's data frames: STX frames, then one ETX frame. A refused upload
// (NAK sent, or nothing to store into) is read to its end or to the PC's new
// ENQ so that its last frame is not taken for a command.
void SimHandset::Impl::ReceiveUpload(HandsetFs::Upload* upload, std::int64_t size, int nak_at) {
  bool naked = false;
  auto nak = [&] {
    if (naked) return;
    naked = true;
    SendControl(kNak);
    Update([](HandsetState& s) { ++s.naks_sent; });
  };
  std::int64_t total = 0;
  for (int frame = 1; size > 0; ++frame) {
    const auto type = NextByte();
    if (!type) return;
    if (*type != kStx && *type != kEtx) {
      Unread();
      return;
    }
    std::string data;
    const Body body = ReadFrameBody(data);
    if (body == Body::kTimeout) return;
    total += static_cast<std::int64_t>(data.size());
    const bool last = *type == kEtx;
    const bool bad = body == Body::kBadCrc || data.empty() || data.size() > kFileFrameBytes || total > size ||
                     (last && total != size) || frame == nak_at;
    if (bad || !upload || !upload->Write(data)) {
      if (bad) nak();
      upload = nullptr;
    }
    if (last) break;
  }
  if (!upload || !upload->Commit()) {
    nak();
    return;
  }
  Update([](HandsetState& s) { ++s.files_stored; });
  if (SendControl(kAck) && SendText("OK", true) == Sent::kOn) ExpectByte(kAck);
}

// ---------------------------------------------------------------- frames

SimHandset::Impl::Sent SimHandset::Impl::SendFrame(unsigned char type, std::string_view data, bool continuing,
                                                   bool faults, bool interruptible) {
  const auto fault = faults ? TakeFrameFault() : std::nullopt;
  std::string frame = EncodeFrame(type, data);
  if (!fault) return Send(frame, continuing, interruptible) ? Sent::kOn : Sent::kCut;
  using Kind = FrameFault::Kind;
  switch (fault->kind) {
    case Kind::kCorruptCrc:
      frame.back() = static_cast<char>(frame.back() ^ 0x5A);
      return Send(frame, continuing) ? Sent::kOn : Sent::kStop;
    case Kind::kGarbage:
      return Send(fault->garbage + frame, continuing) ? Sent::kOn : Sent::kStop;
    case Kind::kSilence:
      Send(std::string_view(frame).substr(0, std::min(fault->bytes, frame.size())), continuing);
      return Sent::kStop;
    case Kind::kOversize: {
      const std::size_t count = std::min<std::size_t>(fault->bytes, fault->length);
      std::string body(data.substr(0, count));
      body.resize(count, 'X');
      std::string out = EncodeFrame(type, body);
      out[1] = static_cast<char>(fault->length >> 8);
      out[2] = static_cast<char>(fault->length & 0xFF);
      if (count < fault->length) out.resize(3 + count);  // no CRC: the rest never comes
      const bool sent = Send(out, continuing);
      return sent && count == fault->length ? Sent::kOn : Sent::kStop;
    }
    case Kind::kFtEnd:
      HandsetEnd(fault->stx ? kStx : kEtx, false);
      return Sent::kStop;
  }
  return Sent::kStop;
}

// STX frames and a last ETX frame. Stops as soon as the PC says anything (it
// only does so when it has given up: NAK, then maybe a purge and ENQ) and
// drops what the PC has not read yet, so that no stale frame bytes written
// around the PC's purge reach it afterwards.
bool SimHandset::Impl::SendData(std::string_view data, std::size_t frame_bytes) {
  std::size_t offset = 0;
  bool first = true;
  for (;;) {
    const std::size_t n = std::min(frame_bytes, data.size() - offset);
    const bool last = offset + n >= data.size();
    const Sent sent = SendFrame(last ? kEtx : kStx, data.substr(offset, n), !first, true, true);
    if (sent == Sent::kCut) ::tcflush(slave_keep_.get(), TCIFLUSH);
    if (sent != Sent::kOn) return false;
    if (last) return true;
    offset += n;
    first = false;
  }
}

// After the data: PC: ACK; PC: ETX "OK"; HS: ACK.
void SimHandset::Impl::FinishDownload() {
  if (ExpectByte(kAck) && ExpectOkFrame()) SendControl(kAck);
}

// Sends the reply. "ERROR" and "REJ" finish the exchange here, and so does
// another text unless data follows it. kOk: the caller waits for the PC's
// ACK and goes on; kData: the data follows without the PC's ACK.
SimHandset::Impl::Next SimHandset::Impl::Reply(const std::string& reply, Other other) {
  if (SendText(reply, true) != Sent::kOn) return Next::kDone;
  if (reply == "OK") return Next::kOk;
  if (reply == "ERROR") {
    if (ExpectByte(kAck) && SendControl(kEot)) ExpectByte(kAck);
    return Next::kDone;
  }
  if (reply == "REJ" || other == Other::kAck) {
    ExpectByte(kAck);
    return Next::kDone;
  }
  return other == Other::kData ? Next::kData : Next::kDone;
}

// Anything else is left for the idle loop: a new ENQ, the next command.
bool SimHandset::Impl::ExpectByte(unsigned char want) {
  const auto b = NextByte();
  if (!b) return false;
  if (*b == want) return true;
  Unread();
  return false;
}

bool SimHandset::Impl::ExpectOkFrame() {
  const auto b = NextByte();
  if (!b) return false;
  if (*b != kEtx) {
    Unread();
    return false;
  }
  std::string data;
  return ReadFrameBody(data) == Body::kOk && text::TrimBlanks(data) == "OK";
}

// HS: "FT_END"; PC: ACK; PC: ETX "OK"; HS: ACK; HS: EOT; PC: ACK.
void SimHandset::Impl::HandsetEnd(unsigned char type, bool faults) {
  Update([](HandsetState& s) { s.session_open = false; });
  if (SendFrame(type, "FT_END\r\n", false, faults) != Sent::kOn) return;
  if (!ExpectByte(kAck) || !ExpectOkFrame()) return;
  const char ack_eot[] = {static_cast<char>(kAck), static_cast<char>(kEot)};
  if (!Send(std::string_view(ack_eot, 2)) || !ExpectByte(kAck)) return;
  Update([](HandsetState& s) {
    s.link_up = false;
    ++s.handset_ends;
  });
}

// ---------------------------------------------------------------- public

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
