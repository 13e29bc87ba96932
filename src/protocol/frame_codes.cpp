#include "protocol/frame_codes.h"

#include "protocol/crc16.h"

namespace mirvo {

int MakeDataFrame(std::string* target, std::uint8_t frame_type, const void* data, int length, bool append_crlf) {
  if (!target || length < 0 || (length > 0 && !data)) return -1;
  const int n = length + (append_crlf ? 2 : 0);
  if (n > 0xFFFF) return -1;
  const auto* bytes = static_cast<const char*>(data);

  const std::size_t start = target->size();
  target->reserve(start + static_cast<std::size_t>(n) + 5);
  target->push_back(static_cast<char>(frame_type));
  target->push_back(static_cast<char>(n >> 8));
  target->push_back(static_cast<char>(n & 0xFF));
  if (length > 0) target->append(bytes, static_cast<std::size_t>(length));
  if (append_crlf) target->append("\r\n", 2);
  const std::uint16_t crc = Crc16(target->data() + start + 3, static_cast<std::size_t>(n));
  target->push_back(static_cast<char>(crc >> 8));
  target->push_back(static_cast<char>(crc & 0xFF));
  return static_cast<int>(target->size());
}

const char* ControlName(std::uint8_t byte) {
  switch (byte) {
    case kStx: return "STX";
    case kEtx: return "ETX";
    case kEot: return "EOT";
    case kEnq: return "ENQ";
    case kAck: return "ACK";
    case kNak: return "NAK";
    default: return "UnKnown";
  }
}

}  // namespace mirvo
