// larchtool status: checks a live deployment the way a client meets it. It asks the directory
// server for the configuration servers and content-server directory servers, reads the record
// of every configuration server, asks every content-server directory server for its content
// servers, and downloads every published package from every content server, hashing it as it
// streams (nothing is kept). Every problem is a "FAIL:" line; the exit code is 1 when there is
// one.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../server/PublishLayout.h"
#include "Command.h"
#include "KeyFile.h"
#include "NetworkOptions.h"
#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/ReleaseCheck.h"
#include "network/IPAddrPort.h"
#include "network/WinSockHelperFunctions.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/ContentServerDirectoryServerProtocol.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;
using ServerList = std::vector<common::CIPAddrPort>;

const char sc_szStatusUsage[] =
    "usage: larchtool status GDS_ADDR [--timeout SECONDS] [--public-key KEYFILE.pub]...\n"
    "\n"
    "Checks a live deployment as a client meets it and prints what each server answers:\n"
    "  - the configuration servers and content-server directory servers the general\n"
    "    directory server GDS_ADDR (IP:port; port 5273 when left out) names;\n"
    "  - the record of each configuration server: the published versions and components,\n"
    "    each package's published size and SHA-256, the sequence number, the signature and\n"
    "    the expiry date (an expired record is a failure);\n"
    "  - the content servers each content-server directory server hands out;\n"
    "  - for each content server, each published package downloaded whole and compared with\n"
    "    the published size and SHA-256 (hashed as it arrives; nothing is kept).\n"
    "Each problem is a line starting with FAIL:, and a last line sums up. Exit code 0 when\n"
    "everything a client needs works, 1 when anything fails, 2 for a usage error.\n"
    "\n"
    "  --public-key KEYFILE.pub  checks that the record is signed with this key, as a\n"
    "                            bootstrapper branded with it does (may be given more than\n"
    "                            once)\n"
    "  --timeout SECONDS         the time limits of every conversation (1-86400; default: the\n"
    "                            client's, 10 s to connect and 30 s without a byte moving)\n";

constexpr uint64_t sc_u64SecondsPerDay = 86400;

struct SPublicKeyArg {
  std::string sFile;
  common::PublicKey key;
};

// A package the record publishes: its file name and, when the record carries them, its size
// and SHA-256.
struct SPublishedPackage {
  std::string sFile;
  bool bDigest = false;
  CClientConfigRecord::SPackageDigest digest;
};

uint64_t NowUtc() {
  return static_cast<uint64_t>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count()));
}

std::string Join(const ServerList& servers) {
  std::string sText;
  for (const common::CIPAddrPort& server : servers) {
    sText += (sText.empty() ? "" : " ") + server.ToString();
  }
  return sText;
}

// The report on stdout, with the count of its failures.
class CStatusReport {
 public:
  void Section(const std::string& sText) { std::printf("%s\n", sText.c_str()); }
  void Line(const std::string& sText) { std::printf("  %s\n", sText.c_str()); }
  void Fail(const std::string& sText) {
    std::printf("  FAIL: %s\n", sText.c_str());
    ++m_uFailures;
  }
  int Finish() {
    if (m_uFailures == 0) {
      std::printf("ok: a client can update from this deployment\n");
      return sc_nExitOk;
    }
    std::printf("FAIL: %u problem%s found\n", m_uFailures, m_uFailures == 1 ? "" : "s");
    return sc_nExitFailure;
  }

 private:
  unsigned m_uFailures = 0;
};

class CStatusCheck {
 public:
  CStatusCheck(common::CIPAddrPort gds, std::vector<SPublicKeyArg> keys)
      : m_gds(gds), m_keys(std::move(keys)), m_u64Now(NowUtc()) {}

  int Run() {
    ServerList configServers, directoryServers;
    AskDirectoryServer(configServers, directoryServers);
    for (const common::CIPAddrPort& server : configServers) CheckConfigServer(server);
    ServerList contentServers;
    for (const common::CIPAddrPort& server : directoryServers) {
      AskContentDirectoryServer(server, contentServers);
    }
    if (!m_pRecord) return m_report.Finish();
    for (const common::CIPAddrPort& server : contentServers) CheckContentServer(server);
    return m_report.Finish();
  }

 private:
  // The servers of a type the directory server names; a failure when it names none. False
  // when the directory server did not answer.
  bool AskForType(common::EServerType eType, const char* pszWhat, ServerList& servers) {
    try {
      common::GeneralDirectoryServerGetServers(eType, {m_gds}, &servers, nullptr, nullptr);
    } catch (const std::exception& e) {
      m_report.Fail(e.what());
      return false;
    }
    if (servers.empty()) {
      m_report.Fail(std::string(pszWhat) +
                    ": none logged in; start one with this directory server's address");
    } else {
      m_report.Line(std::string(pszWhat) + ": " + Join(servers));
    }
    return true;
  }

  void AskDirectoryServer(ServerList& configServers, ServerList& directoryServers) {
    m_report.Section("general directory server " + m_gds.ToString());
    if (AskForType(common::eConfigServer, "configuration servers", configServers)) {
      AskForType(common::eContentServerDirectoryServer, "content-server directory servers",
                 directoryServers);
    }
  }

  void CheckConfigServer(const common::CIPAddrPort& server) {
    m_report.Section("configuration server " + server.ToString());
    std::unique_ptr<CClientConfigRecord> pRecord;
    std::vector<SPublishedPackage> packages;
    try {
      pRecord = common::ConfigServerGetClientConfigRecord(server);
      packages = ReportRecord(*pRecord);
    } catch (const std::exception& e) {
      m_report.Fail(e.what());
      return;
    }
    if (!m_pRecord) {
      m_pRecord = std::move(pRecord);
      m_sRecordServer = server.ToString();
      m_packages = packages;
    } else if (pRecord->SignedImage() != m_pRecord->SignedImage()) {
      m_report.Fail("serves another record than " + m_sRecordServer +
                    "; publish to the directory every configuration server serves");
    }
  }

  // The record's lines; returns the packages it publishes.
  std::vector<SPublishedPackage> ReportRecord(const CClientConfigRecord& record) {
    record.ValidateFields();
    std::vector<SPublishedPackage> packages;
    for (bool bBootstrapper : {true, false}) ReportComponent(record, bBootstrapper, packages);
    uint64_t u64Sequence = 0;
    m_report.Line("sequence: " + (record.GetSequenceNum(u64Sequence) ? std::to_string(u64Sequence)
                                                                     : std::string("none")));
    ReportSignature(record);
    ReportExpiry(record);
    return packages;
  }

  void ReportComponent(const CClientConfigRecord& record, bool bBootstrapper,
                       std::vector<SPublishedPackage>& packages) {
    const char* pszRole = bBootstrapper ? "bootstrapper" : "client application";
    SPublishedPackage package;
    const uint32_t uVersion = bBootstrapper ? record.GetCurrentClientBootstrapVersion()
                                            : record.GetCurrentClientAppPackageVersion();
    if (uVersion == 0) {
      if (bBootstrapper) {
        m_report.Line(std::string(pszRole) + ": none published");
      } else {
        m_report.Fail(std::string(pszRole) +
                      ": none published; publish one with 'larchtool publish'");
      }
      return;
    }
    std::string sName;
    if (!ComponentName(record, bBootstrapper, sName)) {
      m_report.Line(std::string(pszRole) + ": version " + std::to_string(uVersion) +
                    " (the record does not name its component: its package is not checked)");
      return;
    }
    package.sFile =
        bootstrapper::CInstallLayout::PackageName(sName, static_cast<int32_t>(uVersion));
    package.bDigest = record.GetPackageDigest(bBootstrapper, package.digest);
    std::string sText = std::string(pszRole) + ": " + sName + " version " +
                        std::to_string(uVersion) + ", " + package.sFile;
    if (package.bDigest) {
      sText += ", " + std::to_string(package.digest.u64Size) + " bytes, SHA-256 " +
               common::ToLowerHex(package.digest.hash.data(), package.digest.hash.size());
    } else {
      sText += " (no published size and SHA-256)";
    }
    m_report.Line(sText);
    packages.push_back(package);
  }

  static bool ComponentName(const CClientConfigRecord& record, bool bBootstrapper,
                            std::string& sName) {
    const common::CMultiFieldBlob::CFieldName name(bBootstrapper
                                                       ? larchserver::sc_uBootstrapComponentField
                                                       : larchserver::sc_uClientAppComponentField);
    if (!record.FieldExists(name)) return false;
    sName = record.GetFieldDataAsCString(name);
    return !sName.empty();
  }

  void ReportSignature(const CClientConfigRecord& record) {
    if (m_keys.empty()) {
      m_report.Line(record.IsSigned() ? "signature: present (give --public-key to verify it)"
                                      : "signature: none (only bootstrappers without release "
                                        "keys accept the record)");
      return;
    }
    std::string sFiles;
    for (const SPublicKeyArg& key : m_keys) {
      if (record.IsSignedBy(key.key)) {
        m_report.Line("signature: verifies with " + key.sFile);
        return;
      }
      sFiles += (sFiles.empty() ? "" : ", ") + key.sFile;
    }
    m_report.Fail(
        std::string(record.IsSigned() ? "signature: does not verify with " : "signature: none; ") +
        (record.IsSigned() ? sFiles + ": bootstrappers branded with it refuse the record"
                           : "bootstrappers branded with " + sFiles + " refuse the record") +
        "; sign it with 'larchtool sign --dir PUBLISH --sign-key KEYFILE'");
  }

  void ReportExpiry(const CClientConfigRecord& record) {
    uint64_t u64Expiry = 0;
    if (!record.GetExpiryTime(u64Expiry)) {
      if (record.IsSigned()) {
        m_report.Fail(
            "expires: no expiry time; bootstrappers with release keys refuse the "
            "record: sign it again with 'larchtool sign'");
      }
      return;
    }
    const std::string sDate = bootstrapper::UtcDateText(u64Expiry);
    if (m_u64Now >= u64Expiry) {
      m_report.Fail("expires: expired on " + sDate +
                    "; bootstrappers with release keys refuse the record: sign it again with "
                    "'larchtool sign'");
      return;
    }
    // Part of a day counts as a day: a record signed for 30 days has 30 left at first.
    const uint64_t u64Days = (u64Expiry - m_u64Now + sc_u64SecondsPerDay - 1) / sc_u64SecondsPerDay;
    m_report.Line("expires: " + sDate + " (" + std::to_string(u64Days) +
                  (u64Days == 1 ? " day" : " days") + " left)");
  }

  void AskContentDirectoryServer(const common::CIPAddrPort& server, ServerList& contentServers) {
    m_report.Section("content-server directory server " + server.ToString());
    ServerList found;
    std::atomic<bool> bAbort{false}, bStalled{false};
    try {
      common::ContentServerDirectoryServerGetContentServers(
          server, &found, common::sc_uMaxContentServersPerReply, 0, &bAbort, &bStalled);
    } catch (const std::exception& e) {
      m_report.Fail(e.what());
      return;
    }
    if (found.empty()) {
      m_report.Fail(
          "content servers: none logged in; start one with this directory server's "
          "address");
      return;
    }
    m_report.Line("content servers: " + Join(found));
    for (const common::CIPAddrPort& address : found) {
      if (std::find(contentServers.begin(), contentServers.end(), address) ==
          contentServers.end()) {
        contentServers.push_back(address);
      }
    }
  }

  void CheckContentServer(const common::CIPAddrPort& server) {
    m_report.Section("content server " + server.ToString());
    for (const SPublishedPackage& package : m_packages) CheckPackage(server, package);
  }

  // Downloads the package whole, hashing it on the way.
  void CheckPackage(const common::CIPAddrPort& server, const SPublishedPackage& package) {
    common::CSha256 sha;
    std::atomic<bool> bAbort{false}, bStalled{false};
    try {
      common::PublicContentServerReadFile(
          server, package.sFile, 0,
          [&](uint32_t u32Length) {
            if (package.bDigest && u32Length != package.digest.u64Size) {
              throw std::runtime_error("the server has " + std::to_string(u32Length) +
                                       " bytes, the record publishes " +
                                       std::to_string(package.digest.u64Size));
            }
          },
          [&](const uint8_t* pData, uint32_t u32Size) { sha.Update(pData, u32Size); }, nullptr,
          &bAbort, &bStalled);
    } catch (const std::exception& e) {
      m_report.Fail(package.sFile + ": " + e.what());
      return;
    }
    const std::string sSize = std::to_string(sha.BytesFed()) + " bytes";
    if (!package.bDigest) {
      m_report.Line(package.sFile + ": " + sSize + " (not compared)");
    } else if (sha.Final() != package.digest.hash) {
      m_report.Fail(package.sFile + ": " + sSize +
                    ", SHA-256 differs from the published one; publish the package again");
    } else {
      m_report.Line(package.sFile + ": " + sSize + ", SHA-256 as published");
    }
  }

  common::CIPAddrPort m_gds;
  std::vector<SPublicKeyArg> m_keys;
  uint64_t m_u64Now;
  CStatusReport m_report;
  std::unique_ptr<CClientConfigRecord> m_pRecord;  // the first record read
  std::string m_sRecordServer;
  std::vector<SPublishedPackage> m_packages;  // what the first record publishes
};

int RunStatus(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szStatusUsage, stdout);
    return sc_nExitOk;
  }
  std::vector<std::string> rest = args;
  TakeTimeoutOption(rest);
  std::vector<SPublicKeyArg> keys;
  std::string sGds;
  for (size_t u = 0; u < rest.size(); ++u) {
    if (rest[u] == "--public-key") {
      std::string sFile = Require(rest, ++u, "--public-key value");
      keys.push_back({sFile, ReadPublicKeyFile(sFile)});
    } else if (!rest[u].empty() && rest[u][0] == '-') {
      throw CUsageError("unknown option " + rest[u]);
    } else if (sGds.empty()) {
      sGds = rest[u];
    } else {
      throw CUsageError("unexpected argument " + rest[u]);
    }
  }
  if (sGds.empty()) throw CUsageError("missing directory server address");
  common::CIPAddrPort gds;
  try {
    gds = common::CIPAddrPort(0xFFFFFFFFu, sGds, sc_u16DirectoryServerPort);
  } catch (const std::exception&) {
    throw CUsageError("'" + sGds + "' is not an address (IP:port, dotted IPv4 address)");
  }
  common::CWinSockSession session;
  return CStatusCheck(gds, std::move(keys)).Run();
}

const CCommandRegistration s_registration(SCommand{
    "status", "check a live deployment as a client meets it", sc_szStatusUsage, RunStatus});

}  // namespace
}  // namespace larchtool
