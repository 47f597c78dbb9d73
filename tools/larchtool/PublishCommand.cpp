// larchtool publish: puts a new version of a component into a publish directory, where
// larch-server serves it. The package NAME_V.pkg is built beside its final name and renamed
// into place; then the client config record is rewritten the same way, so a server never hands
// out a half-written package or record, and it sees the new version on its next request.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../../server/PublishLayout.h"
#include "Command.h"
#include "ExeBranding.h"
#include "KeyFile.h"
#include "RecordSigning.h"
#include "ReleaseDirectory.h"
#include "bootstrapper/InstallLayout.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

const char sc_szPublishUsage[] =
    "usage: larchtool publish --dir PUBLISH --component NAME --version V [--bootstrapper]\n"
    "                         [--sign-key KEYFILE [--expires DAYS]] [--force] PATH...\n"
    "       larchtool publish --dir PUBLISH --show\n"
    "\n"
    "Builds the package NAME_V.pkg in the publish directory from the files and directories\n"
    "(a file is stored under its own name, a directory with everything below it under its\n"
    "name) and makes V the published version of the component in the directory's client\n"
    "config record, which larch-server serves from its next request on. The record keeps the\n"
    "package's size and SHA-256 and a sequence number that every publish raises.\n"
    "\n"
    "  --component NAME  the client application's name without extension, or with\n"
    "                    --bootstrapper the bootstrapper's base name (Larch for Larch.exe)\n"
    "  --version V       the version number, 0 to 2147483647\n"
    "  --bootstrapper    publish a new bootstrapper: the single PATH is its executable, packed\n"
    "                    as NAME + \"New.exe\" as the self-update expects\n"
    "  --sign-key KEYFILE  sign the record with the secret key (see 'larchtool keygen');\n"
    "                    without it the record is unsigned\n"
    "  --expires DAYS    a signed record expires after DAYS days, 1 to 3650 (30); re-sign it\n"
    "                    in time with 'larchtool sign'\n"
    "  --force           publish even what would lock bootstrappers out (a signed record\n"
    "                    replaced by an unsigned one, a bootstrapper not branded with the\n"
    "                    signing key, or one with keys published unsigned), with a warning\n"
    "  --show            print the published versions, the packages and the record's\n"
    "                    sequence number and signature\n";

constexpr int32_t sc_nCompressionLevel = 9;
constexpr uint32_t sc_uMaxVersion = 0x7fffffff;  // the bootstrapper prints versions signed

struct SPublishArgs {
  std::string sDir;
  std::string sComponent;
  uint32_t uVersion = 0;
  bool bBootstrapper = false;
  bool bShow = false;
  bool bForce = false;
  SSigningArgs signing;
  std::vector<std::string> vecPaths;
};

// The package's name as the bootstrapper asks for it, which reads versions signed.
std::string PackageName(const std::string& sComponent, uint32_t uVersion) {
  return bootstrapper::CInstallLayout::PackageName(sComponent, static_cast<int32_t>(uVersion));
}

// A component name becomes part of file names in the publish directory and on the clients.
void CheckComponentName(const std::string& sName) {
  bool bPlain = !sName.empty() && sName.find("..") == std::string::npos;
  for (unsigned char c : sName) {
    if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
        c == '"' || c == '<' || c == '>' || c == '|') {
      bPlain = false;
    }
  }
  if (!bPlain) throw CUsageError("--component must be a plain file name: '" + sName + "'");
}

SPublishArgs ParseArgs(const std::vector<std::string>& args) {
  SPublishArgs parsed;
  bool bVersion = false;
  for (size_t u = 0; u < args.size(); ++u) {
    const std::string& sArg = args[u];
    auto value = [&]() -> const std::string& {
      if (u + 1 >= args.size()) throw CUsageError(sArg + " needs a value");
      return args[++u];
    };
    if (sArg == "--dir") {
      parsed.sDir = value();
    } else if (sArg == "--component") {
      parsed.sComponent = value();
    } else if (sArg == "--version") {
      parsed.uVersion = ParseNumberOption("--version", "number", value(), 0, sc_uMaxVersion);
      bVersion = true;
    } else if (sArg == "--bootstrapper") {
      parsed.bBootstrapper = true;
    } else if (sArg == "--show") {
      parsed.bShow = true;
    } else if (sArg == "--force") {
      parsed.bForce = true;
    } else if (ParseSigningArg(args, u, parsed.signing)) {
      // --sign-key or --expires, taken with its value
    } else if (sArg.size() > 1 && sArg[0] == '-') {
      throw CUsageError("unknown option '" + sArg + "'");
    } else {
      parsed.vecPaths.push_back(sArg);
    }
  }
  if (parsed.sDir.empty()) throw CUsageError("--dir PUBLISH is required");
  if (parsed.bShow) {
    if (!parsed.sComponent.empty() || bVersion || parsed.bBootstrapper ||
        !parsed.vecPaths.empty() || parsed.bForce || !parsed.signing.sKeyFile.empty() ||
        parsed.signing.bDaysGiven)
      throw CUsageError("--show takes no other options");
    return parsed;
  }
  CheckSigningArgs(parsed.signing);
  if (parsed.sComponent.empty()) throw CUsageError("--component NAME is required");
  CheckComponentName(parsed.sComponent);
  if (!bVersion) throw CUsageError("--version V is required");
  if (parsed.vecPaths.empty()) throw CUsageError("nothing to publish: give the files");
  if (parsed.bBootstrapper && parsed.vecPaths.size() != 1) {
    throw CUsageError("--bootstrapper takes exactly one executable");
  }
  return parsed;
}

// A directory for the renamed bootstrapper executable, removed with its content.
class CStagingDir {
 public:
  explicit CStagingDir(const std::string& sDir)
      : m_sPath(InDir(sDir, ".publish-" + std::to_string(platform::GetProcessId()))) {
    if (!platform::MakeDirectory(m_sPath)) {
      throw std::runtime_error("unable to create directory " + m_sPath);
    }
  }
  ~CStagingDir() {
    std::vector<std::string> names;
    platform::ListDirectory(m_sPath, names);
    for (const std::string& sName : names) platform::RemoveFile(InDir(m_sPath, sName));
    platform::RemoveEmptyDirectory(m_sPath);
  }
  CStagingDir(const CStagingDir&) = delete;
  CStagingDir& operator=(const CStagingDir&) = delete;

  const std::string& Path() const { return m_sPath; }

 private:
  std::string m_sPath;
};

void CopyFile(const std::string& sFrom, const std::string& sTo) {
  platform::CFile in, out;
  if (!in.Open(sFrom, platform::CFile::eRead)) throw std::runtime_error("unable to open " + sFrom);
  if (!out.Open(sTo, platform::CFile::eCreate)) throw std::runtime_error("unable to create " + sTo);
  std::vector<uint8_t> buffer(1 << 20);
  for (;;) {
    int64_t nRead = in.Read(buffer.data(), buffer.size());
    if (nRead < 0) throw std::runtime_error("error reading " + sFrom);
    if (nRead == 0) break;
    if (!out.Write(buffer.data(), static_cast<uint64_t>(nRead))) {
      throw std::runtime_error("error writing " + sTo);
    }
  }
}

class CWarningPrinter : public common::IPkgFileListener {
 public:
  void OnPkgWarning(const std::string& sText) override {
    std::fprintf(stderr, "larchtool publish: warning: %s\n", sText.c_str());
  }
  void OnPkgProgress(uint64_t, uint64_t) override {}
};

using Weft::CClientConfigRecord;
using CFieldName = common::CMultiFieldBlob::CFieldName;
using SPackageDigest = CClientConfigRecord::SPackageDigest;

// The record's fields for the bootstrapper or the client application.
struct SComponentFields {
  uint32_t uVersion;
  uint32_t uName;
};
SComponentFields FieldsOf(bool bBootstrapper) {
  if (bBootstrapper) {
    return {CClientConfigRecord::eCurrentClientBootstrapVersion,
            larchserver::sc_uBootstrapComponentField};
  }
  return {CClientConfigRecord::eCurrentClientAppPackageVersion,
          larchserver::sc_uClientAppComponentField};
}

// The size and SHA-256 of the package file as it lies on the disk.
SPackageDigest DigestOfFile(const std::string& sPath) {
  platform::CFile file;
  if (!file.Open(sPath, platform::CFile::eRead))
    throw std::runtime_error("unable to open " + sPath);
  common::CSha256 sha;
  std::vector<uint8_t> buffer(1 << 20);
  for (;;) {
    int64_t nRead = file.Read(buffer.data(), buffer.size());
    if (nRead < 0) throw std::runtime_error("error reading " + sPath);
    if (nRead == 0) break;
    sha.Update(buffer.data(), static_cast<size_t>(nRead));
  }
  SPackageDigest digest;
  digest.u64Size = sha.BytesFed();
  digest.hash = sha.Final();
  return digest;
}

// Builds the package under a temporary name and renames it into place. Returns its entry count
// and the digest of the file written.
uint32_t BuildPackage(const SPublishArgs& args, SPackageDigest& digest) {
  std::vector<std::string> vecSources = args.vecPaths;
  std::unique_ptr<CStagingDir> pStaging;
  if (args.bBootstrapper) {
    platform::SFileStatus status;
    if (!platform::GetFileStatus(args.vecPaths[0], status) || !status.bRegularFile) {
      throw std::runtime_error("file not found: " + args.vecPaths[0]);
    }
    // The self-update swaps NAME + "New.exe" into place, whatever the file was called here.
    pStaging.reset(new CStagingDir(args.sDir));
    std::string sStaged =
        InDir(pStaging->Path(), bootstrapper::CInstallLayout(args.sComponent).NewExecutable());
    CopyFile(args.vecPaths[0], sStaged);
    vecSources = {sStaged};
  }
  CTempName pkgName(args.sDir, PackageName(args.sComponent, args.uVersion));
  CWarningPrinter warnings;
  common::CPkgFile pkg(sc_nCompressionLevel);
  pkg.SetListener(&warnings);
  pkg.Create(pkgName.Path(), sc_nCompressionLevel);
  pkg.AddFiles(vecSources);
  if (pkg.GetNumFiles() == 0) {
    throw std::runtime_error("nothing to publish: " + PackageName(args.sComponent, args.uVersion) +
                             " would hold no file");
  }
  digest = DigestOfFile(pkgName.Path());
  pkgName.Commit();
  return pkg.GetNumFiles();
}

void PublishGuard(const SPublishArgs& args, const std::string& sText) {
  Guard(args.bForce, "publish", sText);
}

// The bootstrapper being published will check every record it fetches with the keys branded
// into it: it must know the key that signs, and an unsigned publish must not ship keys.
void CheckBootstrapperKeys(const SPublishArgs& args, const common::CSigningKey* pKey) {
  const std::string& sExe = args.vecPaths[0];
  std::vector<common::PublicKey> keys;
  try {
    keys = ReadBrandedReleaseKeys(sExe);
  } catch (const std::exception& e) {
    if (pKey) PublishGuard(args, std::string(e.what()) + ": its release keys cannot be checked");
    return;
  }
  if (pKey && std::find(keys.begin(), keys.end(), pKey->Public()) == keys.end()) {
    PublishGuard(args,
                 sExe + " is not branded with the public key of " + args.signing.sKeyFile +
                     ": once installed it would refuse every record signed with it; brand it with "
                     "'larchtool brand EXE --public-key " +
                     args.signing.sKeyFile + sc_pszPublicKeySuffix + "'");
  } else if (!pKey && !keys.empty()) {
    PublishGuard(args,
                 sExe +
                     " carries release public keys: once installed it would refuse every unsigned "
                     "record; publish it with --sign-key KEYFILE");
  }
}

// Every guard, before anything is written.
void CheckPublish(const SPublishArgs& args, const CClientConfigRecord& record,
                  const common::CSigningKey* pKey) {
  if (!pKey && record.IsSigned()) {
    PublishGuard(args,
                 "the record in " + args.sDir +
                     " is signed: an unsigned one would be refused by bootstrappers that check "
                     "signatures; publish with --sign-key KEYFILE");
  }
  if (pKey) GuardKeyChange(record, *pKey, args.signing.sKeyFile, args.bForce, "publish");
  if (args.bBootstrapper) CheckBootstrapperKeys(args, pKey);
}

// Sets the component's version, name and package digest and a new sequence number; signs last.
void UpdateRecord(const SPublishArgs& args, const SPackageDigest& digest,
                  const common::CSigningKey* pKey, CClientConfigRecord& record) {
  SComponentFields fields = FieldsOf(args.bBootstrapper);
  record.SetField(CFieldName(fields.uVersion), args.uVersion);
  record.SetField(CFieldName(fields.uName), args.sComponent);
  record.SetPackageDigest(args.bBootstrapper, digest);
  RaiseSequenceNum(record);
  if (pKey) {
    SignRecord(record, *pKey, args.signing.uDays);
  } else {
    MakeUnsigned(record);
  }
}

int Publish(const SPublishArgs& args) {
  CReleaseDirectory dir(args.sDir);
  std::unique_ptr<common::CSigningKey> pKey;
  if (!args.signing.sKeyFile.empty()) {
    pKey.reset(new common::CSigningKey(ReadSecretKeyFile(args.signing.sKeyFile)));
  }
  // A damaged record or a refused guard stops the publish before anything is written.
  std::unique_ptr<CClientConfigRecord> pRecord = dir.LoadRecord();
  CheckPublish(args, *pRecord, pKey.get());
  SPackageDigest digest;
  uint32_t uFiles = BuildPackage(args, digest);
  UpdateRecord(args, digest, pKey.get(), *pRecord);
  dir.WriteRecord(*pRecord);
  std::printf("published %s version %u%s: %s (%u files)\nrecord: %s\n", args.sComponent.c_str(),
              args.uVersion, args.bBootstrapper ? " (bootstrapper)" : "",
              PackageName(args.sComponent, args.uVersion).c_str(), uFiles,
              RecordSummary(*pRecord).c_str());
  return sc_nExitOk;
}

// The component's line, and the size and hash that the record vouches for.
void ShowComponent(const CClientConfigRecord& record, const std::string& sDir, bool bBootstrapper) {
  const char* pszWhat = bBootstrapper ? "bootstrapper" : "client application";
  SComponentFields fields = FieldsOf(bBootstrapper);
  uint32_t uVersion = 0;
  std::string sName = record.GetFieldDataAsCString(CFieldName(fields.uName));
  if (!record.GetFieldDataAsU32(CFieldName(fields.uVersion), uVersion)) {
    std::printf("%s: no version\n", pszWhat);
    return;
  }
  if (sName.empty()) {
    std::printf("%s: version %u\n", pszWhat, uVersion);
    return;
  }
  std::string sPkg = PackageName(sName, uVersion);
  platform::SFileStatus status;
  bool bPresent = platform::GetFileStatus(InDir(sDir, sPkg), status) && status.bRegularFile;
  std::printf("%s: %s version %u, %s%s\n", pszWhat, sName.c_str(), uVersion, sPkg.c_str(),
              bPresent ? "" : " (missing)");
  SPackageDigest recorded;
  if (!record.GetPackageDigest(bBootstrapper, recorded)) return;
  SPackageDigest actual;
  if (bPresent) actual = DigestOfFile(InDir(sDir, sPkg));
  bool bSame = bPresent && actual.u64Size == recorded.u64Size && actual.hash == recorded.hash;
  std::printf("  %llu bytes, SHA-256 %s%s\n", static_cast<unsigned long long>(recorded.u64Size),
              common::ToLowerHex(recorded.hash.data(), recorded.hash.size()).c_str(),
              bSame || !bPresent ? "" : " (the file differs)");
}

int Show(const SPublishArgs& args) {
  CheckPublishDirectory(args.sDir);
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(args.sDir);
  if (!pRecord) {
    std::printf("nothing published in %s\n", args.sDir.c_str());
  } else {
    ShowComponent(*pRecord, args.sDir, true);
    ShowComponent(*pRecord, args.sDir, false);
    std::printf("record: %s\n", RecordSummary(*pRecord).c_str());
  }
  std::vector<std::string> names;
  if (!platform::ListDirectory(args.sDir, names)) {
    throw std::runtime_error("unable to list " + args.sDir);
  }
  std::sort(names.begin(), names.end());
  std::printf("packages:\n");
  for (const std::string& sName : names) {
    platform::SFileStatus status;
    if (sName.size() < 5 || sName[0] == '.' || sName.compare(sName.size() - 4, 4, ".pkg") != 0 ||
        !platform::GetFileStatus(InDir(args.sDir, sName), status) || !status.bRegularFile) {
      continue;
    }
    std::printf("  %s (%llu bytes)\n", sName.c_str(),
                static_cast<unsigned long long>(status.u64Size));
  }
  return sc_nExitOk;
}

int RunPublish(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szPublishUsage, stdout);
    return sc_nExitOk;
  }
  SPublishArgs parsed = ParseArgs(args);
  return parsed.bShow ? Show(parsed) : Publish(parsed);
}

const CCommandRegistration s_registration(
    {"publish", "puts a component's new version into a publish directory for larch-server",
     sc_szPublishUsage, RunPublish});

}  // namespace
}  // namespace larchtool
