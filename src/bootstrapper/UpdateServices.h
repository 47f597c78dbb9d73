// What the update sequence asks of the rest of the system: the operator's servers, package
// files and the registry files. The program uses the real network, package and registry code
// (RealUpdateServices); tests put scripted answers behind the same calls.
//
// Every failure is an exception derived from std::runtime_error whose text is the message. A
// server that cannot be reached (refused or lost connection, time-out, no directory server
// reached) is a common::CNetworkException; a server that answers wrongly, and a record that
// fails its checks, is not.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrapper/InstallLayout.h"
#include "network/IPAddrPort.h"
#include "platform/File.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"

namespace bootstrapper {

using ServerList = std::vector<common::CIPAddrPort>;
using ProgressCallback = void (*)(int nPercent);

// The registry file's lock cannot be had (it cannot be created, or the wait for it failed): the
// file's content is not at fault.
class CRegistryLockException : public std::runtime_error {
 public:
  explicit CRegistryLockException(const std::string& sText) : std::runtime_error(sText) {}
};

// Another process holds the registry file's lock for longer than the wait allowed.
class CRegistryBusyException : public CRegistryLockException {
 public:
  explicit CRegistryBusyException(const std::string& sText) : CRegistryLockException(sText) {}
};

class IUpdateServices {
 public:
  virtual ~IUpdateServices() = default;

  // Sockets for this thread's sequence; StopNetwork undoes one StartNetwork. Until then every
  // network call that polls gives up at its next poll with its "... aborted ..." error once
  // the cancel token is set; the token must outlive the session.
  virtual void StartNetwork(const CCancelToken& cancel) = 0;
  virtual void StopNetwork() = 0;
  // Parses a directory-server list (separators comma, blank, tab; an empty address part takes
  // the default address 0, a missing port 5273).
  virtual ServerList ParseDirectoryServers(const std::string& sText) = 0;
  // Asks the directory servers in turn for the servers of a type; bPolling selects the
  // polling form of the requests (the blocking form does not see the cancel token).
  virtual ServerList GetServers(const ServerList& directoryServers, common::EServerType eType,
                                bool bPolling) = 0;
  // Blocking: does not see the cancel token.
  virtual common::CIPAddrPort GetMasterAuthenticationServer(const ServerList& directoryServers) = 0;
  virtual ServerList GetContentServers(const common::CIPAddrPort& contentDirectoryServer,
                                       uint32_t uMaxCount, uint32_t uCaller) = 0;
  // The client config record (the published versions and what vouches for them). Blocking:
  // does not see the cancel token.
  virtual std::unique_ptr<Weft::CClientConfigRecord> GetClientConfigRecord(
      const common::CIPAddrPort& configServer) = 0;
  // One download attempt: asks the content server for the file's bytes from u32Offset on and
  // writes them to the open file at its position as they arrive. fnCheckLength is told the
  // file's length before the first byte is written and refuses it by throwing; fnWritten (may
  // be empty) is told every piece once it is written. A refusal by the server is a
  // common::CContentServerRefusal, a cut connection or a time-out a common::CNetworkException;
  // a Cancel ends it with its "... aborted ..." error.
  virtual void DownloadFile(const common::CIPAddrPort& contentServer, const std::string& sFile,
                            uint32_t u32Offset, platform::CFile& file,
                            const common::FileLengthCheckFn& fnCheckLength,
                            const common::FileDataFn& fnWritten, ProgressCallback pfnProgress) = 0;

  // The bytes that may still be written in the current directory (the installation's); false
  // when the volume cannot be asked.
  virtual bool GetFreeDiskSpace(uint64_t& u64Free) = 0;

  // Unpacks every entry of the package into the folder (which exists), creating folders, with
  // each file and folder flushed to disk, and returns the entry names in table order. A fault of
  // the package's own bytes (duplicate names included, and names that differ only in letter case
  // where the platform ignores it) is a common::CPkgDamagedException naming the problem alone.
  // Entries named sLeftOut byte for byte (none when it is empty) are neither unpacked nor
  // returned.
  virtual std::vector<std::string> UnpackPackage(const std::string& sPackageFile,
                                                 const std::string& sTargetDir,
                                                 const std::string& sLeftOut) = 0;
  // Inflates the package's entry of that name into memory; false when it has none. An entry
  // larger than u64MaxSize, and any fault of the package's bytes, is a
  // common::CPkgDamagedException.
  virtual bool ReadPackageEntry(const std::string& sPackageFile, const std::string& sEntryName,
                                uint64_t u64MaxSize, std::string& sContent) = 0;

  // Registry files, opened with a 100 ms lock wait. A lock that is not obtained in time
  // raises CRegistryBusyException, a lock that cannot be had otherwise CRegistryLockException;
  // every other failure is one of the file (missing or damaged).
  // Reads the value of the same name from each of the two keys; the file must exist.
  virtual void ReadVersionFile(const std::string& sFile, std::string& sBootStrapperVersion,
                               std::string& sClientAppVersion) = 0;
  // Creates the file with both versions "0".
  virtual void CreateVersionFile(const std::string& sFile) = 0;
  // Record one version as its text; the file must exist.
  virtual void SetBootStrapperVersion(const std::string& sFile, const std::string& sVersion) = 0;
  virtual void SetClientVersion(const std::string& sFile, const std::string& sVersion) = 0;
  // The highest release record sequence number accepted so far ("ReleaseRecordSequenceNum", in
  // decimal): 0 when the file has none; a value that is not a decimal number is damage.
  virtual uint64_t ReadReleaseSequenceNum(const std::string& sFile) = 0;
  virtual void SetReleaseSequenceNum(const std::string& sFile, uint64_t u64Sequence) = 0;
  // Sets the top key's "MasterAuthenticationServerIPAddrPort" to the address's text when that
  // value exists and differs; true when it was written.
  virtual bool RefreshMasterAddress(const std::string& sFile,
                                    const common::CIPAddrPort& address) = 0;
};

// The services on the system's real network, package and registry code.
std::unique_ptr<IUpdateServices> MakeRealUpdateServices();

}  // namespace bootstrapper
