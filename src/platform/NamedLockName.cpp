#include <cctype>

#include "platform/Crypto.h"
#include "platform/NamedLock.h"

namespace platform {

std::string NamedLockNameForFullPath(const std::string& sPrefix, std::string sFullPath) {
  for (char& c : sFullPath) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  uint8_t au8Digest[sc_uMd5Size];
  if (!Md5(reinterpret_cast<const uint8_t*>(sFullPath.data()), sFullPath.size(), au8Digest)) {
    return std::string();
  }
  return sPrefix + ToUpperHex(au8Digest, sizeof(au8Digest));
}

}  // namespace platform
