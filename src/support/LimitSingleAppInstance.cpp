#include "support/LimitSingleAppInstance.h"

#include "platform/SingleInstance.h"
#include "support/Assert.h"

namespace common {

CLimitSingleAppInstance::CLimitSingleAppInstance(const std::string& sMutexName)
    : m_pImpl(new platform::CNamedInstanceMarker(sMutexName)) {
  if (!m_pImpl->IsValid()) DebugAssert("m_hMutex", __FILE__, __LINE__);
}

CLimitSingleAppInstance::~CLimitSingleAppInstance() = default;

bool CLimitSingleAppInstance::IsAnotherInstanceRunning() const {
  return m_pImpl->CreationError() == platform::sc_uErrorAlreadyExists;
}

}  // namespace common
