// A simulated handset on a pseudo-terminal, for integration tests, benchmarks
// and the demo. It serves a local folder (see sim_fs.h for names, tags and
// the attributes sidecar) over the handset side of the link protocol, from a
// thread of its own, on the master side of the pseudo-terminal; the PC opens
// DevicePath().
//
// What it answers:
// - Before and between sessions, lines "AT...\r\n": echo (on until ATE0, and
//   again after ATZ or ATE1), then ATZ, ATE0, ATE1, AT -> "\r\nOK\r\n";
//   ATI3 -> "\r\n" vendor "\r\n\r\nOK\r\n"; ATI4 the same with the model;
//   other AT commands -> "\r\nERROR\r\n". ATZ also drops link and session.
// - ENQ -> ACK (link up; the session survives a new link), EOT -> ACK (link
//   down). Frames before the link is up are ignored; a command frame with a
//   wrong CRC is answered NAK.
// - Commands, each acknowledged with ACK and answered with an ETX frame
//   "OK", "ERROR" or "REJ" (followed by CR LF): FT_START[password];
//   GET_LIST; GET_FILE[path] and PUT_FILE[path,size,flags] with 0xA5
//   between folders; DEL[path] with "\" between folders; FT_END. Before a
//   successful FT_START every command but FT_END is answered "ERROR". After
//   "ERROR" the handset sends EOT once the PC has acknowledged. Refusals:
//   GET_FILE of a copy-guarded file and PUT_FILE over or DEL of a protected
//   file answer "REJ"; a missing file, a name that would leave the folder or
//   cannot be listed, or a malformed command answers "ERROR".
// - Lists and files leave as STX frames and a last ETX frame: files 1024 data
//   bytes per frame, lists list_frame_bytes; an empty list is one line end,
//   an empty file one ETX frame with no data. When the PC speaks up during
//   them (NAK, ENQ) the handset stops and drops what the PC has not read
//   yet, so no stale frame follows the PC's purge; with stream_through_nak
//   it sends them to the end whatever the PC says, as a handset does that
//   had its frames queued. An upload is stored only once
//   complete: the byte count must match the size in PUT_FILE and no frame may
//   exceed 1024 bytes, else NAK (as for a wrong CRC) and nothing changes.
//
// Thread safety: every public member may be called from any thread while the
// handset serves, but for DevicePath(), which Replug changes: read it on the
// thread that replugs, or once Replug has returned. Fault settings take effect at the next point they apply;
// `on_command` runs on the serving thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace mirvo::sim {

enum class ModemMode {
  kAnswer,   // answers the AT commands
  kSilent,   // sends nothing at all in answer to an AT command
  kEndless,  // after an AT command, streams vendor text without end until the PC sends again
};

struct HandsetOptions {
  // Texts are code page 932 bytes.
  std::string vendor = "ZQR";
  std::string model = "TQ-R5101K";
  std::string password = "0000";
  // Emulated line speed in both directions (115200 bit/s, 8N1: 11520); 0 runs
  // as fast as the pseudo-terminal.
  int bytes_per_second = 0;
  // List bytes per frame, 1 to 1024.
  int list_frame_bytes = 1024;
  // Lists and files go out to their last frame even after the PC's NAK.
  bool stream_through_nak = false;
  ModemMode modem = ModemMode::kAnswer;
  // How long the handset waits for each expected byte from the PC inside an
  // exchange before it gives the exchange up.
  std::chrono::milliseconds wait{10000};
  // Keep every byte from the PC for ReceivedBytes(); off for long runs.
  bool record_bytes = true;
  // Called with each command text received (code page 932, no CR LF).
  std::function<void(const std::string&)> on_command;
  // A link to the device, such as <settings dir>/ports/COMn, there while
  // the handset is plugged in: made at the start and at Replug, removed at
  // Unplug and at the end while it still leads to this handset. One that
  // exists already is replaced if it is a link. Empty: none.
  std::filesystem::path port_link;
};

struct HandsetState {
  bool link_up = false;
  bool session_open = false;
  bool busy = false;           // bytes from the PC unread, inside an exchange, or an action queued
  bool hung_up = false;        // HangUp(), Unplug() or the line failed: serves no more
  std::size_t commands_done = 0;   // command exchanges finished, however they ended
  std::size_t handset_ends = 0;    // own FT_END exchanges the PC answered in full
  std::size_t naks_sent = 0;
  std::size_t files_stored = 0;
};

class SimHandset {
 public:
  // Creates the pseudo-terminal and starts serving. Throws std::runtime_error
  // when the root or its sidecar is unusable, no pseudo-terminal can be had or
  // the port link cannot be made, std::invalid_argument for options out of range.
  explicit SimHandset(std::filesystem::path root, HandsetOptions options = {});
  ~SimHandset();  // stops and joins the serving thread, closes the terminal
  SimHandset(const SimHandset&) = delete;
  SimHandset& operator=(const SimHandset&) = delete;

  // The slave side for the PC to open (kept open by the handset as well, so
  // the line does not hang up between the PC's opens). Raw mode.
  const std::string& DevicePath() const;

  // --- Faults ---------------------------------------------------------
  // The next `times` commands named `command` ("FT_START", "GET_LIST",
  // "GET_FILE", "PUT_FILE", "DEL", "FT_END", or "*" for any; times < 1:
  // until cleared) are answered `text` instead. "ERROR" (closed with EOT
  // after the PC's ACK) and "REJ" do nothing more. Any other text is sent as
  // it stands, and the handset goes on as the PC does: FT_START, FT_END,
  // GET_FILE and PUT_FILE wait for its ACK and end there, GET_LIST, DEL and
  // unknown commands end at once (no ACK comes). "OK" leaves the handset's
  // own answer.
  void SetReply(std::string command, std::string text, int times = 1);
  void ClearReplies();

  // Frame faults act on the nth frame the handset sends from now on (1: the
  // next), counting every frame: replies, list and file data, FT_END. One at
  // a time; setting one replaces the last.
  void CorruptCrc(int nth = 1);
  // Length field `length`, then `bytes` data bytes (the real data, padded
  // with "X"); a complete frame gets a valid CRC, a shorter one is followed
  // by silence.
  void OversizeLength(int nth = 1, std::uint16_t length = 0xFFFF, std::size_t bytes = 0xFFFF);
  // Sends the first `byte_k` bytes of the frame, then nothing more in this
  // exchange.
  void SilenceFrom(std::size_t byte_k, int nth = 1);
  // Sends "FT_END" in place of the frame (ETX, or STX when asked) and runs
  // the handset's end of the session.
  void FtEndInPlaceOf(int nth = 1, bool stx_frame = false);
  // Sends `bytes` just before the frame.
  void GarbageBefore(int nth, std::string bytes);
  void ClearFrameFault();

  // NAKs the nth data frame (1: the first; the last ETX frame counts) of the
  // next upload; that upload consumes the setting whether or not it reaches
  // frame n.
  void NakUploadFrame(int n);

  // Queued; sent as soon as the handset is between exchanges.
  void SendFtEnd();  // the handset ends the session by itself
  void SendGarbage(std::string bytes);

  // Closes the master side: the PC's line hangs up and the handset stops.
  void HangUp();
  // As a cable pulled out: removes the port link, stops serving and closes
  // the pseudo-terminal, whose device then goes away. Files, options and
  // fault settings stay.
  void Unplug();
  // As the cable put back after Unplug or HangUp: a new pseudo-terminal
  // (DevicePath() may change), a fresh line (no link up, no session, echo
  // on), the port link again. Does nothing while plugged in. False when no
  // pseudo-terminal can be had or the link cannot be made: it stays unplugged.
  bool Replug();

  // --- Observation ----------------------------------------------------
  // AT lines and command texts received (code page 932, CR LF stripped).
  std::vector<std::string> Commands() const;
  // Every byte received from the PC, in order (when record_bytes).
  std::string ReceivedBytes() const;
  void ClearLog();
  HandsetState State() const;
  // Waits until pred(State()) holds, re-checked at every change of state;
  // false when the bound passes first.
  bool WaitFor(const std::function<bool(const HandsetState&)>& pred, std::chrono::milliseconds bound) const;
  // Waits until a command beginning with `prefix`, received since the last
  // ClearLog, has been dealt with to the end of its exchange.
  bool WaitForCommand(std::string_view prefix, std::chrono::milliseconds bound) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mirvo::sim
