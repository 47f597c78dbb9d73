#include "ExeBranding.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "InputFile.h"
#include "PeResources.h"
#include "bootstrapper/Branding.h"
#include "platform/Branding.h"

namespace larchtool {
namespace {

// The reserved area of a POSIX bootstrapper in its file's bytes: the marker padded with NULs to
// its slot, then slots that each end in a NUL.
class CBrandingArea {
 public:
  // Finds the one area; throws when there is none or more than one.
  CBrandingArea(std::vector<uint8_t>& bytes, const std::string& sPath) : m_bytes(bytes) {
    const uint8_t u8First = static_cast<uint8_t>(LARCH_BRANDING_MARKER[0]);
    std::vector<size_t> found;
    for (size_t u = 0; u + platform::sc_uBrandingAreaSize <= bytes.size(); ++u) {
      if (bytes[u] == u8First && IsArea(u)) found.push_back(u);
    }
    if (found.empty()) {
      throw std::runtime_error(sPath + ": no branding area found (not a POSIX Larch bootstrapper)");
    }
    if (found.size() > 1) {
      throw std::runtime_error(sPath + ": more than one branding area found");
    }
    m_uAt = found.front();
  }

  std::string Read(const char* pszName) const {
    const platform::SBrandingSlot& slot = Slot(pszName);
    const char* psz = reinterpret_cast<const char*>(&m_bytes[m_uAt + slot.uOffset]);
    return std::string(psz, strnlen(psz, slot.uSize));
  }

  void Write(const char* pszName, const std::string& sValue) {
    const platform::SBrandingSlot& slot = Slot(pszName);
    if (sValue.size() >= slot.uSize) {
      throw std::runtime_error(std::string("BRANDING ERROR: ") + pszName + " is longer than " +
                               std::to_string(slot.uSize - 1) + " characters");
    }
    std::memset(&m_bytes[m_uAt + slot.uOffset], 0, slot.uSize);
    std::memcpy(&m_bytes[m_uAt + slot.uOffset], sValue.data(), sValue.size());
  }

 private:
  bool IsArea(size_t uAt) const {
    const char* pszMarker = LARCH_BRANDING_MARKER;
    size_t uMarkerLen = std::strlen(pszMarker);
    if (std::memcmp(&m_bytes[uAt], pszMarker, uMarkerLen) != 0) return false;
    for (size_t u = uMarkerLen; u < platform::sc_uBrandingMarkerSize; ++u) {
      if (m_bytes[uAt + u] != 0) return false;
    }
    for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
      if (m_bytes[uAt + slot.uOffset + slot.uSize - 1] != 0) return false;
    }
    return true;
  }

  static const platform::SBrandingSlot& Slot(const char* pszName) {
    for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
      if (std::strcmp(slot.pszName, pszName) == 0) return slot;
    }
    throw std::logic_error("no branding slot");
  }

  std::vector<uint8_t>& m_bytes;  // the caller's
  size_t m_uAt = 0;
};

// Every text of the string: one for a POSIX program, one per language variant for Windows.
std::vector<std::string> BrandingTexts(const std::string& sExe, std::vector<uint8_t>& bytes,
                                       const char* pszName) {
  if (!IsWindowsExecutable(bytes)) return {CBrandingArea(bytes, sExe).Read(pszName)};
  return WindowsBrandingTexts(bytes, sExe, pszName);
}

// The one text of the string in the executable.
std::string ReadBrandingString(const std::string& sExe, std::vector<uint8_t>& bytes,
                               const char* pszName) {
  std::vector<std::string> texts = BrandingTexts(sExe, bytes, pszName);
  for (const std::string& sText : texts) {
    if (sText != texts[0]) {
      throw std::runtime_error(sExe + ": the language variants of " + pszName +
                               " differ; brand it again");
    }
  }
  return texts.empty() ? std::string() : texts[0];
}

bool IsUnbrandedDirectoryServers(const std::string& sText) {
  for (const char* psz : bootstrapper::sc_apszUnbrandedDirectoryServers) {
    if (sText == psz) return true;
  }
  return false;
}

}  // namespace

void BrandExecutable(const std::string& sExe, const std::vector<SBrandingString>& strings,
                     bool bShow) {
  std::vector<uint8_t> bytes = ReadInputBytes(sExe);
  if (IsWindowsExecutable(bytes)) {
    BrandWindowsExe(sExe, bytes, strings, bShow);
    return;
  }
  CBrandingArea area(bytes, sExe);
  for (const SBrandingString& string : strings) area.Write(string.pszName, string.sValue);
  if (!strings.empty()) WriteExecutable(sExe, bytes);
  if (bShow) {
    for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
      std::printf("%s: %s\n", slot.pszName, area.Read(slot.pszName).c_str());
    }
  }
}

SExeBranding ReadExeBranding(const std::string& sExe) {
  std::vector<uint8_t> bytes = ReadInputBytes(sExe);
  SExeBranding branding;
  branding.sClientFile =
      ReadBrandingString(sExe, bytes, bootstrapper::sc_pszClientAppFileNameResource);
  branding.bUnbranded = branding.sClientFile == bootstrapper::sc_pszUnbrandedClientFile;
  std::vector<std::string> servers =
      BrandingTexts(sExe, bytes, bootstrapper::sc_pszDirectoryServersResource);
  for (const std::string& sText : servers) {
    if (IsUnbrandedDirectoryServers(sText)) branding.bUnbranded = true;
  }
  // Variants that differ are expected only of an unbranded program.
  branding.sDirectoryServers =
      branding.bUnbranded && !servers.empty()
          ? servers[0]
          : ReadBrandingString(sExe, bytes, bootstrapper::sc_pszDirectoryServersResource);
  return branding;
}

std::vector<common::PublicKey> ReadBrandedReleaseKeys(const std::string& sExe) {
  std::vector<uint8_t> bytes = ReadInputBytes(sExe);
  return bootstrapper::ReleaseKeysFromBranding(
      [&](const char* pszName) { return ReadBrandingString(sExe, bytes, pszName); });
}

}  // namespace larchtool
