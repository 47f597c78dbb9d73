// Holds the file bytes of every content conversation of the process together to a rate, as a
// link of that speed would: a test aid that lets one machine play a fleet of content servers
// with links of known speed. Each conversation takes small grants in turn, so that a thousand
// slow downloads share the rate evenly instead of the first ones taking it all.
//
// Shared by the conversation threads; Take is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace larchserver {

class CRateLimiter {
 public:
  explicit CRateLimiter(uint64_t u64BytesPerSecond);

  // Waits until up to uWanted bytes may go and says how many (at least one, at most a grant);
  // 0 when the abort flag was set while waiting.
  uint32_t Take(uint32_t uWanted, const std::atomic<bool>* pbAbort);

 private:
  using CClock = std::chrono::steady_clock;

  const uint64_t m_u64BytesPerSecond;
  const uint32_t m_uGrant;  // the most one Take hands out
  std::mutex m_mutex;
  CClock::time_point m_next;  // under m_mutex: when the bytes not yet granted may go
};

}  // namespace larchserver
