#include "bootstrapper/Clock.h"

#include <chrono>

#include "platform/Process.h"

namespace bootstrapper {

uint64_t CSystemClock::NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void CSystemClock::SleepMs(uint32_t uMilliseconds) {
  platform::SleepMilliseconds(uMilliseconds);
}

uint64_t CSystemClock::UtcSeconds() {
  const int64_t n64Seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
  return n64Seconds < 0 ? 0 : static_cast<uint64_t>(n64Seconds);
}

CSystemClock& CSystemClock::Instance() {
  static CSystemClock s_clock;
  return s_clock;
}

}  // namespace bootstrapper
