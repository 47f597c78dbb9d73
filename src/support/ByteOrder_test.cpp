#include "support/ByteOrder.h"

#include <gtest/gtest.h>

#include <array>

namespace common {
namespace {

using Bytes2 = std::array<uint8_t, 2>;
using Bytes4 = std::array<uint8_t, 4>;

// Every byte differs and has its high bit set, so a swapped, lost or sign-extended byte shows.
constexpr uint16_t sc_u16Value = 0xF1E2;
constexpr uint32_t sc_u32Value = 0xF1E2D3C4;

TEST(ByteOrder, StoresPutTheBytesInTheirOrder) {
  Bytes2 b2{};
  Bytes4 b4{};
  StoreLittleEndian16(b2.data(), sc_u16Value);
  EXPECT_EQ((Bytes2{0xE2, 0xF1}), b2);
  StoreBigEndian16(b2.data(), sc_u16Value);
  EXPECT_EQ((Bytes2{0xF1, 0xE2}), b2);
  StoreLittleEndian32(b4.data(), sc_u32Value);
  EXPECT_EQ((Bytes4{0xC4, 0xD3, 0xE2, 0xF1}), b4);
  StoreBigEndian32(b4.data(), sc_u32Value);
  EXPECT_EQ((Bytes4{0xF1, 0xE2, 0xD3, 0xC4}), b4);
}

TEST(ByteOrder, LoadsReadTheBytesInTheirOrder) {
  const Bytes2 b2{0xF1, 0xE2};
  const Bytes4 b4{0xF1, 0xE2, 0xD3, 0xC4};
  EXPECT_EQ(0xE2F1u, LoadLittleEndian16(b2.data()));
  EXPECT_EQ(0xF1E2u, LoadBigEndian16(b2.data()));
  EXPECT_EQ(0xC4D3E2F1u, LoadLittleEndian32(b4.data()));
  EXPECT_EQ(0xF1E2D3C4u, LoadBigEndian32(b4.data()));
}

}  // namespace
}  // namespace common
