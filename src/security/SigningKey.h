// Ed25519 signatures over release records: the operator's secret key signs, the public keys
// branded into the bootstrapper verify.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace common {

using PublicKey = std::array<uint8_t, 32>;
using KeySeed = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;

// A secret key, held as its 32-byte seed (from which the rest is derived) and wiped from
// memory when the object goes.
class CSigningKey {
 public:
  // A new key from the system's random source.
  static CSigningKey Generate();
  static CSigningKey FromSeed(const KeySeed& seed);
  ~CSigningKey();
  CSigningKey(const CSigningKey& other);
  CSigningKey& operator=(const CSigningKey&) = delete;

  const KeySeed& Seed() const { return m_seed; }
  const PublicKey& Public() const { return m_public; }
  Signature Sign(const uint8_t* pMessage, size_t uSize) const;

 private:
  CSigningKey() = default;

  KeySeed m_seed{};
  std::array<uint8_t, 64> m_secret{};  // the seed and the public key, as the signer takes them
  PublicKey m_public{};
};

// Overwrites memory that held a secret in a way the compiler does not drop.
void WipeSecret(void* pData, size_t uSize);

// True when the signature is the key's over exactly these bytes.
bool VerifySignature(const PublicKey& key, const uint8_t* pMessage, size_t uSize,
                     const Signature& signature);

}  // namespace common
