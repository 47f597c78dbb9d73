// Loads and stores of 16- and 32-bit integers in a fixed byte order, the only place where the
// stored files and the wire formats are put together byte by byte. Written with shifts on single
// bytes, so they give the same bytes on every host and need no alignment.
#pragma once

#include <cstdint>

namespace common {

inline uint16_t LoadLittleEndian16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  return LoadLittleEndian32(p) | (static_cast<uint64_t>(LoadLittleEndian32(p + 4)) << 32);
}
inline uint16_t LoadBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreLittleEndian16(uint8_t* p, uint16_t u) {
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
}

inline void StoreLittleEndian32(uint8_t* p, uint32_t u) {
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}

inline void StoreLittleEndian64(uint8_t* p, uint64_t u) {
  StoreLittleEndian32(p, static_cast<uint32_t>(u));
  StoreLittleEndian32(p + 4, static_cast<uint32_t>(u >> 32));
}
inline void StoreBigEndian16(uint8_t* p, uint16_t u) {
  p[0] = static_cast<uint8_t>(u >> 8);
  p[1] = static_cast<uint8_t>(u);
}

inline void StoreBigEndian32(uint8_t* p, uint32_t u) {
  p[0] = static_cast<uint8_t>(u >> 24);
  p[1] = static_cast<uint8_t>(u >> 16);
  p[2] = static_cast<uint8_t>(u >> 8);
  p[3] = static_cast<uint8_t>(u);
}

}  // namespace common
