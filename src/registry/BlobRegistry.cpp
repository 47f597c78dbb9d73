#include "registry/BlobRegistry.h"

#include <exception>
#include <memory>
#include <mutex>

#include "blob/MultiFieldBlob.h"
#include "platform/File.h"
#include "platform/NamedLock.h"
#include "platform/SystemError.h"
#include "registry/BlobKey.h"
#include "support/Assert.h"
#include "support/FileUtil.h"

namespace common {

// Declared in the order of destruction's reverse: the top key goes before the
// file blob.
struct CBlobRegistry::SImpl {
  std::unique_ptr<CMultiFieldBlob> m_pBlob;
  std::unique_ptr<CBlobKey> m_pTopKey;
  std::recursive_mutex m_CriticalSection;
  std::string m_sFileName;
  platform::CNamedLock m_FileMutex;
  uint32_t m_uLockTimeoutMs = 0;
};

namespace {

const char sc_szTopKeyName[] = "TopKey";

// Keeps the top key marked in use while a registry call runs, so that handles
// made and released inside the call do not close the file under it.
class CCallUse {
 public:
  explicit CCallUse(CBlobKey* pKey) : m_pKey(pKey) { m_pKey->AddUse(); }
  ~CCallUse() { m_pKey->DropUse(); }
  CCallUse(const CCallUse&) = delete;
  CCallUse& operator=(const CCallUse&) = delete;

 private:
  CBlobKey* m_pKey;
};

}  // namespace

template <class Fn>
auto CBlobRegistry::Call(Fn fn) -> decltype(fn(static_cast<CBlobKey*>(nullptr))) {
  CheckInvariants();
  std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
  if (!m_pImpl->m_pBlob) OpenFile(true);
  decltype(fn(static_cast<CBlobKey*>(nullptr))) result;
  try {
    CCallUse use(m_pImpl->m_pTopKey.get());
    result = fn(m_pImpl->m_pTopKey.get());
  } catch (...) {
    try {
      CloseIfUnused();
    } catch (...) {
    }
    throw;
  }
  CloseIfUnused();
  return result;
}

std::string CBlobRegistry::LockNameForFile(const std::string& sFileName) {
  std::string sFullPath = platform::GetFullPath(sFileName);
  if (sFullPath.empty()) {
    DebugAssert("dwRet != 0", __FILE__, __LINE__);
    throw CRegistryLockException("Failed to create file access mutex");
  }
  std::string sName = platform::NamedLockNameForFullPath("BlobRegistryMutex_", sFullPath);
  if (sName.empty()) throw CRegistryLockException("Failed to create file access mutex");
  return sName;
}

CBlobRegistry::CBlobRegistry(const std::string& sFileName, bool bMustExist, uint32_t uLockTimeoutMs)
    : m_pImpl(std::make_unique<SImpl>()) {
  try {
    if (!m_pImpl->m_FileMutex.Create(LockNameForFile(sFileName))) {
      throw CRegistryLockException("Failed to create file access mutex");
    }
    m_pImpl->m_uLockTimeoutMs = uLockTimeoutMs;
    m_pImpl->m_sFileName = sFileName;
    std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
    OpenFile(bMustExist);
    // Reads every key and value, so that a damaged file is refused now.
    Call([](CBlobKey* pTopKey) {
      CVerifyVisitor verify(KeyPtr_t(new CBlobKey::CPublicKey(pTopKey)));
      verify.Run();
      return 0;
    });
  } catch (...) {
    {
      std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
      if (m_pImpl->m_pBlob) {
        try {
          CloseFile();
        } catch (...) {
        }
      }
    }
    throw;
  }
}

CBlobRegistry::~CBlobRegistry() {
  {
    std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
    if (m_pImpl->m_pBlob) {
      LARCH_PRECONDITION("NoLiveKeyHandles", !m_pImpl->m_pTopKey->IsInUseRecursively());
      try {
        CloseFile();
      } catch (...) {
      }
    }
  }
}

void CBlobRegistry::CheckInvariants() const {
  LARCH_INVARIANT("NonNullImpl", m_pImpl);
}

bool CBlobRegistry::IsFileOpen() const {
  std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
  return m_pImpl->m_pBlob != nullptr;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void CBlobRegistry::OpenFile(bool bMustExist) {
  if (m_pImpl->m_pBlob) AssertPreCondition("FileClosed", "m_pImpl->m_pBlob==0", __FILE__, __LINE__);
  const std::string& sFileName = m_pImpl->m_sFileName;
  if (bMustExist && !CFileUtil::FileExists(sFileName)) {
    throw CBlobException("Failed to open file: " + sFileName);
  }
  switch (m_pImpl->m_FileMutex.Acquire(m_pImpl->m_uLockTimeoutMs)) {
    case platform::CNamedLock::eObtained:
      break;
    case platform::CNamedLock::eTimedOut:
      throw CInUseException();
    default:
      // Going on without the lock could let two processes edit the file at once.
      throw CRegistryLockException("Failed to wait for file access mutex");
  }
  // The reason is the system's when a system call failed, else the blob's refusal of the bytes.
  platform::SetLastSystemError(0);
  try {
    m_pImpl->m_pBlob.reset(
        new CMultiFieldBlob(sFileName, CMultiFieldBlob::eReadWrite, sc_uTemporaryGrowthArea));
  } catch (const std::exception& e) {
    const uint32_t uError = platform::GetLastSystemError();
    if (!m_pImpl->m_FileMutex.Release()) {
      DebugAssert("(SetEvent(m_pImpl->m_hFileMutex)) != 0", __FILE__, __LINE__);
    }
    throw CBlobException("Cannot open blob archive file " + sFileName + ": " +
                         (uError ? platform::SystemErrorReason(uError) : std::string(e.what())));
  }
  try {
    CMultiFieldBlob* pBlob = m_pImpl->m_pBlob.get();
    if (pBlob->GetNumFields() != 0) {
      m_pImpl->m_pTopKey.reset(
          new CBlobKey(sc_szTopKeyName, pBlob, this, &m_pImpl->m_CriticalSection));
    } else {
      m_pImpl->m_pTopKey.reset(new CBlobKey(CBlobKey::SCreate(), sc_szTopKeyName, pBlob, this,
                                            &m_pImpl->m_CriticalSection));
    }
  } catch (...) {
    try {
      CloseFile();
    } catch (...) {
    }
    throw;
  }
}

// The file is unmapped and the lock given back even when the flush fails; the
// flush's failure is reported afterwards.
void CBlobRegistry::CloseFile() {
  LARCH_PRECONDITION("FileOpen", m_pImpl->m_pBlob);
  std::exception_ptr pFlushFailure;
  try {
    m_pImpl->m_pBlob->Flush();
  } catch (...) {
    pFlushFailure = std::current_exception();
  }
  m_pImpl->m_pTopKey.reset();
  m_pImpl->m_pBlob.reset();
  if (!m_pImpl->m_FileMutex.Release()) {
    DebugAssert("(SetEvent(m_hFileMutex)) != 0", __FILE__, __LINE__);
  }
  if (pFlushFailure) std::rethrow_exception(pFlushFailure);
}

void CBlobRegistry::CloseIfUnused() {
  std::lock_guard<std::recursive_mutex> lock(m_pImpl->m_CriticalSection);
  if (m_pImpl->m_pBlob && !m_pImpl->m_pTopKey->IsInUseRecursively()) CloseFile();
}

// ---------------------------------------------------------------------------------------------
// Operations

KeyPtr_t CBlobRegistry::CreateKey(const std::string& sPath, bool bFailIfExists) {
  return Call([&](CBlobKey* pTopKey) { return pTopKey->CreateKey(sPath, bFailIfExists); });
}

KeyPtr_t CBlobRegistry::OpenKey(const std::string& sPath) {
  return Call([&](CBlobKey* pTopKey) {
    return sPath.empty() ? KeyPtr_t(new CBlobKey::CPublicKey(pTopKey)) : pTopKey->OpenKey(sPath);
  });
}

void CBlobRegistry::DeleteKey(const std::string& sPath) {
  Call([&](CBlobKey* pTopKey) {
    pTopKey->DeleteKey(sPath);
    return 0;
  });
}

void CBlobRegistry::TryDeleteKey(const std::string& sPath) {
  try {
    DeleteKey(sPath);
  } catch (const CRegistryException&) {
  }
}

void CBlobRegistry::DeleteKeyTree(const std::string& sPath) {
  Call([&](CBlobKey* pTopKey) {
    pTopKey->DeleteKeyTree(sPath);
    return 0;
  });
}

void CBlobRegistry::TryDeleteKeyTree(const std::string& sPath) {
  try {
    DeleteKeyTree(sPath);
  } catch (const CRegistryException&) {
  }
}

bool CBlobRegistry::KeyExists(const std::string& sPath) {
  return Call([&](CBlobKey* pTopKey) { return pTopKey->KeyExists(sPath); });
}

// The value operations: OpenKey(path) and the key's operation; an empty path is
// the top key.
#define LARCH_ON_KEY(sPath, call)    \
  Call([&](CBlobKey* pTopKey) {      \
    if ((sPath).empty()) {           \
      pTopKey->call;                 \
    } else {                         \
      pTopKey->OpenKey(sPath)->call; \
    }                                \
    return 0;                        \
  })

void CBlobRegistry::SetBinaryValue(const std::string& sPath, const std::string& sValueName,
                                   const uint8_t* pu8Data, uint32_t uBytes) {
  LARCH_ON_KEY(sPath, SetBinaryValue(sValueName, pu8Data, uBytes));
}

void CBlobRegistry::SetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                                           uint32_t u32Value) {
  LARCH_ON_KEY(sPath, SetUnsignedNumberValue(sValueName, u32Value));
}

void CBlobRegistry::SetStringValue(const std::string& sPath, const std::string& sValueName,
                                   const std::string& sValue) {
  LARCH_ON_KEY(sPath, SetStringValue(sValueName, sValue));
}

void CBlobRegistry::GetBinaryValue(const std::string& sPath, const std::string& sValueName,
                                   uint8_t* pu8Data, uint32_t uBufSize, uint32_t* puBytesRead) {
  LARCH_ON_KEY(sPath, GetBinaryValue(sValueName, pu8Data, uBufSize, puBytesRead));
}

void CBlobRegistry::GetUnsignedNumberValue(const std::string& sPath, const std::string& sValueName,
                                           uint32_t* pu32UnsignedNumber) {
  LARCH_ON_KEY(sPath, GetUnsignedNumberValue(sValueName, pu32UnsignedNumber));
}

void CBlobRegistry::GetStringValue(const std::string& sPath, const std::string& sValueName,
                                   std::string& sValue) {
  LARCH_ON_KEY(sPath, GetStringValue(sValueName, sValue));
}

void CBlobRegistry::DeleteValue(const std::string& sPath, const std::string& sValueName) {
  LARCH_ON_KEY(sPath, DeleteValue(sValueName));
}

void CBlobRegistry::TryDeleteValue(const std::string& sPath, const std::string& sValueName) {
  LARCH_ON_KEY(sPath, TryDeleteValue(sValueName));
}

bool CBlobRegistry::ValueExists(const std::string& sPath, const std::string& sValueName) {
  return Call([&](CBlobKey* pTopKey) {
    if (sPath.empty()) return pTopKey->ValueExists(sValueName);
    if (!pTopKey->KeyExists(sPath)) return false;
    return pTopKey->OpenKey(sPath)->ValueExists(sValueName);
  });
}

}  // namespace common
