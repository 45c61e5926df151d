// The pieces of the BinHex and MacBinary formats that both share: the CRC-16 that checks their
// headers and forks, and the 32-bit numbers they store most significant byte first. Pure
// functions and constants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, no reflection), the check of the BinHex and MacBinary
// formats. crc16Step takes one more byte, the same as shifting its bits in and, at the end, 16
// zero bits; crc16 is the value of n bytes from 0.
struct Crc16Table {
  std::array<uint16_t, 256> entries{};
  constexpr Crc16Table() {
    for (int byte = 0; byte < 256; ++byte) {
      uint16_t crc = static_cast<uint16_t>(byte << 8);
      for (int bit = 0; bit < 8; ++bit) {
        crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
      }
      entries[static_cast<size_t>(byte)] = crc;
    }
  }
};
inline constexpr Crc16Table kCrc16Table;

inline uint16_t crc16Step(uint16_t crc, unsigned char byte) {
  return static_cast<uint16_t>((crc << 8) ^ kCrc16Table.entries[((crc >> 8) ^ byte) & 0xFF]);
}

inline uint16_t crc16(const unsigned char* bytes, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = crc16Step(crc, bytes[i]);
  return crc;
}

// The 32-bit number stored most significant byte first at bytes, as both formats store theirs.
inline uint32_t readBigEndian32(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}
