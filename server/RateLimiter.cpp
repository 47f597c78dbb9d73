#include "RateLimiter.h"

#include <algorithm>
#include <thread>

namespace larchserver {
namespace {

// A grant is at most this share of a second's bytes, and at most 16 KiB: small enough that
// many conversations take turns within a fraction of a second.
constexpr uint64_t sc_u64GrantsPerSecond = 100;
constexpr uint32_t sc_uMaxGrant = 16384;
// Time not used by anyone is not saved up beyond this: a pause does not buy a burst.
constexpr std::chrono::milliseconds sc_MaxSavedTime(20);
// How often a waiting conversation looks at the abort flag.
constexpr std::chrono::milliseconds sc_WaitSlice(100);

}  // namespace

CRateLimiter::CRateLimiter(uint64_t u64BytesPerSecond)
    : m_u64BytesPerSecond(std::max<uint64_t>(1, u64BytesPerSecond)),
      m_uGrant(static_cast<uint32_t>(
          std::clamp<uint64_t>(u64BytesPerSecond / sc_u64GrantsPerSecond, 1, sc_uMaxGrant))),
      m_next(CClock::now()) {}

uint32_t CRateLimiter::Take(uint32_t uWanted, const std::atomic<bool>* pbAbort) {
  uint32_t uGrant = std::max<uint32_t>(1, std::min(uWanted, m_uGrant));
  CClock::time_point start;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    CClock::time_point now = CClock::now();
    start = std::max(m_next, now - sc_MaxSavedTime);
    m_next = start + std::chrono::duration_cast<CClock::duration>(std::chrono::duration<double>(
                         static_cast<double>(uGrant) / static_cast<double>(m_u64BytesPerSecond)));
  }
  for (;;) {
    if (pbAbort && pbAbort->load()) return 0;
    CClock::time_point now = CClock::now();
    if (now >= start) return uGrant;
    std::this_thread::sleep_for(std::min<CClock::duration>(start - now, sc_WaitSlice));
  }
}

}  // namespace larchserver
