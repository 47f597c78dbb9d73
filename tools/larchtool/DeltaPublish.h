// The delta packages 'larchtool publish' writes beside a client version V: for each of the newest
// other versions U of the component in the directory, "NAME_U-V.pkg" holding the files of V that
// U lacks under that exact name or holds with other bytes, and V's whole file list under
// "|delta-files|", so that an installation of U downloads only what changed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PublishedPackages.h"
#include "ReleaseDirectory.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

using SDeltaOffer = Weft::CClientConfigRecord::SDeltaOffer;

// A delta larger than this share (percent) of the full package is not offered: the full package
// then costs little more and needs no installed files.
constexpr uint64_t sc_u64DeltaPercentLimit = 60;

// Builds the deltas under temporary names in the publish directory; nothing is in place before
// Commit, and what is not committed is removed. The caller holds the directory's lock.
class CDeltaPublish {
 public:
  CDeltaPublish(const std::string& sDir, const std::string& sComponent, uint32_t uVersion);
  ~CDeltaPublish();
  CDeltaPublish(const CDeltaPublish&) = delete;
  CDeltaPublish& operator=(const CDeltaPublish&) = delete;

  // Builds the deltas from the uCount newest other versions to V, whose package is sPackage
  // (under its temporary name or its own). A delta that is too large is left out; one that
  // cannot be built (a damaged package) is left out with a note on stderr.
  void Build(const std::string& sPackage, uint32_t uCount);
  // Renames the deltas into place (a file of the same bytes stays as it is) and prints a line
  // for each; returns the offers for the record, highest from-version first.
  std::vector<SDeltaOffer> Commit();
  // For the publish's report, a line per version: "delta NAME_U-V.pkg: N of M files, SIZE", or
  // "no delta NAME_U-V.pkg: SIZE, more than 60% of the full package (SIZE)".
  const std::string& SummaryText() const { return m_sSummary; }

 private:
  struct SBuilt {
    uint32_t uFrom;
    std::unique_ptr<CTempName> pFile;
  };

  void BuildOne(uint32_t uFrom, const std::string& sScratch, uint64_t u64FullSize);

  std::string m_sDir;
  std::string m_sComponent;
  uint32_t m_uVersion;
  std::string m_sUnpackedV;  // V's files, unpacked in the scratch folder
  std::map<std::string, SPackageDigest> m_vDigests;
  std::vector<SBuilt> m_vecBuilt;
  std::string m_sSummary;
};

}  // namespace larchtool
