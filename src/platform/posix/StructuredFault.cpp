#include "platform/StructuredFault.h"

#include <signal.h>
#include <ucontext.h>

#include <cstring>
#include <mutex>

namespace platform {
namespace {

thread_local FaultTranslator tl_pfnTranslator = nullptr;
thread_local SFaultRecord tl_record;
thread_local SFaultPointers tl_pointers;

constexpr uint32_t sc_uAccessViolation = 0xC0000005;
constexpr uint32_t sc_uInPageError = 0xC0000006;
constexpr uint32_t sc_uMisalignment = 0x80000002;
constexpr uint32_t sc_uIllegalInstruction = 0xC000001D;
constexpr uint32_t sc_uPrivInstruction = 0xC0000096;
constexpr uint32_t sc_uIntDivideByZero = 0xC0000094;
constexpr uint32_t sc_uIntOverflow = 0xC0000095;
constexpr uint32_t sc_uFltDivideByZero = 0xC000008E;
constexpr uint32_t sc_uFltOverflow = 0xC0000091;
constexpr uint32_t sc_uFltUnderflow = 0xC0000093;
constexpr uint32_t sc_uFltInexact = 0xC000008F;
constexpr uint32_t sc_uFltInvalid = 0xC0000090;
constexpr uint32_t sc_uArrayBounds = 0xC000008C;

uint32_t CodeOf(int nSignal, int nSigCode) {
  switch (nSignal) {
    case SIGSEGV:
      return sc_uAccessViolation;
    case SIGBUS:
      return nSigCode == BUS_ADRALN ? sc_uMisalignment : sc_uInPageError;
    case SIGILL:
      return nSigCode == ILL_PRVOPC ? sc_uPrivInstruction : sc_uIllegalInstruction;
    case SIGFPE:
      switch (nSigCode) {
        case FPE_INTDIV:
          return sc_uIntDivideByZero;
        case FPE_INTOVF:
          return sc_uIntOverflow;
        case FPE_FLTDIV:
          return sc_uFltDivideByZero;
        case FPE_FLTOVF:
          return sc_uFltOverflow;
        case FPE_FLTUND:
          return sc_uFltUnderflow;
        case FPE_FLTRES:
          return sc_uFltInexact;
        case FPE_FLTSUB:
          return sc_uArrayBounds;
        default:
          return sc_uFltInvalid;
      }
    default:
      return 0;
  }
}

const void* InstructionAddress(void* pContext, const siginfo_t* pInfo) {
#if defined(__x86_64__)
  return reinterpret_cast<const void*>(
      static_cast<ucontext_t*>(pContext)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return reinterpret_cast<const void*>(
      static_cast<ucontext_t*>(pContext)->uc_mcontext.gregs[REG_EIP]);
#else
  return pInfo->si_addr;
#endif
}

bool IsWriteFault(void* pContext) {
#if defined(__x86_64__)
  return (static_cast<ucontext_t*>(pContext)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__i386__)
  return (static_cast<ucontext_t*>(pContext)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
  return false;
#endif
}

// Runs on the faulting thread. The handler is installed with SA_NODEFER, so the signal stays
// unblocked when the translator's exception unwinds out of it (the unwinder knows the signal
// frame); the next fault is caught the same way.
void OnFault(int nSignal, siginfo_t* pInfo, void* pContext) {
  FaultTranslator pfn = tl_pfnTranslator;
  if (!pfn) {
    // Not a translating thread: the default action ends the process as before.
    ::signal(nSignal, SIG_DFL);
    return;
  }
  tl_record = SFaultRecord();
  tl_record.uCode = CodeOf(nSignal, pInfo->si_code);
  tl_record.pAddress = InstructionAddress(pContext, pInfo);
  if (tl_record.uCode == sc_uAccessViolation) {
    tl_record.uNumberParameters = 2;
    tl_record.auParameters[0] = IsWriteFault(pContext) ? 1 : 0;
    tl_record.auParameters[1] = reinterpret_cast<uintptr_t>(pInfo->si_addr);
  }
  tl_pointers.ExceptionRecord = &tl_record;
  pfn(tl_record.uCode, &tl_pointers);
}

void InstallHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_sigaction = OnFault;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  for (int nSignal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::sigaction(nSignal, &sa, nullptr);
}

}  // namespace

void SetThreadFaultTranslator(FaultTranslator pfnTranslator) {
  static std::once_flag s_once;
  if (pfnTranslator) std::call_once(s_once, InstallHandlers);
  tl_pfnTranslator = pfnTranslator;
}

}  // namespace platform
