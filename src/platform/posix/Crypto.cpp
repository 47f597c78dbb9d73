#include "platform/Crypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hmac.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cerrno>

namespace platform {

// The library reports failures by exceptions; this layer turns them into results.
bool Aes128CbcEncrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pPlain,
                      size_t uPlainSize, uint8_t* pCipher) {
  try {
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption encryption(pKey, sc_uAes128KeySize, pIV);
    CryptoPP::ArraySink sink(pCipher, Aes128CbcCipherSize(uPlainSize));
    CryptoPP::StreamTransformationFilter filter(encryption, new CryptoPP::Redirector(sink),
                                                CryptoPP::BlockPaddingSchemeDef::PKCS_PADDING);
    filter.Put(pPlain, uPlainSize);
    filter.MessageEnd();
    return sink.TotalPutLength() == Aes128CbcCipherSize(uPlainSize);
  } catch (const std::exception&) {
    errno = EINVAL;
    return false;
  }
}

bool Aes128CbcDecrypt(const uint8_t* pKey, const uint8_t* pIV, const uint8_t* pCipher,
                      size_t uCipherSize, uint8_t* pPlain, size_t* pPlainSize) {
  if (uCipherSize == 0 || uCipherSize % sc_uAesBlockSize != 0) {
    errno = EINVAL;
    return false;
  }
  try {
    CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption decryption(pKey, sc_uAes128KeySize, pIV);
    CryptoPP::ArraySink sink(pPlain, uCipherSize);
    CryptoPP::StreamTransformationFilter filter(decryption, new CryptoPP::Redirector(sink),
                                                CryptoPP::BlockPaddingSchemeDef::PKCS_PADDING);
    filter.Put(pCipher, uCipherSize);
    filter.MessageEnd();
    *pPlainSize = static_cast<size_t>(sink.TotalPutLength());
    return true;
  } catch (const std::exception&) {
    errno = EINVAL;
    return false;
  }
}

bool HmacSha1(const uint8_t* pKey, size_t uKeySize, const uint8_t* pData, size_t uDataSize,
              uint8_t* pMac) {
  try {
    CryptoPP::HMAC<CryptoPP::SHA1> mac(pKey, uKeySize);
    mac.CalculateDigest(pMac, pData, uDataSize);
    return true;
  } catch (const std::exception&) {
    errno = EINVAL;
    return false;
  }
}

bool Md5(const uint8_t* pData, size_t uDataSize, uint8_t* pDigest) {
  try {
    CryptoPP::Weak::MD5().CalculateDigest(pDigest, pData, uDataSize);
    return true;
  } catch (const std::exception&) {
    errno = EINVAL;
    return false;
  }
}

bool GetRandomBytes(uint8_t* pBuffer, size_t uSize) {
  try {
    CryptoPP::OS_GenerateRandomBlock(false, pBuffer, uSize);
    return true;
  } catch (const std::exception&) {
    errno = EIO;
    return false;
  }
}

}  // namespace platform
