// Processor and system faults surfaced as ordinary exceptions with a text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/StructuredFault.h"

namespace common {

class CConvertedWin32StructuredException : public std::runtime_error {
 public:
  CConvertedWin32StructuredException(const std::string& sText, uint32_t uCode,
                                     platform::SFaultPointers* pPointers)
      : std::runtime_error(sText), m_uCode(uCode), m_pPointers(pPointers) {}
  uint32_t Code() const { return m_uCode; }
  // The fault record; valid only while the fault is being handled.
  platform::SFaultPointers* Pointers() const { return m_pPointers; }

 private:
  uint32_t m_uCode;
  platform::SFaultPointers* m_pPointers;  // not owned
};

// "Win32 StructuredException at <address> : <description of the code>".
std::string DescribeStructuredException(uint32_t uCode, platform::SFaultPointers* pPointers);

// Never returns: throws CConvertedWin32StructuredException.
[[noreturn]] void TranslateStructuredException(uint32_t uCode, platform::SFaultPointers* pPointers);

// Makes faults on the calling thread throw through TranslateStructuredException. Called by the
// threads that run program logic: the main thread and the update worker.
void InstallStructuredExceptionTranslator();

}  // namespace common
