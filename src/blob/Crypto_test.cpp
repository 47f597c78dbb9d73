// Known-answer tests of the crypto layer with the published vectors: FIPS-197 and SP 800-38A
// for AES-128 (CBC), RFC 2202 for HMAC-SHA1, RFC 1321 for MD5. They run against whichever
// provider the build chose.
#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& s) {
  Bytes b;
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    b.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
  return b;
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s = platform::ToUpperHex(p, n);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(Crypto, Aes128FipsExampleIsFirstCbcBlockWithZeroIV) {
  Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes iv(16, 0);
  Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  Bytes cipher(32);
  ASSERT_TRUE(platform::Aes128CbcEncrypt(key.data(), iv.data(), plain.data(), 16, cipher.data()));
  EXPECT_EQ("69c4e0d86a7b0430d8cdb78070b4c55a", Hex(cipher.data(), 16));
}

TEST(Crypto, Aes128CbcSp80038aVectorsAndPadding) {
  Bytes key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  Bytes iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  std::string sExpected =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
  ASSERT_EQ(80u, platform::Aes128CbcCipherSize(64));
  Bytes cipher(80);
  ASSERT_TRUE(platform::Aes128CbcEncrypt(key.data(), iv.data(), plain.data(), 64, cipher.data()));
  EXPECT_EQ(sExpected, Hex(cipher.data(), 64));  // the fifth block is the padding block

  Bytes out(80);
  size_t uOut = 0;
  ASSERT_TRUE(
      platform::Aes128CbcDecrypt(key.data(), iv.data(), cipher.data(), 80, out.data(), &uOut));
  EXPECT_EQ(64u, uOut);
  EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + 64));
  // The published ciphertext alone ends in a data block, which is not valid padding.
  EXPECT_FALSE(
      platform::Aes128CbcDecrypt(key.data(), iv.data(), cipher.data(), 64, out.data(), &uOut));
  EXPECT_FALSE(
      platform::Aes128CbcDecrypt(key.data(), iv.data(), cipher.data(), 63, out.data(), &uOut));
}

TEST(Crypto, Aes128CbcPaddingLengths) {
  Bytes key(16, 7), iv(16, 9);
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 32u}) {
    Bytes plain(n, 0x5a), cipher(platform::Aes128CbcCipherSize(n)), out(cipher.size());
    ASSERT_TRUE(platform::Aes128CbcEncrypt(key.data(), iv.data(), plain.data(), n, cipher.data()));
    size_t uOut = 99;
    ASSERT_TRUE(platform::Aes128CbcDecrypt(key.data(), iv.data(), cipher.data(), cipher.size(),
                                           out.data(), &uOut));
    EXPECT_EQ(n, uOut);
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + n));
  }
}

TEST(Crypto, HmacSha1Rfc2202) {
  struct {
    Bytes key;
    Bytes data;
    const char* pszMac;
  } cases[] = {
      {Bytes(20, 0x0b), Bytes({'H', 'i', ' ', 'T', 'h', 'e', 'r', 'e'}),
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Bytes({'J', 'e', 'f', 'e'}), Bytes(), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {Bytes(80, 0xaa), Bytes(), "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
  };
  std::string s2 = "what do ya want for nothing?";
  cases[1].data.assign(s2.begin(), s2.end());
  std::string s4 = "Test Using Larger Than Block-Size Key - Hash Key First";
  cases[3].data.assign(s4.begin(), s4.end());
  for (const auto& c : cases) {
    uint8_t mac[20];
    ASSERT_TRUE(platform::HmacSha1(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac));
    EXPECT_EQ(c.pszMac, Hex(mac, 20));
  }
}

TEST(Crypto, Md5Rfc1321) {
  const char* cases[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    uint8_t digest[16];
    std::string s = c[0];
    ASSERT_TRUE(platform::Md5(reinterpret_cast<const uint8_t*>(s.data()), s.size(), digest));
    EXPECT_EQ(c[1], Hex(digest, 16));
  }
  uint8_t digest[16];
  ASSERT_TRUE(platform::Md5(reinterpret_cast<const uint8_t*>("abc"), 3, digest));
  EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", platform::ToUpperHex(digest, 16));
}

TEST(Crypto, RandomBytesDiffer) {
  uint8_t a[16] = {}, b[16] = {};
  ASSERT_TRUE(platform::GetRandomBytes(a, sizeof(a)));
  ASSERT_TRUE(platform::GetRandomBytes(b, sizeof(b)));
  EXPECT_NE(Bytes(a, a + 16), Bytes(b, b + 16));
}

}  // namespace
