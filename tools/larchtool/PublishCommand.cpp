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
#include "InputFile.h"
#include "bootstrapper/InstallLayout.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/NamedLock.h"
#include "platform/Process.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {
namespace {

const char sc_szPublishUsage[] =
    "usage: larchtool publish --dir PUBLISH --component NAME --version V [--bootstrapper] PATH...\n"
    "       larchtool publish --dir PUBLISH --show\n"
    "\n"
    "Builds the package NAME_V.pkg in the publish directory from the files and directories\n"
    "(a file is stored under its own name, a directory with everything below it under its\n"
    "name) and makes V the published version of the component in the directory's client\n"
    "config record, which larch-server serves from its next request on.\n"
    "\n"
    "  --component NAME  the client application's name without extension, or with\n"
    "                    --bootstrapper the bootstrapper's base name (Larch for Larch.exe)\n"
    "  --version V       the version number, 0 to 2147483647\n"
    "  --bootstrapper    publish a new bootstrapper: the single PATH is its executable, packed\n"
    "                    as NAME + \"New.exe\" as the self-update expects\n"
    "  --show            print the published versions and the packages of the directory\n";

constexpr int32_t sc_nCompressionLevel = 9;
constexpr uint32_t sc_uMaxVersion = 0x7fffffff;  // the bootstrapper prints versions signed
// Another publish holds the directory: wait for it as long as file operations are retried.
constexpr uint32_t sc_uLockWaitMs = 10000;

struct SPublishArgs {
  std::string sDir;
  std::string sComponent;
  uint32_t uVersion = 0;
  bool bBootstrapper = false;
  bool bShow = false;
  std::vector<std::string> vecPaths;
};

std::string InDir(const std::string& sDir, const std::string& sName) {
  return sDir + "/" + sName;
}

// The package's name as the bootstrapper asks for it, which reads versions signed.
std::string PackageName(const std::string& sComponent, uint32_t uVersion) {
  return bootstrapper::CInstallLayout::PackageName(sComponent, static_cast<int32_t>(uVersion));
}

// Decimal digits only; no sign, no blanks.
uint32_t ParseVersion(const std::string& sText) {
  bool bDigits =
      !sText.empty() && sText.size() <= 10 &&
      std::all_of(sText.begin(), sText.end(), [](char c) { return c >= '0' && c <= '9'; });
  uint64_t u64 = bDigits ? std::stoull(sText) : 0;
  if (!bDigits || u64 > sc_uMaxVersion) {
    throw CUsageError("--version must be a number from 0 to 2147483647: '" + sText + "'");
  }
  return static_cast<uint32_t>(u64);
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
      parsed.uVersion = ParseVersion(value());
      bVersion = true;
    } else if (sArg == "--bootstrapper") {
      parsed.bBootstrapper = true;
    } else if (sArg == "--show") {
      parsed.bShow = true;
    } else if (sArg.size() > 1 && sArg[0] == '-') {
      throw CUsageError("unknown option '" + sArg + "'");
    } else {
      parsed.vecPaths.push_back(sArg);
    }
  }
  if (parsed.sDir.empty()) throw CUsageError("--dir PUBLISH is required");
  if (parsed.bShow) {
    if (!parsed.sComponent.empty() || bVersion || parsed.bBootstrapper || !parsed.vecPaths.empty())
      throw CUsageError("--show takes no other options");
    return parsed;
  }
  if (parsed.sComponent.empty()) throw CUsageError("--component NAME is required");
  CheckComponentName(parsed.sComponent);
  if (!bVersion) throw CUsageError("--version V is required");
  if (parsed.vecPaths.empty()) throw CUsageError("nothing to publish: give the files");
  if (parsed.bBootstrapper && parsed.vecPaths.size() != 1) {
    throw CUsageError("--bootstrapper takes exactly one executable");
  }
  return parsed;
}

void CheckDirectory(const std::string& sDir) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sDir, status) || !status.bDirectory) {
    throw std::runtime_error("publish directory " + sDir + " does not exist");
  }
}

// The publish directory is changed by one publish at a time: the record is read, changed and
// written back, and two publishes at once would lose one of the versions. The lock is named
// after the directory's full path and dies with its holder, so a killed publish never leaves
// the directory locked.
class CPublishLock {
 public:
  explicit CPublishLock(const std::string& sDir) {
    std::string sFullPath = platform::GetFullPath(sDir);
    std::string sName =
        sFullPath.empty() ? "" : platform::NamedLockNameForFullPath("LarchPublish_", sFullPath);
    if (sName.empty() || !m_lock.Create(sName)) {
      throw std::runtime_error("publish directory " + sDir + ": cannot create its lock");
    }
    if (m_lock.Acquire(sc_uLockWaitMs) != platform::CNamedLock::eObtained) {
      throw std::runtime_error("publish directory " + sDir + " is locked by another publish");
    }
    RemoveLeftoversOfKilledPublishes(sDir);
  }

 private:
  // With the lock held no other publish is writing, so every temporary file ("." NAME "."
  // PID ".tmp") is what a killed publish left behind.
  static void RemoveLeftoversOfKilledPublishes(const std::string& sDir) {
    std::vector<std::string> names;
    if (!platform::ListDirectory(sDir, names)) return;
    for (const std::string& sName : names) {
      if (sName.size() > 5 && sName[0] == '.' && sName.compare(sName.size() - 4, 4, ".tmp") == 0) {
        platform::RemoveFile(InDir(sDir, sName));
      }
    }
  }

  platform::CNamedLock m_lock;  // given back by its destructor
};

// A file written under a temporary name beside its final one; removed unless committed.
class CTempName {
 public:
  CTempName(const std::string& sDir, const std::string& sFinalName)
      : m_sPath(InDir(sDir,
                      "." + sFinalName + "." + std::to_string(platform::GetProcessId()) + ".tmp")),
        m_sFinal(InDir(sDir, sFinalName)) {}
  ~CTempName() {
    if (!m_bCommitted) platform::RemoveFile(m_sPath);
  }
  CTempName(const CTempName&) = delete;
  CTempName& operator=(const CTempName&) = delete;

  const std::string& Path() const { return m_sPath; }
  const std::string& Final() const { return m_sFinal; }
  void Commit() {
    if (!platform::RenameFile(m_sPath, m_sFinal)) {
      throw std::runtime_error("unable to rename " + m_sPath + " to " + m_sFinal);
    }
    m_bCommitted = true;
  }

 private:
  std::string m_sPath;
  std::string m_sFinal;
  bool m_bCommitted = false;
};

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

// Builds the package under a temporary name and renames it into place. Returns its entry count.
uint32_t BuildPackage(const SPublishArgs& args) {
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
  pkgName.Commit();
  return pkg.GetNumFiles();
}

using Weft::CClientConfigRecord;
using CFieldName = common::CMultiFieldBlob::CFieldName;

// The directory's record; null before the first publish.
std::unique_ptr<CClientConfigRecord> ReadPublishedRecord(const std::string& sDir) {
  std::string sPath = InDir(sDir, larchserver::sc_szClientConfigRecordFile);
  std::string sImage;
  if (!ReadInputFileIfPresent(sPath, sImage)) return nullptr;
  try {
    std::unique_ptr<CClientConfigRecord> pRecord(new CClientConfigRecord(
        reinterpret_cast<const uint8_t*>(sImage.data()), static_cast<uint32_t>(sImage.size())));
    pRecord->ValidateFields();
    return pRecord;
  } catch (const std::exception& e) {
    throw std::runtime_error(sPath + " is not a client config record: " + e.what());
  }
}

// The directory's record; before the first publish one with every version 0 (what a fresh
// installation holds), so that the bootstrapper finds all three numbers.
std::unique_ptr<CClientConfigRecord> LoadRecord(const std::string& sDir) {
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(sDir);
  if (pRecord) return pRecord;
  return std::unique_ptr<CClientConfigRecord>(
      new CClientConfigRecord(larchserver::sc_uRecordLayoutVersion, 0, 0));
}

// Sets the component's version and name and replaces the record file whole.
void UpdateRecord(const SPublishArgs& args, std::unique_ptr<CClientConfigRecord> pRecord) {
  uint32_t uVersionField = args.bBootstrapper
                               ? CClientConfigRecord::eCurrentClientBootstrapVersion
                               : CClientConfigRecord::eCurrentClientAppPackageVersion;
  uint32_t uNameField = args.bBootstrapper ? larchserver::sc_uBootstrapComponentField
                                           : larchserver::sc_uClientAppComponentField;
  pRecord->SetField(CFieldName(uVersionField), args.uVersion);
  pRecord->SetField(CFieldName(uNameField), args.sComponent);

  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = pRecord->GetSerializedBlob(&uSize);
  CTempName recordName(args.sDir, larchserver::sc_szClientConfigRecordFile);
  {
    platform::CFile out;
    if (!out.Open(recordName.Path(), platform::CFile::eCreate) || !out.Write(pImage, uSize) ||
        !out.Flush()) {
      throw std::runtime_error("unable to write " + recordName.Path());
    }
  }
  recordName.Commit();
}

int Publish(const SPublishArgs& args) {
  CheckDirectory(args.sDir);
  CPublishLock lock(args.sDir);
  // A damaged record stops the publish before anything is written.
  std::unique_ptr<CClientConfigRecord> pRecord = LoadRecord(args.sDir);
  uint32_t uFiles = BuildPackage(args);
  UpdateRecord(args, std::move(pRecord));
  std::printf("published %s version %u%s: %s (%u files)\n", args.sComponent.c_str(), args.uVersion,
              args.bBootstrapper ? " (bootstrapper)" : "",
              PackageName(args.sComponent, args.uVersion).c_str(), uFiles);
  return sc_nExitOk;
}

void ShowComponent(const CClientConfigRecord& record, const std::string& sDir, const char* pszWhat,
                   uint32_t uVersionField, uint32_t uNameField) {
  uint32_t uVersion = 0;
  std::string sName = record.GetFieldDataAsCString(CFieldName(uNameField));
  if (!record.GetFieldDataAsU32(CFieldName(uVersionField), uVersion)) {
    std::printf("%s: no version\n", pszWhat);
  } else if (sName.empty()) {
    std::printf("%s: version %u\n", pszWhat, uVersion);
  } else {
    std::string sPkg = PackageName(sName, uVersion);
    platform::SFileStatus status;
    bool bPresent = platform::GetFileStatus(InDir(sDir, sPkg), status) && status.bRegularFile;
    std::printf("%s: %s version %u, %s%s\n", pszWhat, sName.c_str(), uVersion, sPkg.c_str(),
                bPresent ? "" : " (missing)");
  }
}

int Show(const SPublishArgs& args) {
  CheckDirectory(args.sDir);
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(args.sDir);
  if (!pRecord) {
    std::printf("nothing published in %s\n", args.sDir.c_str());
  } else {
    ShowComponent(*pRecord, args.sDir, "bootstrapper",
                  CClientConfigRecord::eCurrentClientBootstrapVersion,
                  larchserver::sc_uBootstrapComponentField);
    ShowComponent(*pRecord, args.sDir, "client application",
                  CClientConfigRecord::eCurrentClientAppPackageVersion,
                  larchserver::sc_uClientAppComponentField);
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
