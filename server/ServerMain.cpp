#include "ServerMain.h"

#include <exception>

#include "Server.h"
#include "ServerOptions.h"
#include "platform/File.h"
#include "platform/Signals.h"
#include "platform/SystemError.h"
#include "support/Version.h"

namespace larchserver {

int RunServerMain(const std::vector<std::string>& vecArgs, FILE* pOut, FILE* pLog) {
  SServerOptions options;
  try {
    options = ParseServerOptions(vecArgs);
  } catch (const CServerUsageError& e) {
    std::fprintf(pLog, "larch-server: %s; see 'larch-server --help'\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(pLog, "larch-server: %s\n", e.what());
    return 1;
  }
  if (options.bHelp) {
    std::fputs(sc_szServerUsage, pOut);
    return 0;
  }
  if (options.bVersion) {
    std::fprintf(pOut, "larch-server %s\n", common::sc_pszLarchVersion);
    return 0;
  }
  platform::SFileStatus status;
  if (!platform::GetFileStatus(options.sPublishDir, status) || !status.bDirectory) {
    std::fprintf(pLog,
                 "larch-server: publish directory %s does not exist; publish into it with "
                 "'larchtool publish' or name another with --dir\n",
                 options.sPublishDir.c_str());
    return 1;
  }
  // Before any thread starts, so that all of them leave the requests to the wait below.
  if (!platform::HoldTerminationRequests()) {
    std::fprintf(pLog, "larch-server: unable to catch termination signals\n");
    return 1;
  }
  CServerLog log(pLog);
  CServer server(options, log);
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::fprintf(pLog, "larch-server: %s\n", e.what());
    return 1;
  }
  for (int n = 0; n < eNumRoles; ++n) {
    ERole eRole = static_cast<ERole>(n);
    if (!server.Serves(eRole)) continue;
    std::fprintf(pOut, "%s listening on %s\n", RoleName(eRole),
                 server.BoundAddress(eRole).ToString().c_str());
  }
  std::fflush(pOut);
  std::string sSignal;
  if (!platform::WaitForTerminationRequest(sSignal)) sSignal = "a failed wait for signals";
  log.Note("stopping on " + sSignal);
  server.Stop();
  log.Note("stopped");
  return 0;
}

}  // namespace larchserver
