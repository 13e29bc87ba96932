// CRC-16/XMODEM: polynomial 0x1021, initial 0, not reflected, no final XOR.
// Check value: Crc16("123456789") == 0x31C3.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvo {

std::uint16_t Crc16(const void* data, std::size_t count);

}  // namespace mirvo
