#include "BrandWindowsExe.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "PeResources.h"
#include "platform/Branding.h"
#include "platform/File.h"
#include "platform/SystemError.h"

namespace larchtool {
namespace {

constexpr const char* sc_pszType = "CONFIGDATA";
constexpr uint16_t sc_u16Neutral = 0;

size_t SlotSize(const char* pszName) {
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    if (std::string(slot.pszName) == pszName) return slot.uSize;
  }
  return 0;
}

// The new text with its terminator, in every variant the executable has.
void AddUpdates(const std::vector<uint8_t>& image, const std::string& sExe, const char* pszName,
                const std::string& sValue, std::vector<SExeResourceUpdate>& updates) {
  size_t uLimit = SlotSize(pszName);
  if (sValue.size() >= uLimit) {
    throw std::runtime_error(std::string("BRANDING ERROR: ") + pszName + " is longer than " +
                             std::to_string(uLimit - 1) + " characters");
  }
  std::vector<uint16_t> languages;
  for (const SPeResource& resource : FindPeResources(image, sc_pszType, pszName, sExe)) {
    languages.push_back(resource.u16Language);
  }
  if (languages.empty()) languages.push_back(sc_u16Neutral);
  for (uint16_t u16Language : languages) {
    SExeResourceUpdate update;
    update.sType = sc_pszType;
    update.sName = pszName;
    update.u16Language = u16Language;
    update.data.assign(sValue.begin(), sValue.end());
    update.data.push_back(0);
    updates.push_back(update);
  }
}

void ShowBranding(const std::vector<uint8_t>& image, const std::string& sExe) {
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    std::vector<SPeResource> variants = FindPeResources(image, sc_pszType, slot.pszName, sExe);
    std::vector<std::string> texts = WindowsBrandingTexts(image, sExe, slot.pszName);
    bool bAllSame = std::all_of(texts.begin(), texts.end(),
                                [&](const std::string& s) { return s == texts[0]; });
    if (texts.empty()) {
      std::printf("%s: \n", slot.pszName);
    } else if (bAllSame) {
      std::printf("%s: %s\n", slot.pszName, texts[0].c_str());
    } else {
      for (size_t u = 0; u < texts.size(); ++u) {
        std::printf("%s [language %04x]: %s\n", slot.pszName, variants[u].u16Language,
                    texts[u].c_str());
      }
    }
  }
}

}  // namespace

void WriteExecutable(const std::string& sPath, const std::vector<uint8_t>& bytes) {
  std::string sTemp = sPath + ".branding";
  {
    platform::CFile file;
    if (!file.Open(sTemp, platform::CFile::eCreate)) {
      throw std::runtime_error("Cannot open output file " + sTemp + ": " +
                               platform::LastSystemErrorReason());
    }
    if (!file.Write(bytes.data(), bytes.size()) || !file.Flush()) {
      file.Close();
      platform::RemoveFile(sTemp);
      throw std::runtime_error("Failed to write output file " + sTemp);
    }
  }
  platform::MakeExecutable(sTemp);
  if (!platform::RenameFile(sTemp, sPath)) {
    platform::RemoveFile(sTemp);
    throw std::runtime_error("Failed to replace " + sPath);
  }
}

std::vector<std::string> WindowsBrandingTexts(const std::vector<uint8_t>& image,
                                              const std::string& sExe, const char* pszName) {
  std::vector<std::string> texts;
  for (const SPeResource& variant : FindPeResources(image, sc_pszType, pszName, sExe)) {
    texts.push_back(variant.sData.c_str());
  }
  return texts;
}

void BrandWindowsExe(const std::string& sExe, const std::vector<uint8_t>& image,
                     const std::vector<SBrandingString>& strings, bool bShow) {
  // Every check comes before anything is written.
  std::vector<SExeResourceUpdate> updates;
  for (const SBrandingString& string : strings) {
    AddUpdates(image, sExe, string.pszName, string.sValue, updates);
  }
  if (updates.empty()) {
    if (bShow) ShowBranding(image, sExe);
    return;
  }
  std::vector<uint8_t> branded = RewritePeResources(image, updates, sExe);
  WriteExecutable(sExe, branded);
  if (bShow) ShowBranding(branded, sExe);
}

}  // namespace larchtool
