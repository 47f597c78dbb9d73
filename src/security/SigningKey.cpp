#include "security/SigningKey.h"

#include <sodium.h>

#include "security/SodiumInit.h"

namespace common {

CSigningKey CSigningKey::Generate() {
  EnsureSodium();
  KeySeed seed;
  randombytes_buf(seed.data(), seed.size());
  CSigningKey key = FromSeed(seed);
  sodium_memzero(seed.data(), seed.size());
  return key;
}

CSigningKey CSigningKey::FromSeed(const KeySeed& seed) {
  EnsureSodium();
  CSigningKey key;
  key.m_seed = seed;
  crypto_sign_ed25519_seed_keypair(key.m_public.data(), key.m_secret.data(), seed.data());
  return key;
}

CSigningKey::CSigningKey(const CSigningKey& other)
    : m_seed(other.m_seed), m_secret(other.m_secret), m_public(other.m_public) {}

CSigningKey::~CSigningKey() {
  sodium_memzero(m_seed.data(), m_seed.size());
  sodium_memzero(m_secret.data(), m_secret.size());
}

Signature CSigningKey::Sign(const uint8_t* pMessage, size_t uSize) const {
  Signature signature;
  crypto_sign_ed25519_detached(signature.data(), nullptr, pMessage, uSize, m_secret.data());
  return signature;
}

void WipeSecret(void* pData, size_t uSize) {
  sodium_memzero(pData, uSize);
}

bool VerifySignature(const PublicKey& key, const uint8_t* pMessage, size_t uSize,
                     const Signature& signature) {
  EnsureSodium();
  return crypto_sign_ed25519_verify_detached(signature.data(), pMessage, uSize, key.data()) == 0;
}

}  // namespace common
