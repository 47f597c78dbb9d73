#include "platform/FaultInjection.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/SystemError.h"

namespace platform {
namespace {

struct SPlan {
  uint32_t uCount = 0;
  uint32_t uError = 0;
};

std::atomic<bool> g_bAnyInjected{false};
std::mutex g_mutex;
std::map<std::string, SPlan>& Plans() {
  static std::map<std::string, SPlan> plans;
  return plans;
}

}  // namespace

uint32_t DefaultInjectedError();  // per platform: ERROR_ACCESS_DENIED or EACCES

void InjectFailure(const char* pszCall, uint32_t uCount, uint32_t uError) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Plans()[pszCall] = SPlan{uCount, uError ? uError : DefaultInjectedError()};
  g_bAnyInjected.store(true, std::memory_order_release);
}

void ClearInjectedFailures() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Plans().clear();
  g_bAnyInjected.store(false, std::memory_order_release);
}

bool ConsumeInjectedFailure(const char* pszCall) {
  if (!g_bAnyInjected.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Plans().find(pszCall);
  if (it == Plans().end() || it->second.uCount == 0) return false;
  --it->second.uCount;
  SetLastSystemError(it->second.uError);
  return true;
}

}  // namespace platform
