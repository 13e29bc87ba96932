// The handset link's control bytes and data frames.
//
// A frame is: type (STX or ETX), big-endian 16-bit data length N, N data
// bytes, big-endian CRC-16/XMODEM of the data. Type and length are not
// covered by the CRC. Pure codec: no I/O, no state.
#pragma once

#include <cstdint>
#include <string>

namespace mirvo {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// Data bytes in one file-data frame from the PC; 1024 + 5 on the wire.
inline constexpr int kMaxFileFrameData = 1024;
inline constexpr int kMaxFrameSize = kMaxFileFrameData + 5;

// Appends one frame to *target and returns target's size afterwards; -1
// when there is no target or the data does not fit the 16-bit length
// (nothing is appended then). With append_crlf, CR LF follows the data and
// counts in the length and the CRC.
int MakeDataFrame(std::string* target, std::uint8_t frame_type, const void* data, int length, bool append_crlf);

// "STX", "ETX", "EOT", "ENQ", "ACK", "NAK", else "UnKnown".
const char* ControlName(std::uint8_t byte);

}  // namespace mirvo
