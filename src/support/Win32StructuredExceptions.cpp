#include "support/Win32StructuredExceptions.h"

#include "support/Assert.h"

namespace common {
namespace {

struct SCodeText {
  uint32_t uCode;
  const char* pszText;
};

const SCodeText sc_aCodeTexts[] = {
    {0x80000002,
     "Attempt to read or write data that is misaligned on hardware that does not provide "
     "alignment. For example, 16-bit values must be aligned on 2-byte boundaries; 32-bit values "
     "on 4-byte boundaries, and so on."},
    {0x80000003, "Breakpoint encountered."},
    {0x80000004,
     "A trace trap or other single-instruction mechanism signaled that one instruction has been "
     "executed."},
    {0xC0000006,
     "Attempt to access a page that was not present, and the system was unable to load the "
     "page. For example, this exception might occur if a network connection is lost while "
     "running a program over the network."},
    {0xC000001D, "Attempt to execute an invalid instruction."},
    {0xC0000025, "Attempt to continue execution after a noncontinuable exception occurred."},
    {0xC0000026,
     "An exception handler returned an invalid disposition to the exception dispatcher. "
     "Programmers using a high-level language such as C should never encounter this exception."},
    {0xC000008C,
     "Attempt to access an array element that is out of bounds and the underlying hardware "
     "supports bounds checking."},
    {0xC000008D,
     "One of the operands in a floating-point operation is denormal (too small to represent as "
     "a standard floating-point value)."},
    {0xC000008E, "Attempt to divide a floating-point value by a floating-point divisor of zero."},
    {0xC000008F,
     "Result of a floating-point operation cannot be represented exactly as a decimal fraction."},
    {0xC0000090, "Unspecified floating-point exception."},
    {0xC0000091,
     "Exponent of a floating-point operation is greater than the magnitude allowed by the "
     "corresponding type."},
    {0xC0000092, "Stack overflowed or underflowed as the result of a floating-point operation."},
    {0xC0000093,
     "Exponent of a floating-point operation is less than the magnitude allowed by the "
     "corresponding type."},
    {0xC0000094, "Attempt to divide an integer value by an integer divisor of zero."},
    {0xC0000095,
     "Result of an integer operation caused a carry out of the most significant bit of the "
     "result."},
    {0xC0000096,
     "Attempt to execute an instruction whose operation is not allowed in the current machine "
     "mode."},
    {0xC00000FD, "Stack overflow."},
};

constexpr uint32_t sc_uAccessViolation = 0xC0000005;

std::string DescribeAccessViolation(platform::SFaultRecord* pRecord) {
  if (pRecord->uNumberParameters != 2) {
    DebugAssert("pStructuredExceptionPointers->ExceptionRecord->NumberParameters == 2", __FILE__,
                __LINE__);
  }
  bool bWrite = pRecord->uNumberParameters >= 1 && pRecord->auParameters[0] != 0;
  uintptr_t uAddress = pRecord->uNumberParameters >= 2 ? pRecord->auParameters[1] : 0;
  return std::string("Attempt to ") + (bWrite ? "write to" : "read from") + " virtual address " +
         std::to_string(uAddress) + " without appropriate access rights.";
}

}  // namespace

std::string DescribeStructuredException(uint32_t uCode, platform::SFaultPointers* pPointers) {
  char szAddress[2 * sizeof(void*) + 1];
  platform::FormatPointer(pPointers->ExceptionRecord->pAddress, szAddress, sizeof(szAddress));
  std::string sText = std::string("Win32 StructuredException at ") + szAddress + " : ";
  if (uCode == sc_uAccessViolation)
    return sText + DescribeAccessViolation(pPointers->ExceptionRecord);
  for (const SCodeText& row : sc_aCodeTexts) {
    if (row.uCode == uCode) return sText + row.pszText;
  }
  return sText + "UNKNOWN";
}

void TranslateStructuredException(uint32_t uCode, platform::SFaultPointers* pPointers) {
  platform::SFaultRecord empty;
  platform::SFaultPointers fallback;
  if (!(pPointers && pPointers->ExceptionRecord)) {
    AssertPreCondition("Valid pStructuredExceptionPointers",
                       "pStructuredExceptionPointers && "
                       "pStructuredExceptionPointers->ExceptionRecord",
                       __FILE__, __LINE__);
    fallback.ExceptionRecord = &empty;
    empty.uCode = uCode;
    pPointers = &fallback;
    throw CConvertedWin32StructuredException(DescribeStructuredException(uCode, pPointers), uCode,
                                             nullptr);
  }
  throw CConvertedWin32StructuredException(DescribeStructuredException(uCode, pPointers), uCode,
                                           pPointers);
}

void InstallStructuredExceptionTranslator() {
  platform::SetThreadFaultTranslator(&TranslateStructuredException);
}

}  // namespace common
