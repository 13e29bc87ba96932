// The simulated handset's frames: reading the PC's, sending its own with
// the fault set for them, the replies and the handset's own end of a session.
#include <algorithm>
#include <termios.h>

#include "handset/sim_handset_impl.h"
#include "text/cp932.h"

namespace mirvo::sim {

SimHandset::Impl::FrameBody SimHandset::Impl::ReadFrameBody(std::string& data,
                                                            std::optional<std::chrono::milliseconds> wait) {
  std::string field;
  if (!ReadExact(2, field, wait)) return FrameBody::kTimeout;
  const std::size_t n = static_cast<unsigned char>(field[0]) << 8 | static_cast<unsigned char>(field[1]);
  if (!ReadExact(n, data, wait) || !ReadExact(2, field, wait)) return FrameBody::kTimeout;
  const std::uint16_t crc =
      static_cast<std::uint16_t>(static_cast<unsigned char>(field[0]) << 8 | static_cast<unsigned char>(field[1]));
  return crc == FrameCrc(data) ? FrameBody::kOk : FrameBody::kBadCrc;
}

std::optional<FrameFault> SimHandset::Impl::TakeFrameFault() {
  std::lock_guard lock(mutex_);
  if (!frame_fault_ || --frame_fault_->countdown > 0) return std::nullopt;
  auto fault = std::move(frame_fault_);
  frame_fault_.reset();
  return fault;
}

SimHandset::Impl::FrameSent SimHandset::Impl::SendFrame(unsigned char type, std::string_view data, bool continuing,
                                                        bool faults, bool interruptible) {
  const auto fault = faults ? TakeFrameFault() : std::nullopt;
  std::string frame = EncodeFrame(type, data);
  if (!fault) return Send(frame, continuing, interruptible) ? FrameSent::kSent : FrameSent::kInterrupted;
  using Kind = FrameFault::Kind;
  switch (fault->kind) {
    case Kind::kCorruptCrc:
      frame.back() = static_cast<char>(frame.back() ^ 0x5A);
      return Send(frame, continuing) ? FrameSent::kSent : FrameSent::kStopped;
    case Kind::kGarbage:
      return Send(fault->garbage + frame, continuing) ? FrameSent::kSent : FrameSent::kStopped;
    case Kind::kSilence:
      Send(std::string_view(frame).substr(0, std::min(fault->bytes, frame.size())), continuing);
      return FrameSent::kStopped;
    case Kind::kOversize: {
      const std::size_t count = std::min<std::size_t>(fault->bytes, fault->length);
      std::string body(data.substr(0, count));
      body.resize(count, 'X');
      std::string out = EncodeFrame(type, body);
      out[1] = static_cast<char>(fault->length >> 8);
      out[2] = static_cast<char>(fault->length & 0xFF);
      if (count < fault->length) out.resize(3 + count);  // no CRC: the rest never comes
      const bool sent = Send(out, continuing);
      return sent && count == fault->length ? FrameSent::kSent : FrameSent::kStopped;
    }
    case Kind::kFtEnd:
      EndSessionFromHandset(fault->stx ? kStx : kEtx, false);
      return FrameSent::kStopped;
  }
  return FrameSent::kStopped;
}

// STX frames and a last ETX frame. Stops as soon as the PC says anything (it
// only does so when it has given up: NAK, then maybe a purge and ENQ) and
// drops what the PC has not read yet, so that no stale frame bytes written
// around the PC's purge reach it afterwards.
bool SimHandset::Impl::SendInFrames(std::string_view data, std::size_t frame_bytes) {
  std::size_t offset = 0;
  bool first = true;
  for (;;) {
    const std::size_t n = std::min(frame_bytes, data.size() - offset);
    const bool last = offset + n >= data.size();
    const FrameSent sent =
        SendFrame(last ? kEtx : kStx, data.substr(offset, n), !first, true, !options_.stream_through_nak);
    if (sent == FrameSent::kInterrupted) ::tcflush(slave_.Get(), TCIFLUSH);
    if (sent != FrameSent::kSent) return false;
    if (last) return true;
    offset += n;
    first = false;
  }
}

// After the data: PC: ACK; PC: ETX "OK"; HS: ACK.
void SimHandset::Impl::FinishDownload() {
  if (ExpectByte(kAck) && ExpectOkFrame()) SendControl(kAck);
}

// Sends the reply. "ERROR", "REJ" and another text finish the exchange
// here. kAwaitAck: the caller waits for the PC's ACK and goes on.
SimHandset::Impl::AfterReply SimHandset::Impl::SendReply(const std::string& reply, PcAfterOtherText other) {
  if (SendText(reply, true) != FrameSent::kSent) return AfterReply::kDone;
  if (reply == "OK") return AfterReply::kAwaitAck;
  if (reply == "ERROR") {
    if (ExpectByte(kAck) && SendControl(kEot)) ExpectByte(kAck);
    return AfterReply::kDone;
  }
  if (reply == "REJ" || other == PcAfterOtherText::kAcks) {
    ExpectByte(kAck);
    return AfterReply::kDone;
  }
  return AfterReply::kDone;
}

// Anything else is left for the idle loop: a new ENQ, the next command.
bool SimHandset::Impl::ExpectByte(unsigned char want) {
  const auto b = NextByte();
  if (!b) return false;
  if (*b == want) return true;
  PutBackByte();
  return false;
}

bool SimHandset::Impl::ExpectOkFrame() {
  const auto b = NextByte();
  if (!b) return false;
  if (*b != kEtx) {
    PutBackByte();
    return false;
  }
  std::string data;
  return ReadFrameBody(data) == FrameBody::kOk && text::TrimBlanks(data) == "OK";
}

// HS: "FT_END"; PC: ACK; PC: ETX "OK"; HS: ACK; HS: EOT; PC: ACK.
void SimHandset::Impl::EndSessionFromHandset(unsigned char type, bool faults) {
  UpdateState([](HandsetState& s) { s.session_open = false; });
  if (SendFrame(type, "FT_END\r\n", false, faults) != FrameSent::kSent) return;
  if (!ExpectByte(kAck) || !ExpectOkFrame()) return;
  const char ack_eot[] = {static_cast<char>(kAck), static_cast<char>(kEot)};
  if (!Send(std::string_view(ack_eot, 2)) || !ExpectByte(kAck)) return;
  UpdateState([](HandsetState& s) {
    s.link_up = false;
    ++s.handset_ends;
  });
}

}  // namespace mirvo::sim
