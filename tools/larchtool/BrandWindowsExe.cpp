#include "BrandWindowsExe.h"

#include <cstdio>
#include <stdexcept>

#include "PeResources.h"
#include "platform/Branding.h"
#include "platform/ExeResources.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/SystemError.h"

namespace larchtool {
namespace {

constexpr const char* sc_pszType = "CONFIGDATA";
constexpr uint16_t sc_u16Neutral = 0;

std::string SystemErrorText(uint32_t uError) {
  std::string sText;
  platform::GetSystemErrorText(uError, sText);
  while (!sText.empty() && (sText.back() == '\n' || sText.back() == '\r' || sText.back() == ' ')) {
    sText.pop_back();
  }
  return sText.empty() ? "error " + std::to_string(uError) : sText;
}

size_t SlotSize(const char* pszName) {
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    if (std::string(slot.pszName) == pszName) return slot.uSize;
  }
  return 0;
}

// The new text with its terminator, in every variant the executable has.
void AddUpdates(const std::vector<uint8_t>& image, const std::string& sExe, const char* pszName,
                const std::string& sValue, std::vector<platform::SExeResourceUpdate>& updates) {
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
    platform::SExeResourceUpdate update;
    update.sType = sc_pszType;
    update.sName = pszName;
    update.u16Language = u16Language;
    update.data.assign(sValue.begin(), sValue.end());
    update.data.push_back(0);
    updates.push_back(update);
  }
}

// An absolute POSIX path as Wine's programs see it.
std::string WinePath(const std::string& sPath) {
  std::string sFull = platform::GetFullPath(sPath);
  if (sFull.empty()) sFull = sPath;
  return sFull.size() > 0 && sFull[0] == '/' ? "Z:" + sFull : sFull;
}

std::string Quoted(const std::string& s) {
  return "\"" + s + "\"";
}

// The native tool cannot rewrite resources: larchtool's Windows build does it under Wine.
void HandToWindowsBuild(const std::string& sExe, const std::string* pClientFile,
                        const std::string* pDirectoryServers) {
  std::string sTool, sWine = "wine";
  if (!platform::GetEnvVar("LARCH_WINDOWS_LARCHTOOL", sTool) || sTool.empty()) {
    throw std::runtime_error(
        "Rewriting the resources of a Windows executable needs larchtool's Windows build: set "
        "LARCH_WINDOWS_LARCHTOOL to its larchtool.exe (it runs under Wine)");
  }
  platform::GetEnvVar("LARCH_WINE", sWine);
  std::string sCommand = Quoted(sWine) + " " + Quoted(sTool) + " brand " + Quoted(WinePath(sExe));
  if (pClientFile) sCommand += " --client-file " + Quoted(*pClientFile);
  if (pDirectoryServers) sCommand += " --directory-servers " + Quoted(*pDirectoryServers);
  platform::CProcess process;
  uint32_t uExitCode = 0;
  if (!process.Start(sCommand)) {
    throw std::runtime_error("Could not start " + sWine + " " + sTool + ": " +
                             SystemErrorText(platform::GetLastSystemError()));
  }
  if (!process.Wait(0xFFFFFFFFu, uExitCode) || uExitCode != 0) {
    throw std::runtime_error("Failed to rebrand " + sExe + " with " + sTool + " (exit code " +
                             std::to_string(uExitCode) + ")");
  }
}

void ShowBranding(const std::vector<uint8_t>& image, const std::string& sExe) {
  for (const platform::SBrandingSlot& slot : platform::sc_aBrandingSlots) {
    std::vector<SPeResource> variants = FindPeResources(image, sc_pszType, slot.pszName, sExe);
    auto Text = [](const SPeResource& r) { return std::string(r.sData.c_str()); };
    bool bAllSame = true;
    for (const SPeResource& variant : variants)
      bAllSame = bAllSame && Text(variant) == Text(variants[0]);
    if (variants.empty()) {
      std::printf("%s: \n", slot.pszName);
    } else if (bAllSame) {
      std::printf("%s: %s\n", slot.pszName, Text(variants[0]).c_str());
    } else {
      for (const SPeResource& variant : variants) {
        std::printf("%s [language %04x]: %s\n", slot.pszName, variant.u16Language,
                    Text(variant).c_str());
      }
    }
  }
}

}  // namespace

std::vector<uint8_t> ReadExecutable(const std::string& sPath) {
  platform::CFile file;
  uint64_t u64Size = 0;
  if (!file.Open(sPath, platform::CFile::eRead) || !file.GetSize(u64Size)) {
    throw std::runtime_error("Cannot open input file " + sPath);
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(u64Size));
  uint64_t u64Done = 0;
  while (u64Done < u64Size) {
    int64_t n = file.Read(bytes.data() + u64Done, u64Size - u64Done);
    if (n <= 0) throw std::runtime_error("Failed to read input file " + sPath);
    u64Done += static_cast<uint64_t>(n);
  }
  return bytes;
}

void BrandWindowsExe(const std::string& sExe, const std::vector<uint8_t>& image,
                     const std::string* pClientFile, const std::string* pDirectoryServers,
                     bool bShow) {
  // Every check comes before anything is written.
  std::vector<platform::SExeResourceUpdate> updates;
  if (pClientFile) AddUpdates(image, sExe, "CLIENTAPP_FILENAME", *pClientFile, updates);
  if (pDirectoryServers) {
    AddUpdates(image, sExe, "GENERALDIRECTORYSERVER_IPADDRPORTS", *pDirectoryServers, updates);
  }
  if (!updates.empty()) {
    if (!platform::CanUpdateExeResources()) {
      HandToWindowsBuild(sExe, pClientFile, pDirectoryServers);
    } else if (!platform::UpdateExeResources(sExe, updates)) {
      throw std::runtime_error("Failed to rewrite the resources of " + sExe + ": " +
                               SystemErrorText(platform::GetLastSystemError()));
    }
  }
  if (bShow) ShowBranding(updates.empty() ? image : ReadExecutable(sExe), sExe);
}

}  // namespace larchtool
