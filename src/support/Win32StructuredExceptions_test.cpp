#include "support/Win32StructuredExceptions.h"

#include <gtest/gtest.h>

#include <thread>

namespace common {
namespace {

std::string AddressText(const void* p) {
  char sz[2 * sizeof(void*) + 1];
  platform::FormatPointer(p, sz, sizeof(sz));
  return sz;
}

// Faults happen in functions of their own, never in the body that holds the try.
__attribute__((noinline, no_sanitize("address", "undefined"))) int ReadFrom(volatile int* p) {
  return *p;
}
__attribute__((noinline, no_sanitize("address", "undefined"))) void WriteTo(volatile int* p) {
  *p = 1;
}
__attribute__((noinline, no_sanitize("address", "undefined"))) int Divide(volatile int a,
                                                                          volatile int b) {
  return a / b;
}

template <class F>
std::string TextOfFault(F fn, uint32_t* puCode = nullptr) {
  try {
    fn();
  } catch (const CConvertedWin32StructuredException& e) {
    if (puCode) *puCode = e.Code();
    EXPECT_NE(nullptr, e.Pointers());
    return std::string(e.what()) + "|" + AddressText(e.Pointers()->ExceptionRecord->pAddress);
  }
  return "no exception";
}

std::string Expected(const std::string& sDescription, const std::string& sText) {
  // The text names the faulting instruction's address; it is taken from the record.
  size_t uBar = sText.rfind('|');
  std::string sAddress = uBar == std::string::npos ? "" : sText.substr(uBar + 1);
  return "Win32 StructuredException at " + sAddress + " : " + sDescription + "|" + sAddress;
}

class StructuredExceptions : public ::testing::Test {
 protected:
  void SetUp() override { InstallStructuredExceptionTranslator(); }
  void TearDown() override { platform::SetThreadFaultTranslator(nullptr); }
};

TEST_F(StructuredExceptions, NullReadBecomesAnExceptionWithItsText) {
  uint32_t uCode = 0;
  std::string s = TextOfFault(
      [] {
        volatile int n = ReadFrom(nullptr);
        (void)n;
      },
      &uCode);
  EXPECT_EQ(
      Expected("Attempt to read from virtual address 0 without appropriate access rights.", s), s);
  EXPECT_EQ(0xC0000005u, uCode);
}

TEST_F(StructuredExceptions, WriteToAddress16AndRepeatedFaults) {
  for (int i = 0; i < 3; ++i) {
    std::string s = TextOfFault([] {
      volatile int* volatile p = reinterpret_cast<volatile int*>(16);
      WriteTo(p);
    });
    EXPECT_EQ(
        Expected("Attempt to write to virtual address 16 without appropriate access rights.", s),
        s);
  }
}

TEST_F(StructuredExceptions, IntegerDivisionByZero) {
  uint32_t uCode = 0;
  std::string s = TextOfFault(
      [] {
        volatile int n = Divide(1, 0);
        (void)n;
      },
      &uCode);
  EXPECT_EQ(Expected("Attempt to divide an integer value by an integer divisor of zero.", s), s);
  EXPECT_EQ(0xC0000094u, uCode);
}

TEST_F(StructuredExceptions, WorksOnAnotherThreadToo) {
  std::string s;
  std::thread worker([&s] {
    InstallStructuredExceptionTranslator();
    s = TextOfFault([] {
      volatile int n = ReadFrom(reinterpret_cast<volatile int*>(8));
      (void)n;
    });
  });
  worker.join();
  EXPECT_EQ(
      Expected("Attempt to read from virtual address 8 without appropriate access rights.", s), s);
}

TEST(StructuredExceptionText, UnknownCodesAndRecordsWithoutParameters) {
  platform::SFaultRecord record;
  record.pAddress = reinterpret_cast<const void*>(0x1234);
  platform::SFaultPointers pointers;
  pointers.ExceptionRecord = &record;
  std::string sAt = "Win32 StructuredException at " + AddressText(record.pAddress) + " : ";
  EXPECT_EQ(sAt + "UNKNOWN", DescribeStructuredException(0xE0000001, &pointers));
  EXPECT_EQ(sAt + "Stack overflow.", DescribeStructuredException(0xC00000FD, &pointers));
  EXPECT_EQ(sAt + "Breakpoint encountered.", DescribeStructuredException(0x80000003, &pointers));
  // An access violation record without its two parameters is reported and read as a read of 0.
  EXPECT_EQ(sAt + "Attempt to read from virtual address 0 without appropriate access rights.",
            DescribeStructuredException(0xC0000005, &pointers));
  EXPECT_EQ(std::string(2 * sizeof(void*) - 4, '0') + "1234", AddressText(record.pAddress));
}

TEST(StructuredExceptionText, TranslatorWithoutRecordStillThrows) {
  try {
    TranslateStructuredException(0xC0000094, nullptr);
    FAIL();
  } catch (const CConvertedWin32StructuredException& e) {
    EXPECT_EQ("Win32 StructuredException at " + AddressText(nullptr) +
                  " : Attempt to divide an integer value by an integer divisor of zero.",
              std::string(e.what()));
    EXPECT_EQ(0xC0000094u, e.Code());
  }
}

}  // namespace
}  // namespace common
