// Time for the bootstrapper's pauses, the dialog's timer and the release record's expiry. The
// program uses the system's clocks; tests give a clock whose sleeps return at once, so that no
// test waits real seconds, and whose calendar time they set.
#pragma once

#include <cstdint>

namespace bootstrapper {

class IClock {
 public:
  virtual ~IClock() = default;
  // Milliseconds since an arbitrary start; never goes back.
  virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t uMilliseconds) = 0;
  // Wall-clock time: seconds since 1970-01-01 00:00 UTC (may jump when the user sets the clock).
  virtual uint64_t UtcSeconds() = 0;
  // The longest a waiting loop may block before it looks at NowMs again. The system clock
  // moves by itself, so a loop may sleep until its deadline; a test clock moves only when
  // someone sleeps on it, so loops must look often.
  virtual uint32_t LongestWaitMs() const { return 0xFFFFFFFFu; }
};

// The system's monotonic clock and real sleeps. Stateless; any thread.
class CSystemClock : public IClock {
 public:
  uint64_t NowMs() override;
  void SleepMs(uint32_t uMilliseconds) override;
  uint64_t UtcSeconds() override;
  static CSystemClock& Instance();
};

}  // namespace bootstrapper
