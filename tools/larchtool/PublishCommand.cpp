// larchtool publish: puts a new version of a component into a publish directory, where
// larch-server serves it. The package NAME_V.pkg is built beside its final name and renamed
// into place; then the client config record is rewritten the same way, so a server never hands
// out a half-written package or record, and it sees the new version on its next request.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../server/PublishLayout.h"
#include "Command.h"
#include "DeltaPublish.h"
#include "KeyFile.h"
#include "PublishGuards.h"
#include "PublishPrune.h"
#include "PublishShow.h"
#include "PublishedPackages.h"
#include "RecordSigning.h"
#include "ReleaseDirectory.h"
#include "bootstrapper/Branding.h"
#include "bootstrapper/InstallLayout.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "protocols/DeltaPackage.h"

namespace larchtool {
namespace {

const char sc_szPublishUsage[] =
    "usage: larchtool publish --dir PUBLISH --component NAME --version V [--bootstrapper]\n"
    "                         [-C DIR] [--client-file NAME] [--sign-key KEYFILE [--expires DAYS]]\n"
    "                         [--deltas K] [--prune KEEP] [--force] PATH...\n"
    "       larchtool publish --dir PUBLISH --prune KEEP\n"
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
    "  -C DIR            store what DIR holds at the package's top level, each entry under its\n"
    "                    own name; the PATHs are then names inside DIR, and without PATH all\n"
    "                    of DIR goes in ('publish ... -C build/v2', where 'publish ... build/v2'\n"
    "                    would put every file into the folder v2 of the package)\n"
    "  --client-file NAME  the client application's file (name.exe or name.dll) that must lie\n"
    "                    at the top level of a client package; without it the name branded\n"
    "                    into the published bootstrapper is used\n"
    "  --sign-key KEYFILE  sign the record with the secret key (see 'larchtool keygen');\n"
    "                    without it the record is unsigned\n"
    "  --expires DAYS    a signed record expires after DAYS days, 1 to 3650 (30); re-sign it\n"
    "                    in time with 'larchtool sign'\n"
    "  --deltas K        with a client version V, also write for each of the K newest other\n"
    "                    versions U in the directory (default 3, 0 for none) the delta package\n"
    "                    NAME_U-V.pkg: the files of V that U lacks or holds with other bytes, and\n"
    "                    V's file list; the record offers the deltas, and an installation of U\n"
    "                    downloads one instead of the full package. A delta larger than 60% of\n"
    "                    the full package is left out with a note\n"
    "  --prune KEEP      after the publish, or alone, remove the package files NAME_V.pkg of\n"
    "                    each component beyond its KEEP newest versions (KEEP 1 or more), and\n"
    "                    the delta packages NAME_U-V.pkg that the record does not offer; the\n"
    "                    versions the record names and the deltas it offers stay (after a\n"
    "                    publish also those the record named before it, which clients may\n"
    "                    still be fetching), and nothing else is removed but what an\n"
    "                    interrupted publish left (.publish-* folders, .*.tmp files)\n"
    "  --force           publish despite the refusals below, each then a warning\n"
    "  --show            print the published bootstrapper and client application with their\n"
    "                    packages' size and SHA-256 and whether the files still match the\n"
    "                    record, the deltas the record offers, the record's sequence number,\n"
    "                    signature and expiry, and the other packages\n"
    "\n"
    "Refused unless --force, all checked before anything is put into place:\n"
    "  - an unsigned record replacing a signed one, or a signature by another key than the\n"
    "    record's present one\n"
    "  - a bootstrapper not branded with the signing key, or one with release keys published\n"
    "    unsigned\n"
    "  - a bootstrapper that still carries the branding a build ships with\n"
    "  - a bootstrapper branded for other directory servers than the published one\n"
    "  - a client package without the client file at its top level (not checked, with a note,\n"
    "    when neither --client-file nor the published bootstrapper names the file)\n"
    "  - another component than the one the record names for the bootstrapper or the client\n"
    "    application (with --force the record switches to the new one)\n"
    "  - a version that is already published with other content\n"
    "\n"
    "Always refused: a client file stored as |delta-files|, the name that holds a delta's file\n"
    "list.\n"
    "\n"
    "Publishing the published version again with the same content changes nothing. To roll\n"
    "back, publish an older version again with the same files: its package is kept as it is\n"
    "(or built again when it was pruned) and the record points back to it. A publish that was\n"
    "interrupted leaves nothing that the next one does not remove.\n";

constexpr int32_t sc_nCompressionLevel = 9;
constexpr uint32_t sc_uMaxVersion = 0x7fffffff;  // the bootstrapper prints versions signed

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

// The client file as the installer names it: name + "." + lower-case extension.
std::string InstalledClientFile(const std::string& sValue) {
  std::string sName, sExtension;
  try {
    bootstrapper::SplitClientAppFileName(sValue, sName, sExtension);
  } catch (const std::exception& e) {
    throw CUsageError(std::string("--client-file: ") + e.what());
  }
  return sName + "." + sExtension;
}

// Refuses what a mode does not take; "--prune KEEP" alone prunes without publishing.
void CheckMode(const SPublishArgs& parsed, bool bVersion) {
  const bool bPublishing = !parsed.sComponent.empty() || bVersion || parsed.bBootstrapper ||
                           !parsed.vecPaths.empty() || !parsed.sContentDir.empty() ||
                           !parsed.sClientFile.empty() || !parsed.signing.sKeyFile.empty() ||
                           parsed.signing.bDaysGiven || parsed.bDeltasGiven;
  if (parsed.bShow && (bPublishing || parsed.bForce || parsed.uKeep)) {
    throw CUsageError("--show takes no other options");
  }
  if (parsed.bShow || (parsed.uKeep && !bPublishing)) {
    if (parsed.bForce) throw CUsageError("--force is given only to a publish");
    return;
  }
  CheckSigningArgs(parsed.signing);
  if (parsed.sComponent.empty()) throw CUsageError("--component NAME is required");
  CheckComponentName(parsed.sComponent);
  if (!bVersion) throw CUsageError("--version V is required");
  if (parsed.vecPaths.empty() && parsed.sContentDir.empty()) {
    throw CUsageError("nothing to publish: give the files or -C DIR");
  }
  if (parsed.bBootstrapper && !parsed.sClientFile.empty()) {
    throw CUsageError("--client-file is checked in a client package, not with --bootstrapper");
  }
  if (parsed.bBootstrapper && parsed.bDeltasGiven) {
    throw CUsageError("--deltas is given with a client version, not with --bootstrapper");
  }
  if (parsed.bBootstrapper && parsed.vecPaths.size() > 1) {
    throw CUsageError("--bootstrapper takes exactly one executable");
  }
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
    } else if (sArg == "-C") {
      parsed.sContentDir = value();
    } else if (sArg == "--client-file") {
      parsed.sClientFile = InstalledClientFile(value());
    } else if (sArg == "--prune") {
      parsed.uKeep = ParseNumberOption("--prune", "number of versions", value(), 1, sc_uMaxVersion);
    } else if (sArg == "--deltas") {
      parsed.uDeltas =
          ParseNumberOption("--deltas", "number of versions", value(), 0, sc_uMaxVersion);
      parsed.bDeltasGiven = true;
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
  CheckMode(parsed, bVersion);
  return parsed;
}

// With -C the PATHs are names inside DIR, and no PATH means everything DIR holds.
void ResolveContentDir(SPublishArgs& args) {
  if (args.sContentDir.empty()) return;
  platform::SFileStatus status;
  if (!platform::GetFileStatus(args.sContentDir, status) || !status.bDirectory) {
    throw std::runtime_error("-C: directory " + args.sContentDir + " does not exist");
  }
  if (args.vecPaths.empty() && !platform::ListDirectory(args.sContentDir, args.vecPaths)) {
    throw std::runtime_error("unable to list " + args.sContentDir);
  }
  std::sort(args.vecPaths.begin(), args.vecPaths.end());
  for (std::string& sPath : args.vecPaths) sPath = InDir(args.sContentDir, sPath);
  if (args.bBootstrapper && args.vecPaths.size() != 1) {
    throw std::runtime_error("--bootstrapper takes exactly one executable, and " +
                             args.sContentDir + " holds " + std::to_string(args.vecPaths.size()) +
                             " entries");
  }
}

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

// An installation finds a delta's file list under this name; a client file there would be
// taken for it (and bootstrappers refuse a package holding it).
void CheckReservedName(const SPublishArgs& args, const common::CPkgFile& pkg) {
  std::vector<std::string> names;
  pkg.GetFileNames(names);
  if (std::count(names.begin(), names.end(), common::sc_szDeltaFileListEntry)) {
    throw std::runtime_error(PackageName(args.sComponent, args.uVersion) + " would hold a file " +
                             common::sc_szDeltaFileListEntry +
                             ", the name that holds a delta's file list; rename it");
  }
}

// Builds the package into sPath (a temporary name); returns its entry count.
uint32_t BuildPackage(const SPublishArgs& args, const std::string& sPath) {
  std::vector<std::string> vecSources = args.vecPaths;
  std::unique_ptr<CScratchFolder> pStaging;
  if (args.bBootstrapper) {
    platform::SFileStatus status;
    if (!platform::GetFileStatus(args.vecPaths[0], status) || !status.bRegularFile) {
      throw std::runtime_error("file not found: " + args.vecPaths[0]);
    }
    // The self-update swaps NAME + "New.exe" into place, whatever the file was called here.
    pStaging.reset(new CScratchFolder(args.sDir));
    std::string sStaged =
        InDir(pStaging->Path(), bootstrapper::CInstallLayout(args.sComponent).NewExecutable());
    CopyFile(args.vecPaths[0], sStaged);
    vecSources = {sStaged};
  }
  CWarningPrinter warnings;
  common::CPkgFile pkg(sc_nCompressionLevel);
  pkg.SetListener(&warnings);
  pkg.Create(sPath, sc_nCompressionLevel);
  pkg.AddFiles(vecSources);
  if (pkg.GetNumFiles() == 0) {
    throw std::runtime_error("nothing to publish: " + PackageName(args.sComponent, args.uVersion) +
                             " would hold no file");
  }
  CheckReservedName(args, pkg);
  return pkg.GetNumFiles();
}

// Sets the component's version, name and package digest and a new sequence number; signs last.
void UpdateRecord(const SPublishArgs& args, const SPackageDigest& digest,
                  const std::vector<SDeltaOffer>& offers, const common::CSigningKey* pKey,
                  CClientConfigRecord& record) {
  record.SetField(
      CFieldName(args.bBootstrapper ? CClientConfigRecord::eCurrentClientBootstrapVersion
                                    : CClientConfigRecord::eCurrentClientAppPackageVersion),
      args.uVersion);
  record.SetField(CFieldName(args.bBootstrapper ? larchserver::sc_uBootstrapComponentField
                                                : larchserver::sc_uClientAppComponentField),
                  args.sComponent);
  record.SetPackageDigest(args.bBootstrapper, digest);
  // Offers name deltas to the published version only: an older version's go with it.
  if (!args.bBootstrapper) record.SetClientAppDeltas(offers);
  RaiseSequenceNum(record);
  if (pKey) {
    SignRecord(record, *pKey, args.signing.uDays);
  } else {
    MakeUnsigned(record);
  }
}

// True when the record already publishes this version with the package as it lies there.
bool RecordPublishes(const SPublishArgs& args, const CClientConfigRecord& record,
                     const std::string& sPackage) {
  SNamedComponent named = NamedComponent(record, args.bBootstrapper);
  SPackageDigest recorded;
  if (named.sName != args.sComponent || !named.bVersion || named.uVersion != args.uVersion ||
      !record.GetPackageDigest(args.bBootstrapper, recorded)) {
    return false;
  }
  SPackageDigest actual = DigestOfFile(sPackage);
  return actual.u64Size == recorded.u64Size && actual.hash == recorded.hash;
}

int Publish(SPublishArgs args) {
  CReleaseDirectory dir(args.sDir);
  RemoveLeftoverScratchFolders(args.sDir);
  ResolveContentDir(args);
  std::unique_ptr<common::CSigningKey> pKey;
  if (!args.signing.sKeyFile.empty()) {
    pKey.reset(new common::CSigningKey(ReadSecretKeyFile(args.signing.sKeyFile)));
  }
  // A damaged record or a refused guard stops the publish before anything is put into place.
  std::unique_ptr<CClientConfigRecord> pRecord = dir.LoadRecord();
  const std::string sName = PackageName(args.sComponent, args.uVersion);
  const std::string sPackage = InDir(args.sDir, sName);
  CTempName built(args.sDir, sName);
  uint32_t uFiles = BuildPackage(args, built.Path());
  platform::SFileStatus status;
  EPublishedPackage existing = EPublishedPackage::eNone;
  if (platform::GetFileStatus(sPackage, status)) {
    existing = SamePackageContent(args.sDir, sPackage, built.Path())
                   ? EPublishedPackage::eSameContent
                   : EPublishedPackage::eOtherContent;
  }
  // A client that fetched the replaced record a moment ago may still ask for what it names:
  // a prune in the same command keeps that too.
  SNamedFiles named;
  AddNamedFiles(pRecord.get(), named);
  if (existing == EPublishedPackage::eSameContent && RecordPublishes(args, *pRecord, sPackage)) {
    std::printf("%s version %u is already published with the same content; nothing changed\n",
                args.sComponent.c_str(), args.uVersion);
  } else {
    CheckPublish(args, *pRecord, pKey.get(), built.Path(), existing);
    CDeltaPublish deltas(args.sDir, args.sComponent, args.uVersion);
    if (!args.bBootstrapper) deltas.Build(built.Path(), args.uDeltas);
    // The same content again (a rollback) keeps the package that clients may be fetching.
    if (existing != EPublishedPackage::eSameContent) built.Commit();
    // Packages first, the record last: a server never offers a file that is not there yet.
    std::vector<SDeltaOffer> offers = deltas.Commit();
    UpdateRecord(args, DigestOfFile(sPackage), offers, pKey.get(), *pRecord);
    dir.WriteRecord(*pRecord);
    std::printf("published %s version %u%s: %s (%u file%s%s)\n%srecord: %s\n",
                args.sComponent.c_str(), args.uVersion, args.bBootstrapper ? " (bootstrapper)" : "",
                sName.c_str(), uFiles, uFiles == 1 ? "" : "s",
                existing == EPublishedPackage::eSameContent ? ", already there" : "",
                deltas.SummaryText().c_str(), RecordSummary(*pRecord).c_str());
  }
  AddNamedFiles(pRecord.get(), named);
  if (args.uKeep) PrunePackages(args.sDir, named, args.uKeep);
  return sc_nExitOk;
}

int Prune(const SPublishArgs& args) {
  CReleaseDirectory dir(args.sDir);
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(args.sDir);
  SNamedFiles named;
  AddNamedFiles(pRecord.get(), named);
  PrunePackages(args.sDir, named, args.uKeep);
  return sc_nExitOk;
}

int RunPublish(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szPublishUsage, stdout);
    return sc_nExitOk;
  }
  SPublishArgs parsed = ParseArgs(args);
  if (parsed.bShow) {
    ShowPublished(parsed.sDir);
    return sc_nExitOk;
  }
  return parsed.sComponent.empty() ? Prune(parsed) : Publish(parsed);
}

const CCommandRegistration s_registration(
    {"publish", "puts a component's new version into a publish directory for larch-server",
     sc_szPublishUsage, RunPublish});

}  // namespace
}  // namespace larchtool
