#include "handset/sim_wire.h"

#include <algorithm>
#include <unistd.h>

#include "protocol/crc16.h"

namespace mirvo::sim {

std::uint16_t FrameCrc(std::string_view data) { return Crc16(data.data(), data.size()); }

std::string EncodeFrame(unsigned char type, std::string_view data) {
  const std::uint16_t crc = FrameCrc(data);
  std::string out;
  out.reserve(data.size() + 5);
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(data.size() >> 8));
  out.push_back(static_cast<char>(data.size() & 0xFF));
  out.append(data);
  out.push_back(static_cast<char>(crc >> 8));
  out.push_back(static_cast<char>(crc & 0xFF));
  return out;
}

LinePacer::LinePacer(int bytes_per_second)
    : bytes_per_second_(std::max(bytes_per_second, 0)),
      chunk_(bytes_per_second > 0 ? std::clamp<std::size_t>(bytes_per_second / 200, 1, 1024) : 65536) {}

LinePacer::Clock::time_point LinePacer::FreeAt() const {
  if (!IsEnabled()) return anchor_;
  // Whole seconds and the remainder apart: exact, and no overflow.
  const auto bps = static_cast<unsigned long long>(bytes_per_second_);
  const unsigned long long ns =
      bytes_since_anchor_ / bps * 1'000'000'000ull + bytes_since_anchor_ % bps * 1'000'000'000ull / bps;
  return anchor_ + std::chrono::nanoseconds(static_cast<long long>(ns));
}

LinePacer::Clock::time_point LinePacer::Schedule(std::size_t count, Clock::time_point earliest_start) {
  if (!IsEnabled()) return earliest_start;
  if (earliest_start > FreeAt()) {
    anchor_ = earliest_start;
    bytes_since_anchor_ = 0;
  }
  bytes_since_anchor_ += count;
  return FreeAt();
}

}  // namespace mirvo::sim
