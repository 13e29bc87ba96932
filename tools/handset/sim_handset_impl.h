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
struct StopServing {};

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

struct QueuedAction {
  enum class Kind { kFtEnd, kGarbage };
  Kind kind;
  std::string bytes;
};

struct LoggedCommand {
  std::uint64_t id;
  std::string text;
  bool done = false;
};

class SimHandset::Impl {
 public:
  Impl(std::filesystem::path root, HandsetOptions options);
  ~Impl();

  const std::string& DevicePath() const { return device_path_; }

  void SetReply(std::string command, std::string text, int times) {
    std::lock_guard lock(mutex_);
    replies_[std::move(command)] = {std::move(text), times};
  }
  void ClearReplies() {
    std::lock_guard lock(mutex_);
    replies_.clear();
  }
  void SetFrameFault(std::optional<FrameFault> fault) {
    std::lock_guard lock(mutex_);
    frame_fault_ = std::move(fault);
  }
  void NakUploadFrame(int n) {
    std::lock_guard lock(mutex_);
    nak_upload_frame_ = n;
  }
  void QueueAction(QueuedAction action) {
    {
      std::lock_guard lock(mutex_);
      actions_.push_back(std::move(action));
    }
    Wake();
  }
  void HangUp();
  void Unplug();
  bool Replug();

  std::vector<std::string> Commands() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& c : commands_) out.push_back(c.text);
    return out;
  }
  std::string ReceivedBytes() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    commands_.clear();
    received_.clear();
  }
  HandsetState State() const {
    std::lock_guard lock(mutex_);
    return StateLocked();
  }
  bool WaitFor(const std::function<bool(const HandsetState&)>& pred, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return state_changed_.wait_for(lock, bound, [&] { return pred(StateLocked()); });
  }
  bool WaitForCommand(std::string_view prefix, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return state_changed_.wait_for(lock, bound, [&] {
      return std::any_of(commands_.begin(), commands_.end(), [&](const LoggedCommand& c) {
        return c.done && std::string_view(c.text).substr(0, prefix.size()) == prefix;
      });
    });
  }

 private:
  enum class FillOutcome { kData, kTimeout, kAction };
  // kStopped: a fault ends the exchange here; kInterrupted: the PC spoke up
  // or stopped reading, and the exchange ends.
  enum class FrameSent { kSent, kStopped, kInterrupted };
  enum class FrameBody { kOk, kBadCrc, kTimeout };
  enum class AfterReply { kAwaitAck, kDone };
  // What the PC does after a reply it does not know, and so the handset too.
  enum class PcAfterOtherText { kAcks, kSaysNothing };

  HandsetState StateLocked() const {
    HandsetState s = state_;
    // Bytes from the PC not read yet count as work: a test that has just
    // sent its last byte must not see the handset idle before it took it.
    int unread = 0;
    if (!state_.hung_up) ::ioctl(master_.Get(), FIONREAD, &unread);
    s.busy = state_.busy || !actions_.empty() || unread > 0;
    return s;
  }
  template <class F>
  void UpdateState(F&& change) {
    {
      std::lock_guard lock(mutex_);
      change(state_);
    }
    state_changed_.notify_all();
  }
  bool IsLinkUp() const { return State().link_up; }
  bool IsSessionOpen() const { return State().session_open; }

  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_event_.Get(), &one, sizeof one);
  }
  void DrainWake() {
    std::uint64_t value;
    [[maybe_unused]] const auto n = ::read(wake_event_.Get(), &value, sizeof value);
  }
  void ThrowIfStopping() const {
    if (stop_.load()) throw StopServing{};
  }

  // --- Line ---
  // A new pseudo-terminal in master_, slave_ and device_path_.
  bool OpenLine();
  // Stops serving and closes the terminal; under join_mutex_.
  void StopLine();
  FillOutcome FillInput(std::optional<Clock::time_point> deadline, bool wake_on_action);
  // Each wait is the handset's own unless given.
  std::optional<unsigned char> NextByte(std::optional<std::chrono::milliseconds> wait = {});
  bool ReadExact(std::size_t n, std::string& out, std::optional<std::chrono::milliseconds> wait = {});
  void PutBackByte() { --input_pos_; }
  bool InputWaiting();
  // What the PC still sends of an upload the handset refused.
  void PassOverRefusedFrames();
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

  FrameBody ReadFrameBody(std::string& data, std::optional<std::chrono::milliseconds> wait = {});
  FrameSent SendFrame(unsigned char type, std::string_view data, bool continuing = false, bool faults = true,
                      bool interruptible = false);
  FrameSent SendText(std::string_view text, bool continuing = false) {
    return SendFrame(kEtx, std::string(text) + "\r\n", continuing);
  }
  bool SendInFrames(std::string_view data, std::size_t frame_bytes);
  AfterReply SendReply(const std::string& reply, PcAfterOtherText other);
  bool ExpectByte(unsigned char want);
  bool ExpectOkFrame();
  void FinishDownload();
  void EndSessionFromHandset(unsigned char type, bool faults);
  std::optional<std::string> TakeForcedReply(const std::string& name);
  std::optional<FrameFault> TakeFrameFault();

  const HandsetOptions options_;
  HandsetFs files_;
  UniqueFd master_, slave_, wake_event_;
  std::string device_path_;

  // Serving thread only.
  LinePacer send_pacer_, receive_pacer_;
  Clock::time_point line_quiet_since_ = Clock::now();
  std::string input_;
  std::size_t input_pos_ = 0;
  std::string modem_line_;
  bool modem_line_too_long_ = false;
  bool echo_ = true;

  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable state_changed_;
  HandsetState state_;
  std::map<std::string, std::pair<std::string, int>> replies_;
  std::optional<FrameFault> frame_fault_;
  int nak_upload_frame_ = 0;
  std::deque<QueuedAction> actions_;
  std::vector<LoggedCommand> commands_;
  std::uint64_t next_command_id_ = 0;
  std::string received_;

  // Held while the line is opened or closed and the serving thread started
  // or joined.
  std::mutex join_mutex_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace mirvo::sim
