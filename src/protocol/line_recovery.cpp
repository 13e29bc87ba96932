// ProtocolEngine's recovery of the line after a bad frame or a reply it
// does not know: what the handset is still sending is drained, and a new
// link passes over frames that come before its ACK.
#include <algorithm>
#include <chrono>

#include "protocol/frame_codes.h"
#include "protocol/protocol_engine.h"
#include "protocol/trace_log.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using Clock = std::chrono::steady_clock;
using text::Cp932;

// Quiet means no byte for Timeouts::quiet, and at least for the time of
// kQuietGapBytes bytes on a slow line.
constexpr int kQuietGapBytes = 64;
// A handset may have this many frames queued when it meets our NAK; what
// it sends beyond them within the data wait is taken for a line that never
// stops.
constexpr int kQueuedFrames = 16;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

}  // namespace

int ProtocolEngine::LineMs(int bytes) const {
  // 8 data bits with start and stop bits: ten bit times a byte.
  const long long bps = std::max(port_.GetSettings().baud_rate, 1);
  return static_cast<int>(std::min<long long>(10LL * bytes * 1000 / bps, 1'000'000'000));
}

bool ProtocolEngine::DiscardUntilQuiet() {
  const int gap = std::max(timeouts_.quiet, LineMs(kQuietGapBytes));
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.data + LineMs(kQueuedFrames * kMaxFrameSize));
  const SerialPort::Timeouts saved = port_.GetTimeouts();
  SerialPort::Timeouts timeouts = saved;
  timeouts.read_ms = gap;
  timeouts.read_interval_ms = 0;
  port_.SetTimeouts(timeouts);
  bool quiet = false;
  while (!quiet && Clock::now() < deadline) {
    port_.DiscardInput();
    char byte;
    // A line that hung up is as quiet as it will get.
    quiet = !port_.Read(&byte, 1);
  }
  port_.SetTimeouts(saved);
  port_.DiscardInput();
  LogWriteTimedLine(quiet ? " 回線の静止を確認" : " 回線が静止しません");
  return quiet;
}

ExchangeResult ProtocolEngine::RecoverLink() {
  if (!DiscardUntilQuiet()) return ExchangeResult::Broken;
  return Link(true);
}

ExchangeResult ProtocolEngine::WaitAckPassingFrames() {
  LogWriteTimedLine(" ACK待ちタイマ起動");
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.ack + LineMs(kQueuedFrames * kMaxFrameSize));
  auto failed = [this](ExchangeResult r) {
    Fire(events_.ack_wait_failed);
    return r;
  };
  char scratch[kMaxFrameSize];
  for (int passed = 0;; ++passed) {
    const int left = MsLeft(deadline);
    if (left == 0) return failed(ExchangeResult::Broken);
    std::uint8_t byte = 0;
    ExchangeResult r = ReceiveBytes(&byte, 1, std::min(timeouts_.ack, left));
    if (r != ExchangeResult::Ok) return failed(r);
    if (byte == kAck) {
      LogDump(&byte, 1, std::string(ControlName(byte)) + Cp932("受信"));
      if (passed > 0) LogWriteLine(Cp932("ACK前の受信データを破棄:") + std::to_string(passed) + "byte");
      LogWriteTimedLine(" ACK待ちタイマIdle");
      return ExchangeResult::Ok;
    }
    if (byte != kStx && byte != kEtx) continue;
    // A frame: its length, data and CRC are passed over whole, so an ACK
    // byte inside its data is never taken for the answer.
    unsigned char length[2];
    if ((r = ReceiveBytes(length, 2, timeouts_.data)) != ExchangeResult::Ok) return failed(r);
    passed += 2;
    for (int rest = ((length[0] << 8) | length[1]) + 2; rest > 0;) {
      if (MsLeft(deadline) == 0) return failed(ExchangeResult::Broken);
      const int piece = std::min(rest, static_cast<int>(sizeof scratch));
      if ((r = ReceiveBytes(scratch, piece, timeouts_.data)) != ExchangeResult::Ok) return failed(r);
      rest -= piece;
      passed += piece;
    }
  }
}

ExchangeResult ProtocolEngine::AcknowledgeUnknownReply(bool data_may_follow) {
  LogWriteLine(Cp932("応答メッセージ:不明"));
  if (SendControl(kAck) != ExchangeResult::Ok) return ExchangeResult::Broken;
  if (data_may_follow) DiscardUntilQuiet();
  return ExchangeResult::UnknownReply;
}

}  // namespace mirvo
