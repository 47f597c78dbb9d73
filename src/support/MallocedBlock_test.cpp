#include "support/MallocedBlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/ThreadSafeCountedPtr.h"

namespace common {
namespace {

TEST(MallocedBlock, ZeroSizeIsRefusedAndGrowthKeepsBytes) {
  try {
    CMallocedBlock empty(0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("CMallocedBlock(): constructed with zero size block", e.what());
  }
  CMallocedBlock block(4);
  std::memcpy(block.Data(), "abcd", 4);
  block.Resize(1 << 20);
  EXPECT_EQ(1u << 20, block.Size());
  EXPECT_EQ(0, std::memcmp(block.Data(), "abcd", 4));
  CMallocedBlock moved(std::move(block));
  EXPECT_EQ(0, std::memcmp(moved.Data(), "abcd", 4));
  EXPECT_EQ(0u, block.Size());
}

TEST(MallocedBlock, FailedGrowthKeepsTheBlock) {
  CMallocedBlock block(8);
  std::memcpy(block.Data(), "12345678", 8);
  try {
    block.Resize(0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("CMallocedBlock(): realloc failed", e.what());
  }
  EXPECT_EQ(8u, block.Size());
  EXPECT_EQ(0, std::memcmp(block.Data(), "12345678", 8));
}

struct SBase {
  virtual ~SBase() = default;
};
struct SCounted : SBase {
  explicit SCounted(std::atomic<int>* p) : pDestroyed(p) {}
  ~SCounted() override { ++*pDestroyed; }
  std::atomic<int>* pDestroyed;
};

TEST(ThreadSafeCountedPtr, ObjectIsDestroyedExactlyOnceAcrossThreads) {
  for (int nRound = 0; nRound < 20; ++nRound) {
    std::atomic<int> nDestroyed{0};
    {
      ThreadSafeCountedPtr<SBase> ptr(new SCounted(&nDestroyed));
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([ptr] {
          for (int i = 0; i < 2000; ++i) {
            ThreadSafeCountedPtr<SBase> copy(ptr);
            ThreadSafeCountedPtr<SBase> other;
            other = copy;
          }
        });
      }
      for (auto& t : threads) t.join();
      EXPECT_EQ(1, ptr.UseCount());
      EXPECT_EQ(0, nDestroyed.load());
    }
    EXPECT_EQ(1, nDestroyed.load());
  }
}

TEST(ThreadSafeCountedPtr, ConvertsToBaseAndSharesTheCount) {
  std::atomic<int> nDestroyed{0};
  ThreadSafeCountedPtr<SCounted> derived(new SCounted(&nDestroyed));
  ThreadSafeCountedPtr<SBase> base(derived);
  EXPECT_EQ(2, derived.UseCount());
  derived = ThreadSafeCountedPtr<SCounted>();
  EXPECT_EQ(0, derived.UseCount());
  EXPECT_EQ(0, nDestroyed.load());
  base = ThreadSafeCountedPtr<SBase>();
  EXPECT_EQ(1, nDestroyed.load());
}

}  // namespace
}  // namespace common
