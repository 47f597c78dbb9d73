#include "NetworkOptions.h"

#include <cstddef>
#include <cstdlib>

#include "Command.h"
#include "network/NetworkTimeouts.h"

namespace larchtool {
namespace {

constexpr uint32_t sc_uMaxTimeoutSeconds = 86400;

}  // namespace

std::string Require(const std::vector<std::string>& args, size_t uIndex, const char* pszWhat) {
  if (uIndex >= args.size()) throw CUsageError(std::string("missing ") + pszWhat);
  return args[uIndex];
}

uint32_t ParseNumber(const std::string& sText, uint32_t uMax, const char* pszWhat) {
  char* pEnd = nullptr;
  unsigned long long u = std::strtoull(sText.c_str(), &pEnd, 10);
  if (sText.empty() || *pEnd != '\0' || sText[0] == '-' || u > uMax) {
    throw CUsageError(std::string("bad ") + pszWhat + ": " + sText);
  }
  return static_cast<uint32_t>(u);
}

void TakeTimeoutOption(std::vector<std::string>& args) {
  for (size_t u = 0; u < args.size();) {
    if (args[u] != "--timeout") {
      ++u;
      continue;
    }
    std::string sValue = Require(args, u + 1, "--timeout value");
    uint32_t uSeconds = ParseNumber(sValue, sc_uMaxTimeoutSeconds, "--timeout");
    if (uSeconds == 0) throw CUsageError("bad --timeout: " + sValue);
    common::SNetworkTimeouts timeouts;
    timeouts.uConnectMs = timeouts.uInactivityMs = uSeconds * 1000;
    common::SetNetworkTimeouts(timeouts);
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(u),
               args.begin() + static_cast<std::ptrdiff_t>(u + 2));
  }
}

}  // namespace larchtool
