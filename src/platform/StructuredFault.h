// Processor and system faults (access violations, division by zero, ...) turned into calls of a
// translator that throws a C++ exception.
//
// Windows: a vectored exception handler; for a thread that enabled translation it redirects
// the faulting thread to a thunk that calls the translator, so the exception unwinds from the
// faulting function. POSIX: SIGSEGV, SIGBUS, SIGFPE and SIGILL with the matching Windows codes
// (access violation with read/write and address, integer division by zero, ...). Code must be
// built with -fnon-call-exceptions. A fault in the function body that holds the try is not
// reliably caught: keep guarded work in functions of its own.
#pragma once

#include <cstdint>

namespace platform {

// The fault as Windows describes it: code, instruction address and the record's parameters
// (for an access violation: 0 read / 1 write, then the address accessed).
struct SFaultRecord {
  uint32_t uCode = 0;
  const void* pAddress = nullptr;
  uint32_t uNumberParameters = 0;
  uintptr_t auParameters[15] = {};
};

// Windows' "exception pointers" as far as the program uses them.
struct SFaultPointers {
  SFaultRecord* ExceptionRecord = nullptr;
};

// Called on the faulting thread; must throw.
using FaultTranslator = void (*)(uint32_t uCode, SFaultPointers* pPointers);

// Installs the translator for the calling thread (null turns translation off again).
void SetThreadFaultTranslator(FaultTranslator pfnTranslator);

// Formats an address as the runtime's %p does on Windows: upper-case hexadecimal, two digits
// per byte of a pointer, no prefix.
void FormatPointer(const void* p, char* pszBuf, unsigned uBufSize);

}  // namespace platform
