// Pieces of the simulated handset that do no I/O: control bytes, the frame
// encoder, an owned file descriptor, and the clock arithmetic of line-speed
// emulation. Kept apart from the engine's own framing on purpose, so that a
// framing fault on the PC side cannot hide behind shared code.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

namespace mirvo::sim {

inline constexpr unsigned char kStx = 0x02;
inline constexpr unsigned char kEtx = 0x03;
inline constexpr unsigned char kEot = 0x04;
inline constexpr unsigned char kEnq = 0x05;
inline constexpr unsigned char kAck = 0x06;
inline constexpr unsigned char kNak = 0x15;

// Type byte, 16-bit big-endian length, data, CRC-16/XMODEM of the data
// (big-endian). data.size() <= 65535.
std::string EncodeFrame(unsigned char type, std::string_view data);
std::uint16_t FrameCrc(std::string_view data);

// One direction of an emulated serial line. Time is measured from an anchor
// in whole bytes, so rounding never accumulates over a long transfer; the
// anchor moves only when the line has been quiet.
class LinePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LinePacer(int bytes_per_second);

  bool IsEnabled() const { return bytes_per_second_ > 0; }
  // Bytes per hand-over: about 5 ms of line time.
  std::size_t ChunkBytes() const { return chunk_; }

  // `count` bytes go on the line, not before `earliest_start` and not before
  // the line has finished with the bytes before them. Returns the moment the
  // last of them has crossed: when a real line would deliver them.
  Clock::time_point Schedule(std::size_t count, Clock::time_point earliest_start);
  // When the line will be free again.
  Clock::time_point FreeAt() const;

 private:
  long long bytes_per_second_;
  std::size_t chunk_;
  Clock::time_point anchor_{};
  unsigned long long bytes_since_anchor_ = 0;
};

}  // namespace mirvo::sim
