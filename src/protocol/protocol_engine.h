// ProtocolEngine talks to the handset over a SerialPort: control bytes and
// CRC-checked frames, and on top of them the eight commands the window and
// the command-line tool run.
//
// Threading: the port's owner thread only, one call at a time. Every wait
// blocks the caller up to its time-out, or until a stop is requested on the
// port's stop token (the call then fails as a time-out would). Events run on
// the caller's thread, inside the call that caused them. The engine never
// talks to the user: what a user must be told comes out as a Notice, for the
// caller to show once the call has returned. Handset texts are code page
// 932 bytes; local paths are UTF-8.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <stop_token>
#include <string_view>
#include <vector>

namespace mirvo {

class SerialPort;

// The outcome of an exchange with the handset. The values are fixed: the
// command-line tool prints them and the trace reads them.
enum class ExchangeResult : int {
  Ok = 0,
  // Bad CRC or empty data field; the handset answered "ERROR"; for PutFile
  // also: the local file does not exist.
  Failed = -1,
  // Time-out; the handset answered "REJ"; for any command also: its text
  // is too long for a frame (nothing sent); for PutFile also: the local
  // file cannot be read, is too large or its name has no code page 932 form
  // (nothing sent).
  Refused = -2,
  // The handset ended the session by itself (and has been answered).
  HandsetEnded = -6,
  // File data refused by NAK.
  DataRefused = -7,
  // A file data frame was lost.
  FrameLost = -8,
  // Unexpected byte or reply; general failure.
  Broken = -100,
  // An unrecognised reply.
  UnknownReply = -255,
};

// What the user must hear of an exchange, beside its result.
enum class EngineNotice {
  kCrcError,      // a frame came with a bad CRC (and was refused by NAK)
  kHandsetEnded,  // the handset ended the session by itself
  kListFailed,    // the list could not be received
};

class ProtocolEngine {
 public:
  // Per-byte waits, in ms.
  struct Timeouts {
    int ack = 5000;      // control byte answers
    int data = 5000;     // list and file data frames
    int reply = 180000;  // text replies
    // The wait for the first byte of the first data frame of a list or file.
    int first_frame = 300000;
    // After a bad frame the line must stay silent this long (and at least
    // for 64 byte times at the port's speed) before the link is made again.
    int quiet = 50;
  };
  // GetList and GetFile fail (Broken) when the data of a list or file goes
  // past max_data_bytes or max_control_run control bytes come in a row
  // between its frames: a handset that streams without end can neither
  // exhaust memory nor hold the command forever.
  struct Limits {
    std::int64_t max_data_bytes = INT32_MAX;
    int max_control_run = 65536;
  };
  // What happened during an exchange; any may be left empty.
  struct Events {
    std::function<void()> ack_wait_failed;
    std::function<void()> data_wait_failed;
    std::function<void()> reply_wait_failed;
    std::function<void()> link_established;
    std::function<void()> password_refused;
    // The handset ended the session and the engine has answered it.
    std::function<void()> handset_ended;
    std::function<void()> transfer_ended;
    // After each data frame of GetFile (bytes of the file received so far)
    // and PutFile (bytes sent so far); the last call of a successful
    // transfer gives the whole size. An empty upload sends no data frame
    // and so makes no call.
    std::function<void(std::int64_t bytes_done)> progress;
    // Once per notice, as it arises: the line waits while this runs, so it
    // only takes note (the user is told after the call).
    std::function<void(EngineNotice)> notice;
  };

  // The longest command text ("GET_FILE[...]") one frame carries, CR LF
  // following it. A longer one is refused before anything goes on the line,
  // so one name too long costs only its own command.
  static constexpr std::size_t kMaxCommandBytes = 0xFFFF - 2;

  // The port is not owned and must outlive the engine.
  explicit ProtocolEngine(SerialPort& port);
  ProtocolEngine(const ProtocolEngine&) = delete;
  ProtocolEngine& operator=(const ProtocolEngine&) = delete;

  void SetTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
  const Timeouts& GetTimeouts() const { return timeouts_; }
  void SetLimits(const Limits& limits) { limits_ = limits; }
  const Limits& GetLimits() const { return limits_; }
  Events& On() { return events_; }
  // A file being fetched or sent is given up between two data frames once
  // a stop is requested here: refused (NAK, or the frames still queued
  // thrown away), the line let go quiet and linked again, FrameLost. Unlike
  // the port's stop, this leaves the session usable.
  void SetAbandonToken(std::stop_token token) { abandon_ = std::move(token); }

  // Frame exchange. Every call gives Ok when all of it went through.
  ExchangeResult SendBytes(const void* bytes, int count, int timeout_ms);
  ExchangeResult ReceiveBytes(void* buffer, int count, int wait_ms);
  ExchangeResult SendControl(std::uint8_t control);
  ExchangeResult SendFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf);
  ExchangeResult SendText(std::string_view text);
  // frame_type: in, what the caller expects (STX: the first data frame);
  // out, the first byte received. The data lands in buffer[0..capacity);
  // data_length is how much of it the frame carried (0 for a control byte).
  ExchangeResult ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms, int& data_length);
  ExchangeResult WaitAck(std::uint8_t& control);
  ExchangeResult WaitReply(std::string& text);
  // After an "ERROR" (Failed): the handset's EOT, answered by ACK; any
  // other result passes through.
  ExchangeResult AwaitEot(ExchangeResult result);
  // After the handset's "FT_END" (HandsetEnded): the engine's part of the
  // ending; any other result passes through.
  ExchangeResult AnswerHandsetEnd(ExchangeResult result);

  // Commands.
  ExchangeResult EstablishLink();
  // After the NAK of a bad frame (or of an exchange given up) the handset
  // may still be sending the frames it had queued: the line is drained
  // until quiet, then linked up again, passing over late frames. Ok when the
  // link stands; Broken when the line never went quiet within its bound or
  // the link failed.
  ExchangeResult RecoverLink();
  ExchangeResult ReleaseLink();
  ExchangeResult FtStart(std::string_view password);
  ExchangeResult FtEnd();
  ExchangeResult GetList(std::vector<std::string>& lines);
  // Appends the file to *target; target is untouched on failure.
  ExchangeResult GetFile(std::string& target, std::string_view handset_path);
  // local_path is a local (UTF-8) path; only its file name is sent.
  ExchangeResult PutFile(std::string_view prefix, const std::string& local_path, std::string_view attributes);
  ExchangeResult DelFile(std::string_view handset_path);

 private:
  // One frame of a list or file being received.
  struct DataFrame {
    ExchangeResult result = ExchangeResult::Ok;
    std::uint8_t type = 0;
    std::size_t length = 0;  // data bytes; 0 unless the frame is STX or ETX
    bool carries_data = false;
  };

  // SendBytes and SendFrame; with queue, Ok once the bytes are in the send
  // queue (file data frames no reply is awaited for: see SerialPort::WriteQueued).
  ExchangeResult Transmit(const void* bytes, int count, int timeout_ms, bool queue);
  ExchangeResult TransmitFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf, bool queue);
  static void Fire(const std::function<void()>& event);
  void Progress(std::int64_t bytes_done);
  // Whether a list or file being received has gone past the limits; traced.
  bool OverLimits(std::size_t bytes, int controls_in_a_row) const;
  // The shared request/ACK/reply opening of every command; Ok, Broken, or
  // Refused for a request longer than kMaxCommandBytes (nothing sent).
  ExchangeResult CommandExchange(std::string_view request, std::string& reply);
  // The next frame of a list or file; counts control bytes in a row.
  DataFrame ReceiveDataFrame(std::uint8_t expected, char* buffer, int capacity, bool empty_data_ends_file,
                             int& controls_in_a_row);
  // ACK and "OK" for a whole list or file, and the handset's ACK of them.
  ExchangeResult ConfirmDataReceived();
  // The handset's "FT_END" arrived as frame: the end is answered and the
  // user's notice given; HandsetEnded.
  ExchangeResult AnswerHandsetEndFrame(const char* frame, int size);
  // A bad CRC: its notice; Failed.
  ExchangeResult CrcError();
  void Notify(EngineNotice notice);
  // EstablishLink; with pass_over_frames, frames (and stray bytes) that
  // arrive before the ACK are read off and dropped, within a bound.
  ExchangeResult Link(bool pass_over_frames);
  // Drops everything received until nothing has come for a gap scaled to
  // the line speed; false when the line was still busy at the bound.
  bool DiscardUntilQuiet();
  // An ACK, passing over frames that come first; Ok, or a failure at the
  // per-byte wait or the bound.
  ExchangeResult WaitAckPassingFrames();
  // Time the line takes for `bytes` bytes at the port's speed, in ms.
  int LineMs(int bytes) const;
  // A reply to GET_FILE or PUT_FILE other than "OK", "ERROR" and "REJ" is
  // acknowledged and ends the command; data it may be followed by is
  // drained. UnknownReply, or Broken when the ACK could not go out.
  ExchangeResult AcknowledgeUnknownReply(bool data_may_follow);
  // With empty_data_ends_file (GetFile before any data), an ETX frame with no
  // data has its CRC read and checked and is a whole, empty file rather
  // than a failure.
  ExchangeResult ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms,
                              bool empty_data_ends_file, int& data_length);

  SerialPort& port_;
  Timeouts timeouts_;
  Limits limits_;
  Events events_;
  std::stop_token abandon_;
  bool answering_end_ = false;  // inside AnswerHandsetEnd
};

}  // namespace mirvo
