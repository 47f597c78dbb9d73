// Delta packages: what a client installation of version U needs to become version V without
// downloading all of V. "COMPONENT_U-V.pkg" is a package file holding the files of V that are
// new or whose content differs from U, plus, under an entry name no client file can have (a
// Windows file name cannot hold '|'; publishing and installing refuse it), V's whole file list:
// every file's entry name and size, the SHA-256 of each file the delta carries, and one SHA-256
// over the files taken from the installation. Thousands of unchanged files would otherwise cost
// 32 incompressible bytes each, more than a small change's whole delta.
// An installation rebuilds V from the delta's files and its own unchanged ones, and checks every
// file against that list.
//
// The list's text, lines ending in "\n":
//   "larch delta file list 1"
//   "from U to V"
//   one line per file of V, in entry-name order:
//     "<size> <sha256, lower-case hex> <entry name>" for a file the delta carries
//     "<size> - <entry name>" for a file taken from the installation
//   "installed <sha256>": InstalledFilesDigest of the "-" files' digests, in list order
//   "end"
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "security/Sha256.h"

namespace common {

// The entry holding the file list.
extern const char sc_szDeltaFileListEntry[];  // "|delta-files|"

// "COMPONENT_U-V.pkg".
std::string DeltaPackageName(const std::string& sComponent, uint32_t u32From, uint32_t u32To);

struct SDeltaListedFile {
  std::string sEntryName;  // as the package gives it
  uint64_t u64Size = 0;
  Sha256Digest hash{};
  bool bFromInstallation = false;  // then the hash is not written, and zero when read
};

struct SDeltaFileList {
  uint32_t u32FromVersion = 0;
  uint32_t u32ToVersion = 0;
  std::vector<SDeltaListedFile> files;  // in entry-name order, names unique
  Sha256Digest installedFilesHash{};
};

// The SHA-256 of the files' digests one after the other.
Sha256Digest InstalledFilesDigest(const std::vector<Sha256Digest>& hashes);
// Sets installedFilesHash from the hashes of the files taken from the installation.
void SetInstalledFilesHash(SDeltaFileList& list);

std::string FormatDeltaFileList(const SDeltaFileList& list);

class CDeltaFileListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws CDeltaFileListError "delta file list is damaged: PROBLEM" for anything but a whole
// list: another header, a bad number or hash, an empty or control-character name, names out of
// order or repeated, a missing "end" or bytes after it.
SDeltaFileList ParseDeltaFileList(const std::string& sText);

}  // namespace common
