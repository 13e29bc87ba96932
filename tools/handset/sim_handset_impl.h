// The simulated handset's inner workings, shared by the files that serve
// the line: reading and pacing bytes, the commands, the frames and their
// faults. Only the handset's own sources include it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <thread>
#include <utility>
#include <vector>

#include "handset/sim_fs.h"
#include "handset/sim_handset.h"
#include "handset/sim_wire.h"

namespace mirvo::sim {

using Clock = std::chrono::steady_clock;

// Unwinds the serving thread when it is told to stop or the line fails.
struct Stopped {};

constexpr std::size_t kFileFrameBytes = 1024;

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

}  // namespace mirvo::sim
