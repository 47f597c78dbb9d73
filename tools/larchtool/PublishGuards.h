// The checks of 'larchtool publish' against mistakes that would strand installed clients or lock
// bootstrappers out. Each refuses through Guard (RecordSigning.h): an error without --force, a
// warning with it. All of them run before the package or the record is put into place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RecordSigning.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/SigningKey.h"

namespace larchtool {

struct SPublishArgs {
  std::string sDir;
  std::string sComponent;
  uint32_t uVersion = 0;
  bool bBootstrapper = false;
  bool bShow = false;
  bool bForce = false;
  SSigningArgs signing;
  std::string sContentDir;  // -C DIR: the PATHs are relative to it; none given: all of it
  std::string sClientFile;  // --client-file NAME, split and joined as the installer does
  uint32_t uKeep = 0;       // --prune KEEP; 0: no pruning
  uint32_t uDeltas = 3;     // --deltas K: from the K newest other versions; 0: none
  bool bDeltasGiven = false;
  std::vector<std::string> vecPaths;
};

// What the directory already holds under the package's name.
enum class EPublishedPackage { eNone, eSameContent, eOtherContent };

// "larchtool publish: note: TEXT" on stderr: something left unchecked or left out.
void PublishNote(const std::string& sText);

// Every guard for putting the built package (sBuiltPackage, under its temporary name) in place
// and pointing the record at it.
void CheckPublish(const SPublishArgs& args, const Weft::CClientConfigRecord& record,
                  const common::CSigningKey* pKey, const std::string& sBuiltPackage,
                  EPublishedPackage existing);

}  // namespace larchtool
