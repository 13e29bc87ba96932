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
      if (in_pos_ >= in_buf_.size()) {
        Update([](HandsetState& s) { s.busy = false; });
        if (FillInput(std::nullopt, true) != Fill::kData) continue;  // marks busy again
      }
      HandleIdleByte(static_cast<unsigned char>(in_buf_[in_pos_++]));
    }
  } catch (const Stopped&) {
  }
}

void SimHandset::Impl::RunActions() {
  for (;;) {
    Action action;
    {
      std::lock_guard lock(mu_);
      if (actions_.empty()) return;
      action = std::move(actions_.front());
      actions_.pop_front();
      state_.busy = true;
    }
    if (action.kind == Action::Kind::kFtEnd)
      HandsetEnd(kEtx, true);
    else
      Send(action.bytes);
  }
}

void SimHandset::Impl::HandleIdleByte(unsigned char b) {
  switch (b) {
    // State first: a test that has seen the ACK may rely on it.
    case kEnq:
      line_.clear();
      Update([](HandsetState& s) { s.link_up = true; });
      SendControl(kAck);
      return;
    case kEot:
      line_.clear();
      Update([](HandsetState& s) { s.link_up = false; });
      SendControl(kAck);
      return;
    case kAck:
    case kNak:
      return;  // late answer to an exchange already given up
    case kStx:
    case kEtx:
      line_.clear();
      HandleFrame(b);
      return;
    default:
      HandleModemByte(b);
  }
}

std::uint64_t SimHandset::Impl::BeginCommand(const std::string& text) {
  std::uint64_t id;
  {
    std::lock_guard lock(mu_);
    id = next_command_id_++;
    commands_.push_back({id, text, false});
  }
  if (opt_.on_command) opt_.on_command(text);
  return id;
}

void SimHandset::Impl::EndCommand(std::uint64_t id) {
  Update([&](HandsetState& s) {
    ++s.commands_done;
    for (auto& c : commands_)
      if (c.id == id) c.done = true;
  });
}

void SimHandset::Impl::HandleModemByte(unsigned char b) {
  if (b == '\n') {
    std::string line = std::move(line_);
    line_.clear();
    if (!line_overflow_) HandleModemLine(line + "\n");
    line_overflow_ = false;
    return;
  }
  if (line_.size() >= kModemLineLimit) {
    line_overflow_ = true;
    line_.clear();
    return;
  }
  if (!line_overflow_) line_.push_back(static_cast<char>(b));
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
      Update([](HandsetState& s) {
        s.link_up = false;
        s.session_open = false;
      });
    }
    if (upper == "ATE0") echo_ = false;
    if (upper == "ATE1") echo_ = true;
  } else if (upper == "ATI3") {
    out += "\r\n" + opt_.vendor + "\r\n\r\nOK\r\n";
  } else if (upper == "ATI4") {
    out += "\r\n" + opt_.model + "\r\n\r\nOK\r\n";
  } else {
    out += "\r\nERROR\r\n";
  }
  switch (opt_.modem) {
    case ModemMode::kAnswer:
      Send(out);
      break;
    case ModemMode::kSilent:
      break;
    case ModemMode::kEndless: {
      std::string stream;
      while (stream.size() < 256) stream += opt_.vendor.empty() ? std::string("?") : opt_.vendor;
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
  const Body body = ReadFrameBody(data);
  if (body == Body::kTimeout || !LinkUp()) return;  // no link: nobody is talking to us
  if (body == Body::kBadCrc) {
    SendControl(kNak);
    Update([](HandsetState& s) { ++s.naks_sent; });
    return;
  }
  if (type == kStx) return;  // data, but no transfer runs
  HandleCommand(StripLineEnd(data));
}

std::optional<std::string> SimHandset::Impl::TakeReply(const std::string& name) {
  std::lock_guard lock(mu_);
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
  const auto forced = TakeReply(name);
  if (!well_formed) {
    Reply(forced.value_or("ERROR"), Other::kNothing);
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
    if (reply == "OK") Update([](HandsetState& s) { s.session_open = false; });
    if (Reply(reply, Other::kAck) == Next::kOk) ExpectByte(kAck);
  } else {
    Reply(forced.value_or("ERROR"), Other::kNothing);
  }
}

void SimHandset::Impl::CommandFtStart(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  const std::string reply = forced.value_or(has_arg && arg == opt_.password ? "OK" : "ERROR");
  if (reply == "OK") Update([](HandsetState& s) { s.session_open = true; });
  if (Reply(reply, Other::kAck) == Next::kOk) ExpectByte(kAck);
}

void SimHandset::Impl::CommandGetList(bool plain, const std::optional<std::string>& forced) {
  const bool ok = plain && SessionOpen();
  const std::string reply = forced.value_or(ok ? "OK" : "ERROR");
  std::string list = reply == "OK" ? fs_.ListText() : std::string();
  if (list.empty()) list = "\r\n";  // a frame with no data would be refused
  if (Reply(reply, Other::kNothing) != Next::kOk || !ExpectByte(kAck)) return;
  if (SendData(list, static_cast<std::size_t>(opt_.list_frame_bytes))) FinishDownload();
}

void SimHandset::Impl::CommandGetFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string data;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (has_arg && SessionOpen()) result = fs_.ReadFile(arg, kHandsetSeparator, data);
  const std::string own = result == HandsetFs::Result::kOk            ? "OK"
                          : result == HandsetFs::Result::kCopyGuarded ? "REJ"
                                                                      : "ERROR";
  const Next next = Reply(forced.value_or(own), Other::kData);
  if (next == Next::kDone || (next == Next::kOk && !ExpectByte(kAck))) return;
  if (result != HandsetFs::Result::kOk) return;  // another text forced, and nothing to send
  if (SendData(data, kFileFrameBytes)) FinishDownload();
}

void SimHandset::Impl::CommandPutFile(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  // name,size,flags; the name cannot hold "," (no list line could carry it).
  std::int64_t size = 0;
  const auto c1 = arg.find(',');
  const auto c2 = c1 == std::string::npos ? c1 : arg.find(',', c1 + 1);
  const bool parsed = has_arg && c2 != std::string::npos && arg.find(',', c2 + 1) == std::string::npos &&
                      ParseSize(std::string_view(arg).substr(c1 + 1, c2 - c1 - 1), size);
  const bool refused = forced && (*forced == "ERROR" || *forced == "REJ");
  std::unique_ptr<HandsetFs::Upload> upload;
  HandsetFs::Result result = HandsetFs::Result::kBadName;
  if (parsed && SessionOpen() && !refused) result = fs_.BeginUpload(arg.substr(0, c1), arg.substr(c2 + 1), upload);
  const std::string own = result == HandsetFs::Result::kOk          ? "OK"
                          : result == HandsetFs::Result::kProtected ? "REJ"
                                                                    : "ERROR";
  const Next next = Reply(forced.value_or(own), Other::kData);
  if (next == Next::kDone || (next == Next::kOk && !ExpectByte(kAck))) return;
  int nak_at;
  {
    std::lock_guard lock(mu_);
    nak_at = std::exchange(nak_upload_frame_, 0);
  }
  ReceiveUpload(upload.get(), size, nak_at);
}

void SimHandset::Impl::CommandDel(bool has_arg, const std::string& arg, const std::optional<std::string>& forced) {
  std::string reply = "ERROR";
  if (forced) {
    reply = *forced;
  } else if (has_arg && SessionOpen()) {
    const auto result = fs_.Delete(arg, kPcSeparator);
    reply = result == HandsetFs::Result::kOk ? "OK" : result == HandsetFs::Result::kProtected ? "REJ" : "ERROR";
  }
  if (Reply(reply, Other::kNothing) == Next::kOk) ExpectByte(kAck);
}

// The PC's data frames: STX frames, then one ETX frame. A refused upload
// (NAK sent, or nothing to store into) is read to its end or to the PC's new
// ENQ so that its last frame is not taken for a command.
void SimHandset::Impl::ReceiveUpload(HandsetFs::Upload* upload, std::int64_t size, int nak_at) {
  bool naked = false;
  auto nak = [&] {
    if (naked) return;
    naked = true;
    SendControl(kNak);
    Update([](HandsetState& s) { ++s.naks_sent; });
  };
  std::int64_t total = 0;
  for (int frame = 1; size > 0; ++frame) {
    const auto type = NextByte();
    if (!type) return;
    if (*type != kStx && *type != kEtx) {
      Unread();
      return;
    }
    std::string data;
    const Body body = ReadFrameBody(data);
    if (body == Body::kTimeout) return;
    total += static_cast<std::int64_t>(data.size());
    const bool last = *type == kEtx;
    const bool bad = body == Body::kBadCrc || data.empty() || data.size() > kFileFrameBytes || total > size ||
                     (last && total != size) || frame == nak_at;
    if (bad || !upload || !upload->Write(data)) {
      if (bad) nak();
      upload = nullptr;
    }
    if (last) break;
  }
  if (!upload || !upload->Commit()) {
    nak();
    return;
  }
  Update([](HandsetState& s) { ++s.files_stored; });
  if (SendControl(kAck) && SendText("OK", true) == Sent::kOn) ExpectByte(kAck);
}

}  // namespace mirvo::sim
