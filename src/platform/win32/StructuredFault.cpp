#include "platform/StructuredFault.h"

#include <windows.h>

#include <cstring>
#include <mutex>

namespace platform {
namespace {

thread_local FaultTranslator tl_pfnTranslator = nullptr;
thread_local SFaultRecord tl_record;
thread_local SFaultPointers tl_pointers;

bool IsTranslated(DWORD dwCode) {
  switch (dwCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;  // debugger notifications, thread names, C++ runtime exceptions pass
  }
}

// The faulting thread continues here, as if the faulting instruction had called it; the
// translator's exception then unwinds from the faulting function.
__attribute__((noinline)) void ThrowOnFaultingThread() {
  tl_pfnTranslator(tl_record.uCode, &tl_pointers);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* pPointers) {
  if (!tl_pfnTranslator || !IsTranslated(pPointers->ExceptionRecord->ExceptionCode)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const EXCEPTION_RECORD* pRec = pPointers->ExceptionRecord;
  tl_record = SFaultRecord();
  tl_record.uCode = pRec->ExceptionCode;
  tl_record.pAddress = pRec->ExceptionAddress;
  tl_record.uNumberParameters = pRec->NumberParameters;
  for (DWORD i = 0; i < pRec->NumberParameters && i < 15; ++i) {
    tl_record.auParameters[i] = pRec->ExceptionInformation[i];
  }
  tl_pointers.ExceptionRecord = &tl_record;
  // The unwinder looks up the caller's unwind data at "return address - 1". The pushed address
  // is the faulting instruction + 1, so that lookup lands on the faulting instruction itself,
  // also when it is the first instruction of its function.
  CONTEXT* pCtx = pPointers->ContextRecord;
#if defined(__i386__)
  pCtx->Esp -= sizeof(DWORD);
  *reinterpret_cast<DWORD*>(pCtx->Esp) = pCtx->Eip + 1;
  pCtx->Eip = reinterpret_cast<DWORD>(&ThrowOnFaultingThread);
#else
  pCtx->Rsp -= sizeof(DWORD64);
  *reinterpret_cast<DWORD64*>(pCtx->Rsp) = pCtx->Rip + 1;
  pCtx->Rip = reinterpret_cast<DWORD64>(&ThrowOnFaultingThread);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void SetThreadFaultTranslator(FaultTranslator pfnTranslator) {
  static std::once_flag s_once;
  if (pfnTranslator) std::call_once(s_once, [] { ::AddVectoredExceptionHandler(1, OnException); });
  // Touch the thread-local records now: the handler must not allocate on first use.
  tl_record = SFaultRecord();
  tl_pointers.ExceptionRecord = &tl_record;
  tl_pfnTranslator = pfnTranslator;
}

}  // namespace platform
