#include "protocol/crc16.h"

#include <array>

namespace mirvo {
namespace {

// Table form of the bitwise MSB-first algorithm; same values, eight times
// fewer steps, which matters for megabyte transfers checked frame by frame.
constexpr std::array<std::uint16_t, 256> MakeTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}

constexpr auto kTable = MakeTable();

}  // namespace

std::uint16_t Crc16(const void* data, std::size_t count) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

}  // namespace mirvo
