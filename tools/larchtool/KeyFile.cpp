#include "KeyFile.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "platform/File.h"
#include "platform/SystemError.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

constexpr size_t sc_uKeyDigits = 64;

// The 32 bytes of a key file; false when it is anything but the one line.
bool ReadKeyLine(const std::string& sPath, std::array<uint8_t, 32>& key) {
  platform::CFile file;
  if (!file.Open(sPath, platform::CFile::eRead)) {
    throw std::runtime_error("Cannot open input file " + sPath + ": " +
                             platform::LastSystemErrorReason());
  }
  // One byte more than the longest valid file, so that a longer one shows.
  std::array<char, sc_uKeyDigits + 3> text{};
  size_t uSize = 0;
  while (uSize < text.size()) {
    int64_t nRead = file.Read(text.data() + uSize, text.size() - uSize);
    if (nRead < 0) {
      common::WipeSecret(text.data(), text.size());
      throw std::runtime_error("Failed to read input file " + sPath);
    }
    if (nRead == 0) break;
    uSize += static_cast<size_t>(nRead);
  }
  std::string sEnd(text.data() + std::min(uSize, sc_uKeyDigits), text.data() + uSize);
  bool bKey = uSize >= sc_uKeyDigits && (sEnd.empty() || sEnd == "\n" || sEnd == "\r\n") &&
              common::FromHex(std::string(text.data(), sc_uKeyDigits), key.data(), key.size());
  common::WipeSecret(text.data(), text.size());
  return bKey;
}

// Creates the file new and writes the line; throws, leaving no file, when it cannot.
void WriteKeyLine(const std::string& sPath, platform::CFile::EMode eMode,
                  const std::array<uint8_t, 32>& key) {
  platform::CFile file;
  if (!file.Open(sPath, eMode)) {
    const uint32_t uError = platform::GetLastSystemError();
    platform::SFileStatus status;
    if (platform::GetFileStatus(sPath, status)) {
      throw std::runtime_error(sPath + " exists; not overwritten");
    }
    throw std::runtime_error("Cannot open output file " + sPath + ": " +
                             platform::SystemErrorReason(uError));
  }
  std::string sLine = common::ToLowerHex(key.data(), key.size()) + "\n";
  bool bWritten = file.Write(sLine.data(), sLine.size()) && file.Flush();
  common::WipeSecret(&sLine[0], sLine.size());
  if (!bWritten) {
    file.Close();
    platform::RemoveFile(sPath);
    throw std::runtime_error("Failed to write output file " + sPath);
  }
}

}  // namespace

common::CSigningKey ReadSecretKeyFile(const std::string& sPath) {
  common::KeySeed seed;
  if (!ReadKeyLine(sPath, seed)) {
    throw std::runtime_error(sPath +
                             " is not a secret key file (64 hexadecimal digits on one line)");
  }
  common::CSigningKey key = common::CSigningKey::FromSeed(seed);
  common::WipeSecret(seed.data(), seed.size());
  return key;
}

common::PublicKey ReadPublicKeyFile(const std::string& sPath) {
  common::PublicKey key;
  if (!ReadKeyLine(sPath, key)) {
    throw std::runtime_error(sPath +
                             " is not a public key file (64 hexadecimal digits on one line)");
  }
  return key;
}

void WriteKeyFiles(const std::string& sPath, const common::CSigningKey& key) {
  std::string sPublic = sPath + sc_pszPublicKeySuffix;
  platform::SFileStatus status;
  if (platform::GetFileStatus(sPublic, status)) {
    throw std::runtime_error(sPublic + " exists; not overwritten");
  }
  WriteKeyLine(sPath, platform::CFile::eCreatePrivate, key.Seed());
  try {
    WriteKeyLine(sPublic, platform::CFile::eCreateExclusive, key.Public());
  } catch (...) {
    platform::RemoveFile(sPath);
    throw;
  }
}

}  // namespace larchtool
