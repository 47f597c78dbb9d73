#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "security/Sha256.h"
#include "security/SigningKey.h"

namespace common {
namespace {

std::vector<uint8_t> Bytes(const std::string& sHex) {
  std::vector<uint8_t> bytes(sHex.size() / 2);
  EXPECT_TRUE(FromHex(sHex, bytes.data(), bytes.size())) << sHex;
  return bytes;
}

std::string HexOf(const uint8_t* p, size_t u) {
  return ToLowerHex(p, u);
}

// FIPS 180-2 examples, and the same digest fed in uneven pieces.
TEST(Sha256Test, StandardVectorsWholeAndInPieces) {
  struct SCase {
    std::string sMessage;
    const char* pszDigest;
  };
  const SCase aCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const SCase& c : aCases) {
    Sha256Digest whole = CSha256::Digest(c.sMessage.data(), c.sMessage.size());
    EXPECT_EQ(HexOf(whole.data(), whole.size()), c.pszDigest);
    CSha256 pieces;
    for (size_t u = 0, uStep = 1; u < c.sMessage.size(); u += uStep, uStep = uStep * 3 + 1) {
      pieces.Update(c.sMessage.data() + u, std::min(uStep, c.sMessage.size() - u));
    }
    EXPECT_EQ(pieces.BytesFed(), c.sMessage.size());
    Sha256Digest fed = pieces.Final();
    EXPECT_EQ(HexOf(fed.data(), fed.size()), c.pszDigest);
  }
}

TEST(Sha256Test, HexRefusesWrongLengthAndNonDigits) {
  uint8_t au8[2];
  EXPECT_TRUE(FromHex("0aFf", au8, 2));
  EXPECT_EQ(HexOf(au8, 2), "0aff");
  EXPECT_FALSE(FromHex("0aF", au8, 2));
  EXPECT_FALSE(FromHex("0aFf00", au8, 2));
  EXPECT_FALSE(FromHex("0aFg", au8, 2));
  EXPECT_FALSE(FromHex("0a f", au8, 2));
}

// RFC 8032, section 7.1, tests 1 to 3: the key pair from the seed, the signature, and its check.
TEST(SigningKeyTest, Rfc8032Vectors) {
  struct SCase {
    const char *pszSeed, *pszPublic, *pszMessage, *pszSignature;
  };
  const SCase aCases[] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e3970"
       "1cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613"
       "d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760"
       "984dc6594a7c15e9716ed28dc027beceea1ec40a"},
  };
  for (const SCase& c : aCases) {
    KeySeed seed;
    ASSERT_TRUE(FromHex(c.pszSeed, seed.data(), seed.size()));
    CSigningKey key = CSigningKey::FromSeed(seed);
    EXPECT_EQ(HexOf(key.Public().data(), 32), c.pszPublic);
    std::vector<uint8_t> message = Bytes(c.pszMessage);
    Signature signature = key.Sign(message.data(), message.size());
    EXPECT_EQ(HexOf(signature.data(), signature.size()), c.pszSignature);
    EXPECT_TRUE(VerifySignature(key.Public(), message.data(), message.size(), signature));
    // Any flipped bit of the message, the signature or the key fails.
    message.push_back(0);
    EXPECT_FALSE(VerifySignature(key.Public(), message.data(), message.size(), signature));
    message.pop_back();
    for (size_t uBit : {0u, 255u, 511u}) {
      Signature bad = signature;
      bad[uBit / 8] ^= static_cast<uint8_t>(1u << (uBit % 8));
      EXPECT_FALSE(VerifySignature(key.Public(), message.data(), message.size(), bad));
    }
    PublicKey otherKey = key.Public();
    otherKey[31] ^= 1;
    EXPECT_FALSE(VerifySignature(otherKey, message.data(), message.size(), signature));
  }
}

TEST(SigningKeyTest, GeneratedKeysDifferAndSignTheirOwn) {
  CSigningKey a = CSigningKey::Generate(), b = CSigningKey::Generate();
  EXPECT_NE(a.Seed(), b.Seed());
  const uint8_t au8[] = {1, 2, 3};
  Signature s = a.Sign(au8, 3);
  EXPECT_TRUE(VerifySignature(a.Public(), au8, 3, s));
  EXPECT_FALSE(VerifySignature(b.Public(), au8, 3, s));
  EXPECT_EQ(CSigningKey::FromSeed(a.Seed()).Public(), a.Public());
}

}  // namespace
}  // namespace common
