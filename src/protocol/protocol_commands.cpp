// ProtocolEngine's commands: each one request, the handset's reply and
// whatever data follows it.
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>

#include "protocol/frame_codes.h"
#include "protocol/protocol_engine.h"
#include "protocol/trace_log.h"
#include "protocol/upload_file.h"
#include "serial/serial_port.h"
#include "text/cp932.h"
#include "text/fields.h"

namespace mirvo {
namespace {

using text::Cp932;

constexpr auto kOk = ExchangeResult::Ok;
constexpr auto kBroken = ExchangeResult::Broken;
constexpr int kTextBuffer = 1024;
constexpr int kFileBuffer = 2048;
constexpr char kHandsetSeparator = '\xA5';

void Trace(std::string_view cp932) { LogWriteLine(cp932); }

// "\" -> 0xA5 wherever "\" is a character of its own; second bytes of
// double-byte characters (ソ is 0x83 0x5C) stay as they are.
std::string ToHandsetSeparators(std::string s) {
  text::ForEachChar(s, [&](std::size_t pos, std::size_t len) {
    if (len == 1 && s[pos] == '\\') s[pos] = kHandsetSeparator;
  });
  return s;
}

// A local path as trace text: its code page 932 form where it has one.
std::string PathForTrace(const std::string& utf8_path) {
  auto cp = text::Utf8ToCp932(utf8_path);
  return cp ? *cp : utf8_path;
}

// Why a local file cannot be sent, for the trace.
const char* UploadFaultText(UploadFile::Fault fault) {
  switch (fault) {
    case UploadFile::Fault::kOpen: return "ファイルを開けません";
    case UploadFile::Fault::kTooLarge: return "ファイルサイズが大きすぎます";
    case UploadFile::Fault::kShrunk: return "ファイルサイズが変わりました";
    case UploadFile::Fault::kNone:
    case UploadFile::Fault::kNotRegular:
    case UploadFile::Fault::kRead: break;
  }
  return "ファイルを読み込めません";
}

}  // namespace

ExchangeResult ProtocolEngine::CommandExchange(std::string_view request, std::string& reply) {
  if (request.size() > kMaxCommandBytes) {
    Trace(Cp932("コマンドが長すぎるため送信しません:") + std::to_string(request.size()) + "byte");
    return ExchangeResult::Refused;
  }
  std::uint8_t control = 0;
  if (SendText(request) != kOk) return kBroken;
  if (WaitAck(control) != kOk || control != kAck) return kBroken;
  if (WaitReply(reply) != kOk) return kBroken;
  return kOk;
}

ProtocolEngine::DataFrame ProtocolEngine::ReceiveDataFrame(std::uint8_t expected, char* buffer, int capacity,
                                                           bool empty_data_ends_file, int& controls_in_a_row) {
  LogWriteTimedLine(" STX/ETX受信待");
  DataFrame frame;
  frame.type = expected;
  int length = 0;
  frame.result = ReceiveFrame(frame.type, buffer, capacity, timeouts_.data, empty_data_ends_file, length);
  frame.carries_data = frame.result == kOk && (frame.type == kStx || frame.type == kEtx);
  frame.length = frame.carries_data ? static_cast<std::size_t>(length) : 0;
  controls_in_a_row = frame.carries_data ? 0 : controls_in_a_row + 1;
  return frame;
}

ExchangeResult ProtocolEngine::ConfirmDataReceived() {
  std::uint8_t control = 0;
  if (SendControl(kAck) != kOk || SendText("OK") != kOk) return kBroken;
  if (WaitAck(control) != kOk || control != kAck) return kBroken;
  return kOk;
}

ExchangeResult ProtocolEngine::EstablishLink() { return Link(false); }

ExchangeResult ProtocolEngine::Link(bool pass_over_frames) {
  Trace(Cp932("■データリンク確立■"));
  port_.DiscardInput();
  std::uint8_t control = 0;
  if (SendControl(kEnq) != kOk) return kBroken;
  if (pass_over_frames) {
    if (WaitAckPassingFrames() != kOk) return kBroken;
  } else if (WaitAck(control) != kOk || control != kAck) {
    return kBroken;
  }
  Fire(events_.link_established);
  Trace(Cp932("■データリンク確立・成功■"));
  return kOk;
}

ExchangeResult ProtocolEngine::ReleaseLink() {
  Trace(Cp932("■データリンク開放■"));
  std::uint8_t control = 0;
  if (SendControl(kEot) != kOk) return kBroken;
  if (WaitAck(control) != kOk || control != kAck) return kBroken;
  Trace(Cp932("■データリンク開放・成功■"));
  return kOk;
}

ExchangeResult ProtocolEngine::FtStart(std::string_view password) {
  Trace(Cp932("■転送開始■"));
  std::string reply;
  if (const ExchangeResult r = CommandExchange("FT_START[" + std::string(password) + "]", reply); r != kOk) return r;
  if (reply == "OK") {
    Trace(Cp932("応答メッセージ:OK"));
    if (SendControl(kAck) != kOk) return kBroken;
    Trace(Cp932("■転送開始・成功■"));
    return kOk;
  }
  if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    Trace(Cp932("パスワードが違う"));
    if (SendControl(kAck) != kOk) return kBroken;
    const ExchangeResult r = AwaitEot(ExchangeResult::Failed);
    Fire(events_.password_refused);
    return r;
  }
  Trace(Cp932("応答メッセージ:不明"));
  if (SendControl(kAck) != kOk) return kBroken;
  return ExchangeResult::UnknownReply;
}

ExchangeResult ProtocolEngine::FtEnd() {
  Trace(Cp932("■転送終了■"));
  std::string reply;
  if (const ExchangeResult r = CommandExchange("FT_END", reply); r != kOk) return r;
  Trace(Cp932(reply == "OK" ? "応答メッセージ:OK" : "応答メッセージ:不明"));
  // The link is released even when the ACK could not go out.
  const bool acked = SendControl(kAck) == kOk;
  if (ReleaseLink() != kOk || !acked) return kBroken;
  Fire(events_.transfer_ended);
  Trace(Cp932("■転送終了・成功■"));
  return kOk;
}

ExchangeResult ProtocolEngine::GetList(std::vector<std::string>& lines) {
  Trace(Cp932("■リスト取得■"));
  std::string reply;
  if (const ExchangeResult r = CommandExchange("GET_LIST", reply); r != kOk) return r;
  if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    if (const ExchangeResult r = SendControl(kAck); r != kOk) return r;
    return AwaitEot(ExchangeResult::Failed);
  }
  if (reply != "OK") {
    Trace(Cp932("応答メッセージ:不明"));
    return ExchangeResult::UnknownReply;
  }
  Trace(Cp932("応答メッセージ:OK"));
  if (SendControl(kAck) != kOk) return kBroken;

  std::string text;
  std::uint8_t expected = kStx;
  char buffer[kTextBuffer + 1];
  std::size_t received = 0;  // data bytes, counted whether or not they are text
  int controls_in_a_row = 0;
  while (true) {
    std::memset(buffer, 0, sizeof buffer);
    const DataFrame frame = ReceiveDataFrame(expected, buffer, kTextBuffer, false, controls_in_a_row);
    received += frame.length;
    if (frame.result != kOk || OverLimits(received, controls_in_a_row)) {
      if (frame.result != kOk) Fire(events_.data_wait_failed);
      if (SendControl(kNak) == kOk) Notify(EngineNotice::kListFailed);
      // The rest of the list must not be read as the next command's answer.
      DiscardUntilQuiet();
      return kBroken;
    }
    text.append(buffer, strnlen(buffer, frame.length));
    LogWriteTimedLine(" STX/ETX待ちタイマIdle");
    if (frame.type == kStx) {
      expected = 0;
      continue;
    }
    if (frame.type != kEtx) continue;

    lines = SplitLines(text::TrimBlanks(text));
    if (ConfirmDataReceived() != kOk) return kBroken;
    Trace(Cp932("■リスト取得・成功■"));
    return kOk;
  }
}

ExchangeResult ProtocolEngine::GetFile(std::string& target, std::string_view handset_path) {
  Trace(Cp932("■ファイル読み込み■:") + std::string(handset_path));
  std::string reply;
  const std::string request = ToHandsetSeparators("GET_FILE[" + std::string(handset_path) + "]");
  if (const ExchangeResult r = CommandExchange(request, reply); r != kOk) return r;
  if (reply == "ERROR") {
    if (SendControl(kAck) != kOk) return kBroken;
    return AwaitEot(ExchangeResult::Failed);
  }
  if (reply == "REJ") {
    if (SendControl(kAck) != kOk) return kBroken;
    return ExchangeResult::Refused;
  }
  if (reply != "OK") return AcknowledgeUnknownReply(true);
  if (SendControl(kAck) != kOk) return kBroken;

  std::string data;
  std::uint8_t expected = kStx;
  char buffer[kFileBuffer];
  int controls_in_a_row = 0;
  while (true) {
    const DataFrame frame = ReceiveDataFrame(expected, buffer, kFileBuffer, data.empty(), controls_in_a_row);
    const bool over = frame.result == kOk && OverLimits(data.size() + frame.length, controls_in_a_row);
    if (frame.result != kOk || over) {
      if (frame.result != kOk) Fire(events_.data_wait_failed);
      // Re-linking keeps the session usable after a lost frame; the NAK
      // failing is no reason not to try.
      const bool naked = SendControl(kNak) == kOk;
      if (RecoverLink() != kOk || !naked || over) return kBroken;
      return ExchangeResult::FrameLost;
    }
    LogWriteTimedLine(" STX/ETX待ちタイマIdle");
    if (frame.carries_data) {
      data.append(buffer, frame.length);
      Progress(static_cast<std::int64_t>(data.size()));
    }
    if (frame.type != kEtx && abandon_.stop_requested()) {
      Trace(Cp932("ファイル読み込み中止"));
      const bool naked = SendControl(kNak) == kOk;
      if (RecoverLink() != kOk || !naked) return kBroken;
      return ExchangeResult::FrameLost;
    }
    if (frame.type != kEtx) {
      expected = 0;
      continue;
    }
    if (ConfirmDataReceived() != kOk) return kBroken;
    if (target.empty())
      target.swap(data);
    else
      target.append(data);
    Trace(Cp932("■ファイル読み込み・成功■"));
    return kOk;
  }
}

ExchangeResult ProtocolEngine::PutFile(std::string_view prefix, const std::string& local_path,
                                       std::string_view attributes) {
  Trace(Cp932("■ファイル書き込み■:") + PathForTrace(local_path));
  std::error_code ec;
  if (!std::filesystem::exists(local_path, ec)) return ExchangeResult::Failed;

  UploadFile file;
  if (const UploadFile::Fault fault = file.Open(local_path, INT32_MAX); fault != UploadFile::Fault::kNone) {
    Trace(Cp932(UploadFaultText(fault)));
    return ExchangeResult::Refused;
  }
  const auto name = text::Utf8ToCp932(std::filesystem::path(local_path).filename().string());
  if (!name) {
    Trace(Cp932("ファイル名をシフトJISに変換できません"));
    return ExchangeResult::Refused;
  }
  const std::string reversed(attributes.rbegin(), attributes.rend());
  const std::int64_t size = file.Size();
  const std::string request = ToHandsetSeparators("PUT_FILE[" + std::string(prefix) + *name + "," +
                                                  std::to_string(size) + "," + reversed + "]");
  std::string reply;
  if (const ExchangeResult r = CommandExchange(request, reply); r != kOk) return r;
  if (reply == "OK") {
    Trace(Cp932("応答メッセージ:OK"));
    if (SendControl(kAck) != kOk) return kBroken;
  } else if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    if (SendControl(kAck) != kOk) return kBroken;
    return AwaitEot(ExchangeResult::Failed);
  } else if (reply == "REJ") {
    Trace(Cp932("応答メッセージ:REJ"));
    SendControl(kAck);
    return ExchangeResult::Refused;
  } else {
    // The handset never said it would take the data: none is sent.
    return AcknowledgeUnknownReply(false);
  }

  // A NAK refuses the data. The frames still queued behind it would reach
  // the handset as commands: they are thrown away (no control byte can be
  // queued, each goes out drained), the line let go quiet and linked again.
  auto refused = [this] {
    port_.DiscardQueuedOutput();
    return RecoverLink() != kOk ? kBroken : ExchangeResult::DataRefused;
  };
  std::uint8_t control = 0;
  char chunk[kMaxFileFrameData];
  for (std::int64_t pos = 0; pos < size;) {
    const int n = static_cast<int>(std::min<std::int64_t>(size - pos, kMaxFileFrameData));
    const bool last = pos + n == size;
    if (const UploadFile::Fault fault = file.ReadNext(chunk, n); fault != UploadFile::Fault::kNone) {
      // The handset has the size of the whole file and must not store a
      // part of it: the upload is broken off by a new link.
      Trace(Cp932(UploadFaultText(fault)));
      EstablishLink();
      return kBroken;
    }
    // The line need not wait while the next frame is read and built; the
    // last one drains before the reply wait starts.
    if (TransmitFrame(last ? kEtx : kStx, chunk, n, false, !last) != kOk) return kBroken;
    pos += n;
    Progress(pos);
    if (!last && abandon_.stop_requested()) {
      Trace(Cp932("ファイル書き込み中止"));
      port_.DiscardQueuedOutput();
      return RecoverLink() != kOk ? kBroken : ExchangeResult::FrameLost;
    }
    if (!last && port_.BytesAvailable() > 0) {
      if (WaitAck(control) != kOk) return kBroken;
      if (control == kNak) return refused();
    }
  }

  if (WaitAck(control) != kOk) return kBroken;
  if (control == kNak) return refused();
  if (WaitReply(reply) != kOk || reply != "OK") return kBroken;
  if (SendControl(kAck) != kOk) return kBroken;
  Trace(Cp932("■ファイル書き込み・成功■"));
  return kOk;
}

ExchangeResult ProtocolEngine::DelFile(std::string_view handset_path) {
  Trace(Cp932("■削除■:") + std::string(handset_path));
  std::string reply;
  if (const ExchangeResult r = CommandExchange("DEL[" + std::string(handset_path) + "]", reply); r != kOk) return r;
  ExchangeResult result;
  if (reply == "OK") {
    Trace("DEL[].....RESPONSE_OK");
    if (SendControl(kAck) != kOk) return kBroken;
    result = kOk;
  } else if (reply == "ERROR") {
    if (SendControl(kAck) != kOk) return kBroken;
    Trace("DEL[].....RESPONSE_ERROR");
    result = AwaitEot(ExchangeResult::Failed);
  } else if (reply == "REJ") {
    Trace("DEL[].....RESPONSE_REJ");
    if (SendControl(kAck) != kOk) return kBroken;
    result = ExchangeResult::Refused;
  } else {
    result = kBroken;
  }
  Trace(Cp932("■削除処理完了■"));
  return result;
}

}  // namespace mirvo
