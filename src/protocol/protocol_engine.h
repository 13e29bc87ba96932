// ProtocolEngine, the protocol engine: control bytes and frames over a SerialPort, and the
// eight commands the window runs against the handset.
//
// Results: 0 or more is success (bytes sent, frame size, 1 for a control
// byte); negative is failure:
//   -1   bad CRC or empty data field; the handset answered "ERROR"; for
//        PutFile also: the local file does not exist
//   -2   time-out; the handset answered "REJ"; for PutFile also: the local
//        file cannot be read, is too large or its name has no code page 932
//        form (nothing sent)
//   -6   the handset ended the session by itself (and has been answered)
//   -7   file data refused by NAK          -8  a file data frame was lost
//   -100 unexpected byte or reply; general failure
//   -255 an unrecognised reply
//
// Threading: main thread only, not re-entrant; the caller keeps a busy flag.
// Every wait blocks the caller up to its time-out, and runs
// Ui().ProcessMessages() at least every 50 ms meanwhile (through the port's
// OnWaitSlice, which is restored afterwards), so handlers may run nested
// inside any operation. Message boxes and message processing go through
// mirvo::Ui(). Handset texts are code page 932 bytes;
// local paths are UTF-8.
#pragma once

#include <cstdint>
#include <climits>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvo {

class SerialPort;

class ProtocolEngine {
 public:
  using TKivPEvent = std::function<void(ProtocolEngine& Sender)>;

  explicit ProtocolEngine(SerialPort& port);
  ProtocolEngine(const ProtocolEngine&) = delete;
  ProtocolEngine& operator=(const ProtocolEngine&) = delete;

  SerialPort& Port;            // not owned
  int AckTimeout = 5000;    // per byte, control byte answers
  int DataTimeout = 5000;   // per byte, list and file data frames
  int ReplyTimeout = 180000;  // per byte, text replies
  // The wait for the first byte of the first data frame of a list or file.
  int FirstFrameTimeout = 300000;
  // GetList and GetFile fail (-100) when the data of a list or file goes
  // past MaxDataBytes or MaxControlRun control bytes come in a row between
  // its frames: a handset that streams without end can neither exhaust
  // memory nor hold the command forever.
  std::int64_t MaxDataBytes = INT32_MAX;
  int MaxControlRun = 65536;

  TKivPEvent OnAckWaitFailed;
  TKivPEvent OnDataWaitFailed;
  TKivPEvent OnReplyWaitFailed;
  TKivPEvent OnLinkEstablished;
  TKivPEvent OnLinkReleased;
  TKivPEvent OnPasswordError;
  TKivPEvent OnHandsetDisconnect;
  TKivPEvent OnTransferEnded;
  // Called on the caller's thread after each data frame of GetFile (bytes
  // of the file received so far) and PutFile (bytes sent so far); the last
  // call of a successful transfer gives the whole size. An empty upload
  // sends no data frame and so makes no call. May pump the window.
  std::function<void(std::int64_t bytes_done)> OnProgress;

  // Frame exchange.
  int SendBytes(const void* bytes, int count, int timeout_ms);
  int ReceiveBytes(void* buffer, int count, int wait_ms);
  int SendControl(std::uint8_t control);
  int SendFrame(std::uint8_t frame_type, const void* data, int length, bool append_crlf);
  int SendText(std::string_view text);
  // frame_type: in, what the caller expects (STX: the first data frame);
  // out, the first byte received. The data lands in buffer[0..capacity).
  int ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms);
  int WaitAck(std::uint8_t& control);
  int WaitReply(std::string& text);
  int AwaitEot(int value);
  int AnswerHandsetEnd(int value);
  static bool IsFailure(int value) { return value < 0; }

  // Commands.
  int EstablishLink();
  int ReleaseLink();
  int FtStart(std::string_view password);
  int FtEnd();
  int GetList(std::vector<std::string>& lines);
  // Appends the file to *target; target is untouched on failure.
  int GetFile(std::string& target, std::string_view handset_path);
  // local_path is a local (UTF-8) path; only its file name is sent.
  int PutFile(std::string_view prefix, const std::string& local_path, std::string_view attr);
  int DelFile(std::string_view handset_path);

 private:
  void Fire(const TKivPEvent& event);
  void Progress(std::int64_t bytes_done);
  // Whether a list or file being received has gone past MaxDataBytes or
  // MaxControlRun; traced.
  bool OverLimits(std::size_t bytes, int controls_in_a_row) const;
  // The shared request/ACK/reply opening of every command; 0 or -100.
  int CommandExchange(std::string_view request, std::string& reply);
  int HandsetEndPath(const char* frame, int size);
  // The CRC error box; -1.
  int CrcError();
  // With empty_data_ends_file (GetFile before any data), an ETX frame with no
  // data has its CRC read and checked and is a whole, empty file rather
  // than a failure.
  int ReceiveFrame(std::uint8_t& frame_type, char* buffer, int capacity, int wait_ms, bool empty_data_ends_file);

  bool answering_end_ = false;  // inside AnswerHandsetEnd
};

}  // namespace mirvo
