#include "protocol/protocol_engine.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/regular_file.h"
#include "core/ui_hooks.h"
#include "protocol/trace_log.h"
#include "protocol/frame_codes.h"
#include "protocol/crc16.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using text::Cp932;

constexpr int kControlSendTimeout = 5000;
constexpr int kTextBuffer = 1024;
constexpr int kFileBuffer = 2048;
constexpr char kHandsetSeparator = '\xA5';

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

// The window stays live while the handset keeps the engine waiting.
std::function<void()> PumpWhileWaiting() {
  return [] { Ui().ProcessMessages(); };
}

void Trace(std::string_view cp932) { LogWriteLine(cp932); }
void TraceTimed(std::string_view utf8) {
  if (LogIsOn()) LogWriteLine(TimeText() + Cp932(utf8));
}

// The data of a received frame as text: up to its first zero byte, blanks
// and control characters removed from both ends.
std::string FrameText(const char* data, int length) {
  const auto n = static_cast<std::size_t>(std::max(length, 0));
  return std::string(text::TrimBlanks(std::string_view(data, strnlen(data, n))));
}

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

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

// Reads a whole local file, up to the size field of PUT_FILE; false with a
// reason when it cannot be had.
bool LoadLocalFile(const std::string& path, std::string& data, std::string& why) {
  int error = 0;
  switch (ReadRegularFile(path, INT_MAX, data, error)) {
    case FileReadFault::kNone:
      return true;
    case FileReadFault::kOpen:
      why = "ファイルを開けません";
      return false;
    case FileReadFault::kTooLarge:
      why = "ファイルサイズが大きすぎます";
      return false;
    case FileReadFault::kNotRegular:
    case FileReadFault::kRead:
      break;
  }
  why = "ファイルを読み込めません";
  return false;
}

}  // namespace

ProtocolEngine::ProtocolEngine(SerialPort& port) : Port(port) {}

void ProtocolEngine::Fire(const TKivPEvent& event) {
  if (event) event(*this);
}

bool ProtocolEngine::OverLimits(std::size_t bytes, int controls_in_a_row) const {
  if (bytes > static_cast<std::size_t>(std::max<std::int64_t>(MaxDataBytes, 0))) {
    Trace(Cp932("受信データが上限を超えました"));
    return true;
  }
  if (controls_in_a_row >= MaxControlRun) {
    Trace(Cp932("制御コードが続きすぎます"));
    return true;
  }
  return false;
}

void ProtocolEngine::Progress(std::int64_t bytes_done) {
  if (OnProgress) OnProgress(bytes_done);
}

// ---- frame exchange -------------------------------------------------------

int ProtocolEngine::SendBytes(const void* bytes, int count, int timeout_ms) {
  ScopedValue pump(Port.OnWaitSlice, PumpWhileWaiting());
  Port.txTimeOut = timeout_ms;
  const auto* p = static_cast<const char*>(bytes);
  for (int sent = 0; sent < count;) {
    const int piece = std::min(count - sent, kMaxFrameSize);
    if (!Port.Write(p + sent, piece)) {
      TraceTimed(" 送信タイムアウト");
      return -2;
    }
    sent += piece;
  }
  return count;
}

int ProtocolEngine::ReceiveBytes(void* buffer, int count, int wait_ms) {
  if (LogIsOn())
    LogWriteLine(TimeText() + Cp932(" データ受信待:データサイズ:") + std::to_string(count) + "byte, " +
                 Cp932("タイムアウト:") + std::to_string(wait_ms) + "ms");
  Port.ReadInterval = wait_ms;
  Port.rxTimeOut = wait_ms;
  Port.ApplyTimeouts();
  if (count <= 0) return -1;
  ScopedValue pump(Port.OnWaitSlice, PumpWhileWaiting());
  auto* p = static_cast<char*>(buffer);
  for (int got = 0; got < count;) {
    // Bytes already here are taken at once; each byte still to come gets
    // the full wait, so the limit stays per byte.
    const int take = std::clamp(Port.Buffered(), 1, count - got);
    if (!Port.Read(p + got, take)) {
      TraceTimed(" 受信タイムアウト");
      return -2;
    }
    got += take;
  }
  return count;
}

int ProtocolEngine::SendControl(std::uint8_t control) {
  LogDump(&control, 1, std::string(ControlName(control)) + Cp932("送信"));
  const int r = SendBytes(&control, 1, kControlSendTimeout);
  return r < 0 ? r : 1;
}

int ProtocolEngine::SendFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf) {
  std::string frame;
  if (MakeDataFrame(&frame, frame_type, data, length, append_crlf) < 0) {
    // No frame can carry it: nothing goes out, and the trace shows what failed.
    LogDump(data, std::max(length, 0), std::string(ControlName(frame_type)) + Cp932("送信失敗"));
    return -2;
  }
  const int size = static_cast<int>(frame.size());
  const int r = SendBytes(frame.data(), size, kControlSendTimeout);
  LogDump(frame.data(), size, std::string(ControlName(frame_type)) + Cp932(r < 0 ? "送信失敗" : "送信"));
  return r < 0 ? r : size;
}

int ProtocolEngine::SendText(std::string_view text) {
  return SendFrame(ETX, text.data(), static_cast<int>(text.size()), true);
}

int ProtocolEngine::ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms) {
  return ReceiveFrame(frame_type, buffer, capacity, wait_ms, false);
}

int ProtocolEngine::ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms,
                         bool empty_data_ends_file) {
  // What arrived, kept only for the trace.
  std::string seen;
  const bool tracing = LogIsOn();
  auto dump = [&] {
    if (tracing && !seen.empty())
      LogDump(seen.data(), static_cast<int>(seen.size()), std::string(ControlName(seen[0])) + Cp932("受信"));
  };

  std::uint8_t first = 0;
  int r;
  if (frame_type == STX) {
    Trace(Cp932("STX/ETX 初受信待ち用に5分の監視を行う"));
    r = ReceiveBytes(&first, 1, FirstFrameTimeout);
  } else {
    r = ReceiveBytes(&first, 1, wait_ms);
  }
  if (r < 0) return r;
  frame_type = first;
  seen.push_back(static_cast<char>(first));
  if (first == STX) Trace(Cp932("STX/ETX タイマー起動"));

  switch (first) {
    case EOT:
    case ACK:
    case NAK: dump(); return 1;
    case STX:
    case ETX: break;
    default: dump(); return -100;
  }

  unsigned char len[2];
  if ((r = ReceiveBytes(len, 2, wait_ms)) < 0) {
    dump();
    return r;
  }
  seen.append(reinterpret_cast<char*>(len), 2);
  const int n = (len[0] << 8) | len[1];
  if (n == 0) {
    r = ReceiveBytes(buffer, 0, wait_ms);
    if (empty_data_ends_file && first == ETX) {
      // The one frame of an empty file: its CRC is read and checked like
      // any other, so a zero-byte file can be fetched.
      unsigned char crc_bytes[2];
      if ((r = ReceiveBytes(crc_bytes, 2, wait_ms)) < 0) {
        dump();
        return r;
      }
      seen.append(reinterpret_cast<char*>(crc_bytes), 2);
      dump();
      if ((crc_bytes[0] | crc_bytes[1]) != 0) return CrcError();
      return 5;
    }
    dump();
    return r;
  }

  if (n > capacity) {
    // Never written past the caller's buffer: the frame is read off the
    // line into scratch space so the next exchange starts clean, then failed.
    char scratch[4096];
    for (int left = n + 2; left > 0;) {
      const int piece = std::min(left, static_cast<int>(sizeof scratch));
      if ((r = ReceiveBytes(scratch, piece, wait_ms)) < 0) {
        dump();
        return r;
      }
      if (tracing) seen.append(scratch, static_cast<std::size_t>(piece));
      left -= piece;
    }
    dump();
    return -1;
  }

  if ((r = ReceiveBytes(buffer, n, wait_ms)) < 0) {
    dump();
    return r;
  }
  if (tracing) seen.append(buffer, static_cast<std::size_t>(n));
  unsigned char crc_bytes[2];
  if ((r = ReceiveBytes(crc_bytes, 2, wait_ms)) < 0) {
    dump();
    return r;
  }
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
    if (answering_end_) {
      dump();
      return -100;
    }
    return HandsetEndPath(seen.data(), static_cast<int>(seen.size()));
  }
  dump();
  return n + 5;
}

int ProtocolEngine::CrcError() {
  Ui().MessageBox(nullptr, "Mirvo", "受信:CRCエラー", MsgIcon::Error, MsgButtons::Ok);
  return -1;
}

int ProtocolEngine::HandsetEndPath(const char* frame, int size) {
  Ui().ReleaseCapture();
  Ui().MessageBox(nullptr, "Mirvo", "電話機との通信が中断されました。", MsgIcon::Error, MsgButtons::Ok);
  Ui().ProcessMessages();
  Trace(Cp932("■端末側から切断要求処理開始■"));
  LogDump(frame, size, std::string(ControlName(static_cast<std::uint8_t>(frame[0]))) + Cp932("受信"));
  AnswerHandsetEnd(-6);
  Trace(Cp932("■端末側から切断要求処理終了■"));
  return -6;
}

int ProtocolEngine::WaitAck(std::uint8_t& control) {
  TraceTimed(" ACK待ちタイマ起動");
  char buffer[kTextBuffer + 1] = {};
  control = 0;
  const int r = ReceiveFrame(control, buffer, kTextBuffer, AckTimeout);
  if (r < 0) {
    Fire(OnAckWaitFailed);
    return r;
  }
  TraceTimed(" ACK待ちタイマIdle");
  return 1;
}

int ProtocolEngine::WaitReply(std::string& text) {
  char buffer[kTextBuffer + 1] = {};
  TraceTimed(" OK待ちタイマ起動");
  std::uint8_t type = 0;
  const int r = ReceiveFrame(type, buffer, kTextBuffer, ReplyTimeout);
  if (r < 0) {
    Fire(OnReplyWaitFailed);
    return r;
  }
  if (type != ETX) return -100;
  text = FrameText(buffer, r - 5);
  TraceTimed(" OK待ちタイマIdle");
  return r;
}

int ProtocolEngine::AwaitEot(int value) {
  if (value != -1) return value;
  std::uint8_t control = 0;
  int r = WaitAck(control);
  if (r < 0) return r;
  if (control != EOT) return -100;
  if ((r = SendControl(ACK)) < 0) return r;
  return -1;
}

int ProtocolEngine::AnswerHandsetEnd(int value) {
  if (value != -6) return value;
  std::uint8_t control = 0;
  bool answered;
  {
    ScopedValue answering(answering_end_, true);
    answered = SendControl(ACK) >= 0 && SendText("OK") >= 0 && WaitAck(control) >= 0 && control == ACK &&
               WaitAck(control) >= 0 && control == EOT && SendControl(ACK) >= 0;
  }
  if (answered) Fire(OnHandsetDisconnect);
  return value;
}

// ---- commands -------------------------------------------------------------

int ProtocolEngine::CommandExchange(std::string_view request, std::string& reply) {
  std::uint8_t control = 0;
  if (SendText(request) < 0) return -100;
  if (WaitAck(control) < 0 || control != ACK) return -100;
  if (WaitReply(reply) < 0) return -100;
  return 0;
}

int ProtocolEngine::EstablishLink() {
  Trace(Cp932("■データリンク確立■"));
  Port.PurgeAll();
  std::uint8_t control = 0;
  if (SendControl(ENQ) < 0) return -100;
  if (WaitAck(control) < 0 || control != ACK) return -100;
  Fire(OnLinkEstablished);
  Trace(Cp932("■データリンク確立・成功■"));
  return 0;
}

int ProtocolEngine::ReleaseLink() {
  Trace(Cp932("■データリンク開放■"));
  std::uint8_t control = 0;
  if (SendControl(EOT) < 0) return -100;
  if (WaitAck(control) < 0 || control != ACK) return -100;
  Fire(OnLinkReleased);
  Trace(Cp932("■データリンク開放・成功■"));
  return 0;
}

int ProtocolEngine::FtStart(std::string_view password) {
  Trace(Cp932("■転送開始■"));
  std::string reply;
  if (CommandExchange("FT_START[" + std::string(password) + "]", reply) < 0) return -100;
  if (reply == "OK") {
    Trace(Cp932("応答メッセージ:OK"));
    if (SendControl(ACK) < 0) return -100;
    Trace(Cp932("■転送開始・成功■"));
    return 0;
  }
  if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    Trace(Cp932("パスワードが違う"));
    if (SendControl(ACK) < 0) return -100;
    const int r = AwaitEot(-1);
    Fire(OnPasswordError);
    return r;
  }
  Trace(Cp932("応答メッセージ:不明"));
  if (SendControl(ACK) < 0) return -100;
  return -255;
}

int ProtocolEngine::FtEnd() {
  Trace(Cp932("■転送終了■"));
  std::string reply;
  if (CommandExchange("FT_END", reply) < 0) return -100;
  Trace(Cp932(reply == "OK" ? "応答メッセージ:OK" : "応答メッセージ:不明"));
  // The link is released even when the ACK could not go out.
  const bool acked = SendControl(ACK) >= 0;
  if (ReleaseLink() < 0 || !acked) return -100;
  Fire(OnTransferEnded);
  Trace(Cp932("■転送終了・成功■"));
  return 0;
}

int ProtocolEngine::GetList(std::vector<std::string>& lines) {
  Trace(Cp932("■リスト取得■"));
  std::string reply;
  if (CommandExchange("GET_LIST", reply) < 0) return -100;
  if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    if (const int r = SendControl(ACK); r < 0) return r;
    return AwaitEot(-1);
  }
  if (reply != "OK") {
    Trace(Cp932("応答メッセージ:不明"));
    return -255;
  }
  Trace(Cp932("応答メッセージ:OK"));
  if (SendControl(ACK) < 0) return -100;

  std::string text;
  std::uint8_t expected = STX;
  char buffer[kTextBuffer + 1];
  std::size_t received = 0;  // data bytes, counted whether or not they are text
  int controls_in_a_row = 0;
  while (true) {
    std::memset(buffer, 0, sizeof buffer);
    TraceTimed(" STX/ETX受信待");
    std::uint8_t type = expected;
    const int r = ReceiveFrame(type, buffer, kTextBuffer, DataTimeout);
    const bool frame = r >= 0 && (type == STX || type == ETX);
    const std::size_t n = frame ? static_cast<std::size_t>(r - 5) : 0;
    received += n;
    controls_in_a_row = frame ? 0 : controls_in_a_row + 1;
    if (r < 0 || OverLimits(received, controls_in_a_row)) {
      if (r < 0) Fire(OnDataWaitFailed);
      if (SendControl(NAK) >= 0)
        Ui().MessageBox(nullptr, "Mirvo", "データリスト取得失敗", MsgIcon::Error, MsgButtons::Ok);
      return -100;
    }
    text.append(buffer, strnlen(buffer, n));
    TraceTimed(" STX/ETX待ちタイマIdle");
    if (type == STX) {
      expected = 0;
      continue;
    }
    if (type != ETX) continue;

    lines = SplitLines(text::TrimBlanks(text));
    std::uint8_t control = 0;
    if (SendControl(ACK) < 0 || SendText("OK") < 0) return -100;
    if (WaitAck(control) < 0 || control != ACK) return -100;
    Trace(Cp932("■リスト取得・成功■"));
    return 0;
  }
}

int ProtocolEngine::GetFile(std::string& target, std::string_view handset_path) {
  Trace(Cp932("■ファイル読み込み■:") + std::string(handset_path));
  std::string reply;
  if (CommandExchange(ToHandsetSeparators("GET_FILE[" + std::string(handset_path) + "]"), reply) < 0) return -100;
  if (reply == "ERROR") {
    if (SendControl(ACK) < 0) return -100;
    return AwaitEot(-1);
  }
  if (reply == "REJ") {
    if (SendControl(ACK) < 0) return -100;
    return -2;
  }
  if (reply == "OK" && SendControl(ACK) < 0) return -100;

  std::string data;
  std::uint8_t expected = STX;
  char buffer[kFileBuffer];
  int controls_in_a_row = 0;
  while (true) {
    TraceTimed(" STX/ETX受信待");
    std::uint8_t type = expected;
    const int r = ReceiveFrame(type, buffer, kFileBuffer, DataTimeout, data.empty());
    const bool frame = r >= 0 && (type == STX || type == ETX);
    const std::size_t n = frame ? static_cast<std::size_t>(r - 5) : 0;
    controls_in_a_row = frame ? 0 : controls_in_a_row + 1;
    const bool over = r >= 0 && OverLimits(data.size() + n, controls_in_a_row);
    if (r < 0 || over) {
      if (r < 0) Fire(OnDataWaitFailed);
      // Re-linking keeps the session usable after a lost frame; the NAK
      // failing is no reason not to try.
      const bool naked = SendControl(NAK) >= 0;
      if (EstablishLink() < 0 || !naked || over) return -100;
      return -8;
    }
    TraceTimed(" STX/ETX待ちタイマIdle");
    if (frame) {
      data.append(buffer, n);
      Progress(static_cast<std::int64_t>(data.size()));
    }
    if (type != ETX) {
      expected = 0;
      continue;
    }
    std::uint8_t control = 0;
    if (SendControl(ACK) < 0 || SendText("OK") < 0) return -100;
    if (WaitAck(control) < 0 || control != ACK) return -100;
    if (target.empty()) target.swap(data);
    else target.append(data);
    Trace(Cp932("■ファイル読み込み・成功■"));
    return 0;
  }
}

int ProtocolEngine::PutFile(std::string_view prefix, const std::string& local_path, std::string_view attr) {
  Trace(Cp932("■ファイル書き込み■:") + PathForTrace(local_path));
  std::error_code ec;
  if (!std::filesystem::exists(local_path, ec)) return -1;

  std::string data, why;
  if (!LoadLocalFile(local_path, data, why)) {
    Trace(Cp932(why));
    return -2;
  }
  const auto name = text::Utf8ToCp932(std::filesystem::path(local_path).filename().string());
  if (!name) {
    Trace(Cp932("ファイル名をシフトJISに変換できません"));
    return -2;
  }
  const std::string reversed(attr.rbegin(), attr.rend());
  const std::string request = ToHandsetSeparators("PUT_FILE[" + std::string(prefix) + *name + "," +
                                                  std::to_string(data.size()) + "," + reversed + "]");
  std::string reply;
  if (CommandExchange(request, reply) < 0) return -100;
  if (reply == "OK") {
    Trace(Cp932("応答メッセージ:OK"));
    if (SendControl(ACK) < 0) return -100;
  } else if (reply == "ERROR") {
    Trace(Cp932("応答メッセージ:ERROR"));
    if (SendControl(ACK) < 0) return -100;
    return AwaitEot(-1);
  } else if (reply == "REJ") {
    Trace(Cp932("応答メッセージ:REJ"));
    SendControl(ACK);
    return -2;
  }

  std::uint8_t control = 0;
  const int size = static_cast<int>(data.size());
  for (int pos = 0; pos < size;) {
    Ui().ProcessMessages();
    const int left = size - pos;
    if (left > kMaxFileFrameData) {
      if (SendFrame(STX, data.data() + pos, kMaxFileFrameData, false) < 0) return -100;
      pos += kMaxFileFrameData;
      Progress(pos);
      if (Port.InQueCount() > 0) {
        if (WaitAck(control) < 0) return -100;
        if (control == NAK) return EstablishLink() < 0 ? -100 : -7;
      }
    } else {
      if (SendFrame(ETX, data.data() + pos, left, false) < 0) return -100;
      pos = size;
      Progress(pos);
    }
  }

  if (WaitAck(control) < 0) return -100;
  if (control == NAK) return EstablishLink() < 0 ? -100 : -7;
  if (WaitReply(reply) < 0 || reply != "OK") return -100;
  if (SendControl(ACK) < 0) return -100;
  Trace(Cp932("■ファイル書き込み・成功■"));
  return 0;
}

int ProtocolEngine::DelFile(std::string_view handset_path) {
  Trace(Cp932("■削除■:") + std::string(handset_path));
  std::string reply;
  if (CommandExchange("DEL[" + std::string(handset_path) + "]", reply) < 0) return -100;
  int result;
  if (reply == "OK") {
    Trace("DEL[].....RESPONSE_OK");
    if (const int r = SendControl(ACK); r < 0) return r;
    result = 0;
  } else if (reply == "ERROR") {
    if (const int r = SendControl(ACK); r < 0) return r;
    Trace("DEL[].....RESPONSE_ERROR");
    result = AwaitEot(-1);
  } else if (reply == "REJ") {
    Trace("DEL[].....RESPONSE_REJ");
    if (const int r = SendControl(ACK); r < 0) return r;
    result = -2;
  } else {
    result = -100;
  }
  Trace(Cp932("■削除処理完了■"));
  return result;
}

}  // namespace mirvo
