// What the simulated handset does with what the PC sends: the idle loop,
// the modem's AT lines, and each command of the link protocol.
#include <algorithm>
#include <cctype>

#include "handset/sim_handset_impl.h"
#include "text/cp932.h"

namespace mirvo::sim {
namespace {

constexpr std::size_t kModemLineLimit = 256;
constexpr std::int64_t kMaxPutSize = 0x7FFFFFFF;  // the PC sends a 32-bit signed size

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


void SimHandset::Impl::Serve() {
  try {
    for (;;) {
      RunActions();
      if (input_pos_ >= input_.size()) {
        UpdateState([](HandsetState& s) { s.busy = false; });
        if (FillInput(std::nullopt, true) != FillOutcome::kData) continue;  // marks busy again
      }
      HandleIdleByte(static_cast<unsigned char>(input_[input_pos_++]));
    }
  } catch (const StopServing&) {
  }
}

void SimHandset::Impl::RunActions() {
  for (;;) {
    QueuedAction action;
    {
      std::lock_guard lock(mutex_);
      if (actions_.empty()) return;
      action = std::move(actions_.front());
      actions_.pop_front();
      state_.busy = true;
    }
    if (action.kind == QueuedAction::Kind::kFtEnd)
      EndSessionFromHandset(kEtx, true);
    else
      Send(action.bytes);
  }
}

void SimHandset::Impl::HandleIdleByte(unsigned char b) {
  switch (b) {
    // State first: a test that has seen the ACK may rely on it.
    case kEnq:
      modem_line_.clear();
      UpdateState([](HandsetState& s) { s.link_up = true; });
      SendControl(kAck);
      return;
    case kEot:
      modem_line_.clear();
      UpdateState([](HandsetState& s) { s.link_up = false; });
      SendControl(kAck);
      return;
    case kAck:
    case kNak:
      return;  // late answer to an exchange already given up
    case kStx:
    case kEtx:
      modem_line_.clear();
      HandleFrame(b);
      return;
    default:
      HandleModemByte(b);
  }
}

std::uint64_t SimHandset::Impl::BeginCommand(const std::string& text) {
  std::uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = next_command_id_++;
    commands_.push_back({id, text, false});
  }
  if (options_.on_command) options_.on_command(text);
  return id;
}

void SimHandset::Impl::EndCommand(std::uint64_t id) {
  UpdateState([&](HandsetState& s) {
    ++s.commands_done;
    for (auto& c : commands_)
      if (c.id == id) c.done = true;
  });
}

void SimHandset::Impl::HandleModemByte(unsigned char b) {
  if (b == '\n') {
    std::string line = std::move(modem_line_);
    modem_line_.clear();
    if (!modem_line_too_long_) HandleModemLine(line + "\n");
    modem_line_too_long_ = false;
    return;
  }
  if (modem_line_.size() >= kModemLineLimit) {
    modem_line_too_long_ = true;
    modem_line_.clear();
    return;
  }
  if (!modem_line_too_long_) modem_line_.push_back(static_cast<char>(b));
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
      UpdateState([](HandsetState& s) {
        s.link_up = false;
        s.session_open = false;
      });
    }
    if (upper == "ATE0") echo_ = false;
    if (upper == "ATE1") echo_ = true;
  } else if (upper == "ATI3") {
    out += "\r\n" + options_.vendor + "\r\n\r\nOK\r\n";
  } else if (upper == "ATI4") {
    out += "\r\n" + options_.model + "\r\n\r\nOK\r\n";
  } else {
    out += "\r\nERROR\r\n";
  }
  switch (options_.modem) {
    case ModemMode::kAnswer:
      Send(out);
      break;
    case ModemMode::kSilent:
      break;
    case ModemMode::kEndless: {
      std::string stream;
      while (stream.size() < 256) stream += options_.vendor.empty() ? std::string("?") : options_.vendor;
      // Paced from now, not from whenever the line was last busy.
      for (bool first = true; Send(stream, !first, true); first = false) {
      }
      break;
    }
  }
  EndCommand(id);
}

void SimHandset::Impl::HandleFrame(unsigned char type) {
  std::string data;
  const FrameBody body = ReadFrameBody(data);
  if (body == FrameBody::kTimeout || !IsLinkUp()) return;  // no link: nobody is talking to us
  if (body == FrameBody::kBadCrc) {
    SendControl(kNak);
    UpdateState([](HandsetState& s) { ++s.naks_sent; });
    return;
  }
  if (type == kStx) return;  // data, but no transfer runs
  HandleCommand(StripLineEnd(data));
}

std::optional<std::string> SimHandset::Impl::TakeForcedReply(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = replies_.find(name);
  if (it == replies_.end()) it = replies_.find("*");
  if (it == replies_.end()) return std::nullopt;
  std::string text = it->second.first;
  if (it->second.second > 0 && --it->second.second == 0) replies_.erase(it);  // < 1: until cleared
  if (text == "OK") return std::nullopt;
  return text;
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
  const auto forced = TakeForcedReply(name);
  if (!well_formed) {
    SendReply(forced.value_or("ERROR"), PcAfterOtherText::kSaysNothing);
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
    if (reply == "OK") UpdateState([](HandsetState& s) { s.session_open = false; });
    if (SendReply(reply, PcAfterOtherText::kAcks) == AfterReply::kAwaitAck) ExpectByte(kAck);
  } else {
    SendReply(forced.value_or("ERROR"), PcAfterOtherText::kSaysNothing);
  }
}

void SimHandset::Impl::CommandFtStart(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  const std::string reply = forced.value_or(has_arg && arg == options_.password ? "OK" : "ERROR");
  if (reply == "OK") UpdateState([](HandsetState& s) { s.session_open = true; });
  if (SendReply(reply, PcAfterOtherText::kAcks) == AfterReply::kAwaitAck) ExpectByte(kAck);
}

void SimHandset::Impl::CommandGetList(bool plain, const std::optional<std::string>& forced) {
  const bool ok = plain && IsSessionOpen();
  const std::string reply = forced.value_or(ok ? "OK" : "ERROR");
  std::string list = reply == "OK" ? files_.ListText() : std::string();
  if (list.empty()) list = "\r\n";  // a frame with no data would be refused
  if (SendReply(reply, PcAfterOtherText::kSaysNothing) != AfterReply::kAwaitAck || !ExpectByte(kAck)) return;
  if (SendInFrames(list, static_cast<std::size_t>(options_.list_frame_bytes))) FinishDownload();
}

void SimHandset::Impl::CommandGetFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string data;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (has_arg && IsSessionOpen()) result = files_.ReadFile(arg, kHandsetSeparator, data);
  const std::string own = result == HandsetFs::Result::kOk            ? "OK"
                          : result == HandsetFs::Result::kCopyGuarded ? "REJ"
                                                                      : "ERROR";
  const AfterReply next = SendReply(forced.value_or(own), PcAfterOtherText::kAcks);
  if (next == AfterReply::kDone || (next == AfterReply::kAwaitAck && !ExpectByte(kAck))) return;
  if (result != HandsetFs::Result::kOk) return;  // another text forced, and nothing to send
  if (SendInFrames(data, kFileFrameBytes)) FinishDownload();
}

void SimHandset::Impl::CommandPutFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  // name,size,flags; the name cannot hold "," (no list line could carry it).
  std::int64_t size = 0;
  const auto first_comma = arg.find(',');
  const auto second_comma = first_comma == std::string::npos ? first_comma : arg.find(',', first_comma + 1);
  const bool parsed = has_arg && second_comma != std::string::npos &&
                      arg.find(',', second_comma + 1) == std::string::npos &&
                      ParseSize(std::string_view(arg).substr(first_comma + 1, second_comma - first_comma - 1), size);
  const bool refused = forced && (*forced == "ERROR" || *forced == "REJ");
  std::unique_ptr<HandsetFs::Upload> upload;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (parsed && IsSessionOpen() && !refused)
    result = files_.BeginUpload(arg.substr(0, first_comma), arg.substr(second_comma + 1), upload);
  const std::string own = result == HandsetFs::Result::kOk          ? "OK"
                          : result == HandsetFs::Result::kProtected ? "REJ"
                                                                    : "ERROR";
  const AfterReply next = SendReply(forced.value_or(own), PcAfterOtherText::kAcks);
  if (next == AfterReply::kDone || (next == AfterReply::kAwaitAck && !ExpectByte(kAck))) return;
  int nak_at;
  {
    std::lock_guard lock(mutex_);
    nak_at = std::exchange(nak_upload_frame_, 0);
  }
  ReceiveUpload(upload.get(), size, nak_at);
}

void SimHandset::Impl::CommandDel(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string reply = "ERROR";
  if (forced) {
    reply = *forced;
  } else if (has_arg && IsSessionOpen()) {
    const auto result = files_.Delete(arg, kPcSeparator);
    reply = result == HandsetFs::Result::kOk ? "OK" : result == HandsetFs::Result::kProtected ? "REJ" : "ERROR";
  }
  if (SendReply(reply, PcAfterOtherText::kSaysNothing) == AfterReply::kAwaitAck) ExpectByte(kAck);
}

// The PC's data frames: STX frames, then one ETX frame. A refused upload
// (NAK sent, or nothing to store into) is read to its end or to the PC's new
// ENQ so that its last frame is not taken for a command. After a NAK the PC
// throws away the frames it still had queued, one maybe cut short: the line
// is read off until it rests, and the next byte is the PC's new ENQ.
// Shorter than the least quiet time the PC waits before its new link.
constexpr std::chrono::milliseconds kRestGap{20};

void SimHandset::Impl::ReceiveUpload(HandsetFs::Upload* upload, std::int64_t size, int nak_at) {
  bool naked = false;
  auto nak = [&] {
    if (naked) return;
    naked = true;
    SendControl(kNak);
    UpdateState([](HandsetState& s) { ++s.naks_sent; });
  };
  std::int64_t total = 0;
  for (int frame = 1; size > 0; ++frame) {
    const auto type = NextByte();
    if (!type) return;
    if (*type != kStx && *type != kEtx) {
      PutBackByte();
      return;
    }
    std::string data;
    const FrameBody body = ReadFrameBody(data);
    if (body == FrameBody::kTimeout) return;
    total += static_cast<std::int64_t>(data.size());
    const bool last = *type == kEtx;
    const bool bad = body == FrameBody::kBadCrc || data.empty() || data.size() > kFileFrameBytes || total > size ||
                     (last && total != size) || frame == nak_at;
    if (bad || !upload || !upload->Write(data)) {
      upload = nullptr;
      if (bad) {
        nak();
        PassOverRefusedFrames();
        return;
      }
    }
    if (last) break;
  }
  if (!upload || !upload->Commit()) {
    nak();
    return;
  }
  UpdateState([](HandsetState& s) { ++s.files_stored; });
  if (SendControl(kAck) && SendText("OK", true) == FrameSent::kSent) ExpectByte(kAck);
}

void SimHandset::Impl::PassOverRefusedFrames() {
  while (const auto type = NextByte(kRestGap)) {
    if (*type != kStx && *type != kEtx) {
      PutBackByte();  // the PC's new link
      return;
    }
    std::string data;
    if (ReadFrameBody(data, kRestGap) == FrameBody::kTimeout) return;  // cut short: the line rests
  }
}

}  // namespace mirvo::sim
