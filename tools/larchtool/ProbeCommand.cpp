// larchtool probe: the operator's diagnostic view of a deployment. Each subcommand holds one
// conversation with one of the operator's servers using exactly the client's commands, and
// prints what the client would see.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Command.h"
#include "NetworkOptions.h"
#include "network/IPAddrPort.h"
#include "network/WinSockHelperFunctions.h"
#include "platform/Terminal.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "protocols/ConfigServerCommands.h"
#include "protocols/ContentServerDirectoryServerCommands.h"
#include "protocols/GeneralDirectoryServerCommands.h"
#include "protocols/PublicContentServerCommands.h"
#include "support/ByteOrder.h"
#include "support/FileUtil.h"
#include "support/MallocedBlock.h"

namespace larchtool {
namespace {

const char sc_szProbeUsage[] =
    "usage: larchtool probe gds ADDR[,ADDR...] TYPE\n"
    "       larchtool probe csds ADDR [--max N]\n"
    "       larchtool probe config ADDR\n"
    "       larchtool probe fetch ADDR FILE [-o OUT]\n"
    "       (each also with --timeout SECONDS)\n"
    "\n"
    "Talks to the operator's servers with exactly the client's commands:\n"
    "  gds     prints the addresses that the first general directory server of the list that\n"
    "          answers gives for a server type: a number 0-255, or master (0), config (3),\n"
    "          csds (6)\n"
    "  csds    prints the public content servers that a content-server directory server\n"
    "          gives; --max N asks for at most N (default 3, as the client asks)\n"
    "  config  prints the fields of the client config record of a configuration server\n"
    "  fetch   downloads FILE from a public content server into OUT (default: FILE) with a\n"
    "          progress bar on a terminal\n"
    "\n"
    "Addresses are IP:port (dotted IPv4); directory servers default to port 5273.\n"
    "\n"
    "The time limits are the client's: a connection must be made within 10 s, and a send or\n"
    "receive fails after 30 s without a byte moving. --timeout SECONDS (1-86400) sets both.\n";

uint8_t ParseServerType(const std::string& sText) {
  if (sText == "master") return common::eMasterAuthenticationServer;
  if (sText == "config") return common::eConfigServer;
  if (sText == "csds") return common::eContentServerDirectoryServer;
  return static_cast<uint8_t>(ParseNumber(sText, 255, "server type"));
}

void CheckArgCount(const std::vector<std::string>& args, size_t uMax) {
  if (args.size() > uMax) throw CUsageError("unexpected argument " + args[uMax]);
}

int RunGds(const std::vector<std::string>& args) {
  std::vector<common::CIPAddrPort> vecGds = common::ParseIPAddrPortList(
      Require(args, 0, "directory server addresses"), 0, sc_u16DirectoryServerPort);
  uint8_t u8Type = ParseServerType(Require(args, 1, "server type"));
  CheckArgCount(args, 2);
  if (vecGds.empty()) throw CUsageError("no directory server address");
  std::vector<common::CIPAddrPort> vecServers;
  common::GeneralDirectoryServerGetServers(u8Type, vecGds, &vecServers, nullptr, nullptr);
  if (vecServers.empty()) std::printf("no servers of type %u are logged in\n", u8Type);
  for (const common::CIPAddrPort& addr : vecServers) std::printf("%s\n", addr.ToString().c_str());
  return sc_nExitOk;
}

int RunCsds(const std::vector<std::string>& args) {
  common::CIPAddrPort csds(0, Require(args, 0, "address"), sc_u16DirectoryServerPort);
  uint16_t u16Max = 3;
  for (size_t u = 1; u < args.size(); ++u) {
    if (args[u] != "--max") throw CUsageError("unexpected argument " + args[u]);
    u16Max = static_cast<uint16_t>(ParseNumber(Require(args, ++u, "--max value"), 65535, "--max"));
  }
  std::atomic<bool> bAbort{false}, bStalled{false};
  std::vector<common::CIPAddrPort> vecServers;
  common::ContentServerDirectoryServerGetContentServers(csds, &vecServers, u16Max, 0, &bAbort,
                                                        &bStalled);
  if (vecServers.empty()) std::printf("no public content servers are logged in\n");
  for (const common::CIPAddrPort& addr : vecServers) std::printf("%s\n", addr.ToString().c_str());
  return sc_nExitOk;
}

int RunConfig(const std::vector<std::string>& args) {
  common::CIPAddrPort server(0, Require(args, 0, "address"), 0);
  CheckArgCount(args, 1);
  std::unique_ptr<Weft::CClientConfigRecord> record =
      common::ConfigServerGetClientConfigRecord(server);
  static const char* const s_apszNames[] = {"VersionNum", "CurrentClientBootstrapVersion",
                                            "CurrentClientAppPackageVersion"};
  for (auto it = record->begin(); it != record->end(); ++it) {
    uint32_t uName = it.GetNumericFieldName();
    common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    const uint8_t* pData = it.GetFieldData(&uSize);
    std::string sLabel = uName < 3 ? s_apszNames[uName] : "field " + std::to_string(uName);
    if (uSize == 4) {
      std::printf("%s: %u\n", sLabel.c_str(), common::LoadLittleEndian32(pData));
    } else {
      std::printf("%s: %u bytes\n", sLabel.c_str(), uSize);
    }
  }
  return sc_nExitOk;
}

// Draws "[#####.....]  46%" over the same terminal line.
void DrawProgress(int nPercent) {
  unsigned uWidth = platform::StderrTerminalWidth();
  unsigned uBar = uWidth > 20 ? (uWidth > 72 ? 60 : uWidth - 12) : 10;
  unsigned uFilled = static_cast<unsigned>(nPercent) * uBar / 100;
  std::string sBar(uFilled, '#');
  sBar.append(uBar - uFilled, '.');
  std::fprintf(stderr, "\r[%s] %3d%%", sBar.c_str(), nPercent);
  std::fflush(stderr);
}

int RunFetch(const std::vector<std::string>& args) {
  common::CIPAddrPort server(0, Require(args, 0, "address"), 0);
  std::string sFile = Require(args, 1, "file name");
  std::string sOut = sFile;
  for (size_t u = 2; u < args.size(); ++u) {
    if (args[u] != "-o") throw CUsageError("unexpected argument " + args[u]);
    sOut = Require(args, ++u, "output file");
  }
  if (sFile.empty()) throw CUsageError("empty file name");
  const bool bTerminal = platform::IsStderrTerminal();
  std::atomic<bool> bAbort{false}, bStalled{false};
  common::CMallocedBlock block(1);
  common::ProgressCallbackFn progress;
  if (bTerminal) progress = DrawProgress;
  common::PublicContentServerGetFile(server, sFile, &block, progress, &bAbort, &bStalled);
  if (bTerminal) {
    DrawProgress(100);
    std::fprintf(stderr, "\n");
  }
  common::CFileUtil::WriteWholeFile(sOut, block.Data(), block.Size());
  std::printf("%s: %u bytes\n", sOut.c_str(), block.Size());
  return sc_nExitOk;
}

int RunProbe(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szProbeUsage, stdout);
    return sc_nExitOk;
  }
  std::vector<std::string> rest = args;
  TakeTimeoutOption(rest);
  const std::string sVerb = Require(rest, 0, "command");
  rest.erase(rest.begin());
  int (*pfnRun)(const std::vector<std::string>&) = nullptr;
  if (sVerb == "gds") pfnRun = RunGds;
  if (sVerb == "csds") pfnRun = RunCsds;
  if (sVerb == "config") pfnRun = RunConfig;
  if (sVerb == "fetch") pfnRun = RunFetch;
  if (!pfnRun) throw CUsageError("unknown command " + sVerb);
  common::CWinSockSession session;
  return pfnRun(rest);
}

const CCommandRegistration s_registration(SCommand{
    "probe", "ask the operator's servers what a client would be told", sc_szProbeUsage, RunProbe});

}  // namespace
}  // namespace larchtool
