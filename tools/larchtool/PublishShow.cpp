#include "PublishShow.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "PublishedPackages.h"
#include "ReleaseDirectory.h"
#include "bootstrapper/ReleaseCheck.h"
#include "platform/File.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;

constexpr double sc_dSecondsPerDay = 86400;
// Hexadecimal digits of a public key that name it in the summary.
constexpr size_t sc_uKeyDigitsShown = 16;

void PrintLine(const char* pszLabel, const std::string& sText) {
  std::printf("%-21s%s\n", pszLabel, sText.c_str());
}

std::string HashText(const SPackageDigest& digest) {
  return SizeText(digest.u64Size) + ", SHA-256 " +
         common::ToLowerHex(digest.hash.data(), digest.hash.size());
}

bool IsRegularFile(const std::string& sPath, uint64_t& u64Size) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sPath, status) || !status.bRegularFile) return false;
  u64Size = status.u64Size;
  return true;
}

// ", SIZE, SHA-256 HEX; file matches", or what the file holds instead.
std::string MatchText(const std::string& sPath, const SPackageDigest& recorded) {
  SPackageDigest actual = DigestOfFile(sPath);
  std::string sText = ", " + HashText(recorded);
  if (SameDigest(actual, recorded)) return sText + "; file matches";
  return sText + "; the file differs: " + HashText(actual);
}

// "NAME version V (NAME_V.pkg, SIZE, SHA-256 HEX; file matches)" and its variants.
std::string ComponentText(const CClientConfigRecord* pRecord, const std::string& sDir,
                          bool bBootstrapper) {
  if (!pRecord) return "none published";
  SNamedComponent named = NamedComponent(*pRecord, bBootstrapper);
  if (named.sName.empty()) {
    if (!named.bVersion || named.uVersion == 0) return "none published";
    return "version " + std::to_string(named.uVersion) + " (the record names no component)";
  }
  const std::string sPkg = PackageName(named.sName, named.uVersion);
  std::string sText = named.sName + " version " + std::to_string(named.uVersion) + " (" + sPkg;
  uint64_t u64Size = 0;
  if (!IsRegularFile(InDir(sDir, sPkg), u64Size)) return sText + " is missing)";
  SPackageDigest recorded;
  if (!pRecord->GetPackageDigest(bBootstrapper, recorded)) {
    return sText + ", " + SizeText(u64Size) + "; the record holds no digest)";
  }
  return sText + MatchText(InDir(sDir, sPkg), recorded) + ")";
}

// The deltas the record offers, a line each: "from version U: NAME_U-V.pkg, SIZE, SHA-256 HEX;
// file matches" and its variants.
std::vector<std::string> OfferTexts(const CClientConfigRecord* pRecord, const std::string& sDir) {
  std::vector<std::string> texts;
  const std::vector<std::string> names = OfferedDeltaNames(pRecord);
  std::vector<SDeltaOffer> offers;
  if (names.empty() || !pRecord->GetClientAppDeltas(offers)) return texts;
  for (size_t u = 0; u < offers.size(); ++u) {
    const std::string sPath = InDir(sDir, names[u]);
    uint64_t u64Size = 0;
    texts.push_back(
        "from version " + std::to_string(offers[u].u32FromVersion) + ": " + names[u] +
        (IsRegularFile(sPath, u64Size) ? MatchText(sPath, offers[u].digest) : " is missing"));
  }
  return texts;
}

// Which key signed, as far as the published bootstrapper tells.
std::string SignerText(const CClientConfigRecord& record, const std::string& sDir) {
  SPublishedBootstrapper published;
  try {
    published = ReadPublishedBootstrapper(sDir, record);
  } catch (const std::exception&) {
    return "signed";  // the bootstrapper's line does not tell this either
  }
  if (published.keys.empty()) return "signed";
  for (const common::PublicKey& key : published.keys) {
    if (record.IsSignedBy(key)) {
      return "signed by key " +
             common::ToLowerHex(key.data(), key.size()).substr(0, sc_uKeyDigitsShown) +
             "..., which " + published.sPackage + " knows";
    }
  }
  return "signed by a key that " + published.sPackage + " does not know";
}

std::string RecordText(const CClientConfigRecord* pRecord, const std::string& sDir) {
  if (!pRecord) return "none (nothing published)";
  uint64_t u64Sequence = 0, u64Expiry = 0;
  std::string sText = pRecord->GetSequenceNum(u64Sequence)
                          ? "sequence " + std::to_string(u64Sequence)
                          : std::string("no sequence number");
  if (!pRecord->IsSigned()) return sText + ", not signed";
  sText += ", " + SignerText(*pRecord, sDir);
  if (!pRecord->GetExpiryTime(u64Expiry)) return sText + "; no expiry";
  const double dNow = static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
  const long long llDays =
      std::llround((static_cast<double>(u64Expiry) - dNow) / sc_dSecondsPerDay);
  const std::string sDate = bootstrapper::UtcDateText(u64Expiry);
  if (static_cast<double>(u64Expiry) <= dNow) {
    return sText + "; expired " + sDate + " (" + std::to_string(-llDays) + " days ago)";
  }
  return sText + "; expires " + sDate + " (in " + std::to_string(llDays) + " days)";
}

// Every package file but the two the record names and the deltas it offers: "NAME (SIZE), ...".
std::string OtherPackagesText(const CClientConfigRecord* pRecord, const std::string& sDir) {
  std::vector<std::string> named = OfferedDeltaNames(pRecord);
  for (bool bBootstrapper : {true, false}) {
    if (!pRecord) break;
    SNamedComponent component = NamedComponent(*pRecord, bBootstrapper);
    if (!component.sName.empty()) named.push_back(PackageName(component.sName, component.uVersion));
  }
  std::vector<std::string> names;
  if (!platform::ListDirectory(sDir, names)) throw std::runtime_error("unable to list " + sDir);
  std::sort(names.begin(), names.end());
  std::string sText;
  for (const std::string& sName : names) {
    uint64_t u64Size = 0;
    if (sName.size() < 5 || sName[0] == '.' || sName.compare(sName.size() - 4, 4, ".pkg") != 0 ||
        std::count(named.begin(), named.end(), sName) ||
        !IsRegularFile(InDir(sDir, sName), u64Size)) {
      continue;
    }
    sText += (sText.empty() ? "" : ", ") + sName + " (" + SizeText(u64Size) + ")";
  }
  return sText.empty() ? "none" : sText;
}

}  // namespace

void ShowPublished(const std::string& sDir) {
  // Held so that no publish changes the files while they are read.
  CReleaseDirectory dir(sDir);
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(sDir);
  PrintLine("Publish directory:", sDir);
  PrintLine("Bootstrapper:", ComponentText(pRecord.get(), sDir, true));
  PrintLine("Client application:", ComponentText(pRecord.get(), sDir, false));
  std::vector<std::string> offers = OfferTexts(pRecord.get(), sDir);
  if (offers.empty()) offers.push_back("none");
  for (size_t u = 0; u < offers.size(); ++u) {
    PrintLine(u == 0 ? "Deltas offered:" : "", offers[u]);
  }
  PrintLine("Record:", RecordText(pRecord.get(), sDir));
  PrintLine("Other packages:", OtherPackagesText(pRecord.get(), sDir));
}

}  // namespace larchtool
