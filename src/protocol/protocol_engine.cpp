#include "protocol/protocol_engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/crc16.h"
#include "protocol/frame_codes.h"
#include "protocol/trace_log.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using text::Cp932;

constexpr int kControlSendTimeout = 5000;
constexpr int kTextBuffer = 1024;

// Sets a variable for one scope and gives back its old value on every way out.
template <class T>
class ScopedValue {
 public:
  ScopedValue(T& var, T value) : var_(var), old_(std::exchange(var, std::move(value))) {}
  ~ScopedValue() { var_ = std::move(old_); }
  ScopedValue(const ScopedValue&) = delete;
  ScopedValue& operator=(const ScopedValue&) = delete;

 private:
  T& var_;
  T old_;
};

void Trace(std::string_view cp932) { LogWriteLine(cp932); }

// The data of a received frame as text: up to its first zero byte, blanks
// and control characters removed from both ends.
std::string FrameText(const char* data, int length) {
  const auto n = static_cast<std::size_t>(std::max(length, 0));
  return std::string(text::TrimBlanks(std::string_view(data, strnlen(data, n))));
}

}  // namespace

ProtocolEngine::ProtocolEngine(SerialPort& port) : port_(port) {}

void ProtocolEngine::Fire(const std::function<void()>& event) {
  if (event) event();
}

bool ProtocolEngine::OverLimits(std::size_t bytes, int controls_in_a_row) const {
  if (bytes > static_cast<std::size_t>(std::max<std::int64_t>(limits_.max_data_bytes, 0))) {
    Trace(Cp932("受信データが上限を超えました"));
    return true;
  }
  if (controls_in_a_row >= limits_.max_control_run) {
    Trace(Cp932("制御コードが続きすぎます"));
    return true;
  }
  return false;
}

void ProtocolEngine::Progress(std::int64_t bytes_done) {
  if (events_.progress) events_.progress(bytes_done);
}

ExchangeResult ProtocolEngine::SendBytes(const void* bytes, int count, int timeout_ms) {
  return Transmit(bytes, count, timeout_ms, false);
}

ExchangeResult ProtocolEngine::Transmit(const void* bytes, int count, int timeout_ms, bool queue) {
  SerialPort::Timeouts timeouts = port_.GetTimeouts();
  timeouts.write_ms = timeout_ms;
  port_.SetTimeouts(timeouts);
  const auto* p = static_cast<const char*>(bytes);
  for (int sent = 0; sent < count;) {
    const int piece = std::min(count - sent, kMaxFrameSize);
    if (!(queue ? port_.WriteQueued(p + sent, piece) : port_.Write(p + sent, piece))) {
      LogWriteTimedLine(" 送信タイムアウト");
      return ExchangeResult::Refused;
    }
    sent += piece;
  }
  return ExchangeResult::Ok;
}

ExchangeResult ProtocolEngine::ReceiveBytes(void* buffer, int count, int wait_ms) {
  if (LogIsOn())
    LogWriteLine(TimeText() + Cp932(" データ受信待:データサイズ:") + std::to_string(count) + "byte, " +
                 Cp932("タイムアウト:") + std::to_string(wait_ms) + "ms");
  SerialPort::Timeouts timeouts = port_.GetTimeouts();
  timeouts.read_ms = wait_ms;
  timeouts.read_interval_ms = wait_ms;
  port_.SetTimeouts(timeouts);
  if (count <= 0) return ExchangeResult::Failed;
  auto* p = static_cast<char*>(buffer);
  for (int got = 0; got < count;) {
    // Bytes already here are taken at once; each byte still to come gets
    // the full wait, so the limit stays per byte.
    const int take = std::clamp(port_.BytesBuffered(), 1, count - got);
    if (!port_.Read(p + got, take)) {
      LogWriteTimedLine(" 受信タイムアウト");
      return ExchangeResult::Refused;
    }
    got += take;
  }
  return ExchangeResult::Ok;
}

ExchangeResult ProtocolEngine::SendControl(std::uint8_t control) {
  LogDump(&control, 1, std::string(ControlName(control)) + Cp932("送信"));
  return SendBytes(&control, 1, kControlSendTimeout);
}

ExchangeResult ProtocolEngine::SendFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf) {
  return TransmitFrame(frame_type, data, length, append_crlf, false);
}

ExchangeResult ProtocolEngine::TransmitFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf,
                                             bool queue) {
  std::string frame;
  if (MakeDataFrame(&frame, frame_type, data, length, append_crlf) < 0) {
    // No frame can carry it: nothing goes out, and the trace shows what failed.
    LogDump(data, std::max(length, 0), std::string(ControlName(frame_type)) + Cp932("送信失敗"));
    return ExchangeResult::Refused;
  }
  const int size = static_cast<int>(frame.size());
  const ExchangeResult r = Transmit(frame.data(), size, kControlSendTimeout, queue);
  LogDump(frame.data(), size,
          std::string(ControlName(frame_type)) + Cp932(r != ExchangeResult::Ok ? "送信失敗" : "送信"));
  return r;
}

ExchangeResult ProtocolEngine::SendText(std::string_view text) {
  return SendFrame(kEtx, text.data(), static_cast<int>(text.size()), true);
}

ExchangeResult ProtocolEngine::ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms,
                                            int& data_length) {
  return ReceiveFrame(frame_type, buffer, capacity, wait_ms, false, data_length);
}

ExchangeResult ProtocolEngine::ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms,
                                            bool empty_data_ends_file, int& data_length) {
  data_length = 0;
  // What arrived, kept only for the trace.
  std::string seen;
  const bool tracing = LogIsOn();
  auto dump = [&] {
    if (tracing && !seen.empty())
      LogDump(seen.data(), static_cast<int>(seen.size()), std::string(ControlName(seen[0])) + Cp932("受信"));
  };
  auto failed = [&](ExchangeResult r) {
    dump();
    return r;
  };

  std::uint8_t first = 0;
  ExchangeResult r;
  if (frame_type == kStx) {
    Trace(Cp932("STX/ETX 初受信待ち用に5分の監視を行う"));
    r = ReceiveBytes(&first, 1, timeouts_.first_frame);
  } else {
    r = ReceiveBytes(&first, 1, wait_ms);
  }
  if (r != ExchangeResult::Ok) return r;
  frame_type = first;
  seen.push_back(static_cast<char>(first));
  if (first == kStx) Trace(Cp932("STX/ETX タイマー起動"));

  switch (first) {
    case kEot:
    case kAck:
    case kNak: dump(); return ExchangeResult::Ok;
    case kStx:
    case kEtx: break;
    default: return failed(ExchangeResult::Broken);
  }

  unsigned char len[2];
  if ((r = ReceiveBytes(len, 2, wait_ms)) != ExchangeResult::Ok) return failed(r);
  seen.append(reinterpret_cast<char*>(len), 2);
  const int n = (len[0] << 8) | len[1];
  if (n == 0) {
    r = ReceiveBytes(buffer, 0, wait_ms);
    if (empty_data_ends_file && first == kEtx) {
      // The one frame of an empty file: its CRC is read and checked like
      // any other, so a zero-byte file can be fetched.
      unsigned char crc_bytes[2];
      if ((r = ReceiveBytes(crc_bytes, 2, wait_ms)) != ExchangeResult::Ok) return failed(r);
      seen.append(reinterpret_cast<char*>(crc_bytes), 2);
      dump();
      if ((crc_bytes[0] | crc_bytes[1]) != 0) return CrcError();
      return ExchangeResult::Ok;
    }
    return failed(r);
  }

  if (n > capacity) {
    // Never written past the caller's buffer: the frame is read off the
    // line into scratch space so the next exchange starts clean, then failed.
    char scratch[4096];
    for (int left = n + 2; left > 0;) {
      const int piece = std::min(left, static_cast<int>(sizeof scratch));
      if ((r = ReceiveBytes(scratch, piece, wait_ms)) != ExchangeResult::Ok) return failed(r);
      if (tracing) seen.append(scratch, static_cast<std::size_t>(piece));
      left -= piece;
    }
    return failed(ExchangeResult::Failed);
  }

  if ((r = ReceiveBytes(buffer, n, wait_ms)) != ExchangeResult::Ok) return failed(r);
  if (tracing) seen.append(buffer, static_cast<std::size_t>(n));
  unsigned char crc_bytes[2];
  if ((r = ReceiveBytes(crc_bytes, 2, wait_ms)) != ExchangeResult::Ok) return failed(r);
  if (tracing) seen.append(reinterpret_cast<char*>(crc_bytes), 2);
  const std::uint16_t crc = static_cast<std::uint16_t>((crc_bytes[0] << 8) | crc_bytes[1]);

  if (Crc16(buffer, static_cast<std::size_t>(n)) != crc) {
    dump();
    return CrcError();
  }
  const std::string_view text_part(buffer, strnlen(buffer, static_cast<std::size_t>(n)));
  if (text::TrimBlanks(text_part) == "FT_END") {
    // A second end while the first is being answered fails that answer;
    // answering it in turn would nest without bound.
    if (answering_end_) return failed(ExchangeResult::Broken);
    return AnswerHandsetEndFrame(seen.data(), static_cast<int>(seen.size()));
  }
  dump();
  data_length = n;
  return ExchangeResult::Ok;
}

void ProtocolEngine::Notify(EngineNotice notice) {
  if (events_.notice) events_.notice(notice);
}

ExchangeResult ProtocolEngine::CrcError() {
  Notify(EngineNotice::kCrcError);
  return ExchangeResult::Failed;
}

ExchangeResult ProtocolEngine::AnswerHandsetEndFrame(const char* frame, int size) {
  Notify(EngineNotice::kHandsetEnded);
  Trace(Cp932("■端末側から切断要求処理開始■"));
  LogDump(frame, size, std::string(ControlName(static_cast<std::uint8_t>(frame[0]))) + Cp932("受信"));
  AnswerHandsetEnd(ExchangeResult::HandsetEnded);
  Trace(Cp932("■端末側から切断要求処理終了■"));
  return ExchangeResult::HandsetEnded;
}

ExchangeResult ProtocolEngine::WaitAck(std::uint8_t& control) {
  LogWriteTimedLine(" ACK待ちタイマ起動");
  char buffer[kTextBuffer + 1] = {};
  control = 0;
  int length = 0;
  const ExchangeResult r = ReceiveFrame(control, buffer, kTextBuffer, timeouts_.ack, length);
  if (r != ExchangeResult::Ok) {
    Fire(events_.ack_wait_failed);
    return r;
  }
  LogWriteTimedLine(" ACK待ちタイマIdle");
  return ExchangeResult::Ok;
}

ExchangeResult ProtocolEngine::WaitReply(std::string& text) {
  char buffer[kTextBuffer + 1] = {};
  LogWriteTimedLine(" OK待ちタイマ起動");
  std::uint8_t type = 0;
  int length = 0;
  const ExchangeResult r = ReceiveFrame(type, buffer, kTextBuffer, timeouts_.reply, length);
  if (r != ExchangeResult::Ok) {
    Fire(events_.reply_wait_failed);
    return r;
  }
  if (type != kEtx) return ExchangeResult::Broken;
  text = FrameText(buffer, length);
  LogWriteTimedLine(" OK待ちタイマIdle");
  return ExchangeResult::Ok;
}

ExchangeResult ProtocolEngine::AwaitEot(ExchangeResult result) {
  if (result != ExchangeResult::Failed) return result;
  std::uint8_t control = 0;
  ExchangeResult r = WaitAck(control);
  if (r != ExchangeResult::Ok) return r;
  if (control != kEot) return ExchangeResult::Broken;
  if ((r = SendControl(kAck)) != ExchangeResult::Ok) return r;
  return ExchangeResult::Failed;
}

ExchangeResult ProtocolEngine::AnswerHandsetEnd(ExchangeResult result) {
  if (result != ExchangeResult::HandsetEnded) return result;
  constexpr auto kOk = ExchangeResult::Ok;
  std::uint8_t control = 0;
  bool answered;
  {
    ScopedValue answering(answering_end_, true);
    answered = SendControl(kAck) == kOk && SendText("OK") == kOk && WaitAck(control) == kOk && control == kAck &&
               WaitAck(control) == kOk && control == kEot && SendControl(kAck) == kOk;
  }
  if (answered) Fire(events_.handset_ended);
  return result;
}

}  // namespace mirvo
