#include "network/WSABUFWrapper.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/Assert.h"
#include "support/ByteOrder.h"

namespace common {
namespace {

// A failed state check is reported like every precondition; when the report is ignored the call
// must still not run on with pointers that may lie outside the storage, so it throws.
constexpr SRefusal<std::logic_error> sc_WrapperRefusal{"CWSABUFWrapper: failed check "};

const char sc_szMallocFailed[] = "CWSABUFWrapper() failed to malloc() pMallocedDataBuffer.";
const char sc_szReallocFailed[] = "CWSABUFWrapper() failed to realloc() pMallocedDataBuffer.";
constexpr uint32_t sc_uDefaultStorageSize = 256;

}  // namespace

class CWSABUFWrapper::CInvariantCheck {
 public:
  explicit CInvariantCheck(const CWSABUFWrapper& wrapper) : m_wrapper(wrapper) {
    m_wrapper.CheckInvariant();
  }
  ~CInvariantCheck() { m_wrapper.CheckInvariant(); }

 private:
  const CWSABUFWrapper& m_wrapper;
};

CWSABUFWrapper::CWSABUFWrapper(uint32_t uInitialSize, uint32_t uNumInitialWSABUFs)
    : m_eState(eReset),
      m_uCurrentOrFinalPreparedWSABUFIdx(0),
      m_uNextIncompleteSendOrReceiveWSABUFIdx(0),
      m_uSizeOfLengthPrefixedMsg(0),
      m_pReceivedEnd(nullptr) {
  LARCH_PRECONDITION("Valid uNumInitialWSABUFs ", uNumInitialWSABUFs > 0);
  uint32_t uCount = uNumInitialWSABUFs > 0 ? uNumInitialWSABUFs : 1;
  m_vecWSABUF.assign(uCount, platform::SSocketBuffer{0, nullptr});
  m_vecWSABUFInfo.assign(uCount, SWSABUFInfo{0, nullptr, nullptr, nullptr});
  Reset();
  if (uInitialSize != 0) {
    uint8_t* pBuffer = static_cast<uint8_t*>(std::malloc(uInitialSize));
    if (!pBuffer) throw std::runtime_error(sc_szMallocFailed);
    m_vecWSABUFInfo[0].m_pMallocedDataBuffer = pBuffer;
    m_vecWSABUFInfo[0].m_uSizeOfMallocedDataBuffer = uInitialSize;
  }
}

CWSABUFWrapper::~CWSABUFWrapper() {
  for (SWSABUFInfo& info : m_vecWSABUFInfo) std::free(info.m_pMallocedDataBuffer);
}

void CWSABUFWrapper::CheckInvariant() const {
  LARCH_INVARIANT("m_vecWSABUFInfo and m_vecWSABUF are same size",
                  m_vecWSABUFInfo.size() == m_vecWSABUF.size());
  LARCH_INVARIANT("Valid m_uCurrentOrFinalPreparedWSABUFIdx",
                  m_uCurrentOrFinalPreparedWSABUFIdx < m_vecWSABUF.size());
  LARCH_INVARIANT(
      "Valid m_uNextIncompleteSendOrReceiveWSABUFIdx",
      m_uNextIncompleteSendOrReceiveWSABUFIdx <= m_uCurrentOrFinalPreparedWSABUFIdx + 1);
}

void CWSABUFWrapper::Reset() {
  CInvariantCheck check(*this);
  m_eState = eReset;
  m_uCurrentOrFinalPreparedWSABUFIdx = 0;
  m_uNextIncompleteSendOrReceiveWSABUFIdx = 0;
  for (size_t u = 0; u < m_vecWSABUF.size(); ++u) {
    m_vecWSABUF[u] = platform::SSocketBuffer{0, nullptr};
    m_vecWSABUFInfo[u].m_pMsgCursor = nullptr;
    m_vecWSABUFInfo[u].m_pMsgEnd = nullptr;
  }
  m_uSizeOfLengthPrefixedMsg = 0;
  m_pReceivedEnd = nullptr;
}

bool CWSABUFWrapper::IsReceiveComplete() const {
  return m_eState == eCompletedReceive || m_eState == eCompletedReceiveLengthPrefixedMsg ||
         m_eState == eCompleteLengthPrefixedMsgAlreadyInBuffer;
}

// Room for uNumBytes more bytes after the end of the final descriptor's data.
void CWSABUFWrapper::MakeRoom(uint32_t uNumBytes) {
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uCurrentOrFinalPreparedWSABUFIdx];
  uint8_t* pStart = info.m_pMallocedDataBuffer;
  LARCH_REQUIRE("m_pReceivedEnd not set", m_pReceivedEnd == nullptr, sc_WrapperRefusal);
  LARCH_REQUIRE("If set Cursor and End must be in malloced buffer",
                !info.m_pMsgCursor ||
                    (pStart && info.m_pMsgCursor >= pStart && info.m_pMsgEnd >= info.m_pMsgCursor &&
                     info.m_pMsgEnd <= pStart + info.m_uSizeOfMallocedDataBuffer),
                sc_WrapperRefusal);
  LARCH_REQUIRE("WSABUF not set", m_vecWSABUF[m_uCurrentOrFinalPreparedWSABUFIdx].pData == nullptr,
                sc_WrapperRefusal);

  if (!pStart) {
    pStart = static_cast<uint8_t*>(std::malloc(uNumBytes ? uNumBytes : 1));
    if (!pStart) throw std::runtime_error(sc_szMallocFailed);
    info.m_pMallocedDataBuffer = pStart;
    info.m_uSizeOfMallocedDataBuffer = uNumBytes;
    info.m_pMsgCursor = info.m_pMsgEnd = pStart;
  } else {
    if (!info.m_pMsgCursor) info.m_pMsgCursor = info.m_pMsgEnd = pStart;
    size_t uInUse = static_cast<size_t>(info.m_pMsgEnd - pStart);
    if (info.m_uSizeOfMallocedDataBuffer < uInUse + uNumBytes) {
      // The bytes in use, the bytes needed and half the old size, so that appends rarely move.
      uint64_t uNewSize =
          static_cast<uint64_t>(uInUse) + uNumBytes + info.m_uSizeOfMallocedDataBuffer / 2;
      if (uNewSize > 0xFFFFFFFFu) throw std::runtime_error(sc_szReallocFailed);
      size_t uCursorOffset = static_cast<size_t>(info.m_pMsgCursor - pStart);
      uint8_t* pNew = static_cast<uint8_t*>(std::realloc(pStart, static_cast<size_t>(uNewSize)));
      if (!pNew) throw std::runtime_error(sc_szReallocFailed);
      info.m_pMallocedDataBuffer = pNew;
      info.m_uSizeOfMallocedDataBuffer = static_cast<uint32_t>(uNewSize);
      info.m_pMsgCursor = pNew + uCursorOffset;
      info.m_pMsgEnd = pNew + uInUse;
    }
  }
  const uint8_t* pNewStart = info.m_pMallocedDataBuffer;
  LARCH_POSTCONDITION("Valid MsgCursor and MsgEnd",
                      pNewStart <= info.m_pMsgCursor && info.m_pMsgCursor <= info.m_pMsgEnd &&
                          info.m_pMsgEnd <= pNewStart + info.m_uSizeOfMallocedDataBuffer);
}

void CWSABUFWrapper::AppendBytes(const uint8_t* pBytes, uint32_t uSize) {
  LARCH_REQUIRE("Allowed to append", m_eState == eReset || m_eState == eConfiguredForSend,
                sc_WrapperRefusal);
  LARCH_REQUIRE("SetExternalDataToSend not used previously",
                m_vecWSABUF[m_uCurrentOrFinalPreparedWSABUFIdx].pData == nullptr,
                sc_WrapperRefusal);
  MakeRoom(uSize);
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uCurrentOrFinalPreparedWSABUFIdx];
  if (uSize) std::memcpy(info.m_pMsgEnd, pBytes, uSize);
  info.m_pMsgEnd += uSize;
  m_eState = eConfiguredForSend;
}

void CWSABUFWrapper::Append(uint8_t u8Value) {
  CInvariantCheck check(*this);
  AppendBytes(&u8Value, 1);
}

void CWSABUFWrapper::Append(uint16_t u16Value) {
  CInvariantCheck check(*this);
  uint8_t au8[2];
  StoreBigEndian16(au8, u16Value);
  AppendBytes(au8, 2);
}

void CWSABUFWrapper::Append(uint32_t u32Value) {
  CInvariantCheck check(*this);
  uint8_t au8[4];
  StoreBigEndian32(au8, u32Value);
  AppendBytes(au8, 4);
}

void CWSABUFWrapper::Append(const void* pData, uint32_t uSize) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Valid pData", pData || uSize == 0, sc_WrapperRefusal);
  AppendBytes(static_cast<const uint8_t*>(pData), uSize);
}

void CWSABUFWrapper::Append(const std::string& sString) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("String not too long", sString.length() <= 0xffff, sc_WrapperRefusal);
  const uint16_t u16Length = static_cast<uint16_t>(sString.length());
  uint8_t au8[2];
  StoreBigEndian16(au8, u16Length);
  AppendBytes(au8, 2);
  AppendBytes(reinterpret_cast<const uint8_t*>(sString.data()), u16Length);
}

platform::SSocketBuffer* CWSABUFWrapper::GetWSABUFsForSend() {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Allowed to send",
                (m_eState == eConfiguredForSend || m_eState == eDonePartialSend) &&
                    m_uNextIncompleteSendOrReceiveWSABUFIdx <= m_uCurrentOrFinalPreparedWSABUFIdx,
                sc_WrapperRefusal);
  platform::SSocketBuffer& rFinal = m_vecWSABUF[m_uCurrentOrFinalPreparedWSABUFIdx];
  if (!rFinal.pData) {
    SWSABUFInfo& info = m_vecWSABUFInfo[m_uCurrentOrFinalPreparedWSABUFIdx];
    LARCH_REQUIRE("Only Append() has been used",
                  info.m_pMsgCursor && info.m_pMsgEnd && rFinal.uLength == 0, sc_WrapperRefusal);
    rFinal.pData = info.m_pMsgCursor;
    rFinal.uLength = static_cast<uint32_t>(info.m_pMsgEnd - info.m_pMsgCursor);
  }
  for (uint32_t u = m_uNextIncompleteSendOrReceiveWSABUFIdx;
       u <= m_uCurrentOrFinalPreparedWSABUFIdx; ++u) {
    LARCH_REQUIRE("WSABUF contains data", m_vecWSABUF[u].pData && m_vecWSABUF[u].uLength > 0,
                  sc_WrapperRefusal);
  }
  m_eState = eDonePartialSend;
  return &m_vecWSABUF[m_uNextIncompleteSendOrReceiveWSABUFIdx];
}

uint32_t CWSABUFWrapper::GetNumWSABUFsForSend() const {
  return m_uCurrentOrFinalPreparedWSABUFIdx - m_uNextIncompleteSendOrReceiveWSABUFIdx + 1;
}

// Walks the pending descriptors over uNumBytes transferred bytes; true when the final descriptor
// is done. A receive records in each descriptor's info where its data ends.
bool CWSABUFWrapper::ConsumeIntoDescriptors(uint32_t uNumBytes, bool bReceive) {
  uint32_t uIdx = m_uNextIncompleteSendOrReceiveWSABUFIdx;
  uint64_t uPending = 0;
  for (uint32_t u = uIdx; u <= m_uCurrentOrFinalPreparedWSABUFIdx; ++u) {
    uPending += m_vecWSABUF[u].uLength;
  }
  LARCH_REQUIRE("Not receive too many bytes", uNumBytes <= uPending, sc_WrapperRefusal);
  while (m_vecWSABUF[uIdx].uLength < uNumBytes) {
    platform::SSocketBuffer& rBuf = m_vecWSABUF[uIdx];
    rBuf.pData += rBuf.uLength;
    uNumBytes -= rBuf.uLength;
    rBuf.uLength = 0;
    if (bReceive) m_vecWSABUFInfo[uIdx].m_pMsgEnd = rBuf.pData;
    ++uIdx;
  }
  platform::SSocketBuffer& rBuf = m_vecWSABUF[uIdx];
  rBuf.pData += uNumBytes;
  rBuf.uLength -= uNumBytes;
  if (bReceive) m_vecWSABUFInfo[uIdx].m_pMsgEnd = rBuf.pData;
  if (rBuf.uLength == 0) {
    if (uIdx == m_uCurrentOrFinalPreparedWSABUFIdx) return true;
    ++uIdx;
    LARCH_REQUIRE("WSABUF contains data", m_vecWSABUF[uIdx].pData && m_vecWSABUF[uIdx].uLength,
                  sc_WrapperRefusal);
  }
  m_uNextIncompleteSendOrReceiveWSABUFIdx = uIdx;
  return false;
}

bool CWSABUFWrapper::ConsumeSent(uint32_t uNumBytesSent) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Valid uNumBytesSent", uNumBytesSent > 0, sc_WrapperRefusal);
  LARCH_REQUIRE("Allowed to send", m_eState == eDonePartialSend, sc_WrapperRefusal);
  if (!ConsumeIntoDescriptors(uNumBytesSent, false)) return false;
  Reset();
  return true;
}

bool CWSABUFWrapper::PrepareToReceive(uint32_t uNumBytes) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Allowed to prepare for receive",
                m_eState == eReset || m_eState == ePreparingToReceive, sc_WrapperRefusal);
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uCurrentOrFinalPreparedWSABUFIdx];
  platform::SSocketBuffer& rBuf = m_vecWSABUF[m_uCurrentOrFinalPreparedWSABUFIdx];
  LARCH_REQUIRE("Not already prepared to receive",
                !rBuf.pData && !info.m_pMsgCursor && !info.m_pMsgEnd, sc_WrapperRefusal);
  MakeRoom(uNumBytes);
  rBuf.pData = info.m_pMsgCursor;
  rBuf.uLength = uNumBytes;
  if (uNumBytes == 0) {
    // Nothing to wait for: the (empty) reply is complete at once.
    m_uNextIncompleteSendOrReceiveWSABUFIdx = 0;
    m_eState = eCompletedReceive;
    return false;
  }
  m_eState = ePreparingToReceive;
  return true;
}

void CWSABUFWrapper::SetExternalReceiveAreaAndSize(uint8_t* pArea, uint32_t uSize) {
  CInvariantCheck check(*this);
  if (m_eState != eReset && m_eState != ePreparingToReceive) {
    throw std::runtime_error(
        "CWSABUFWrapper::SetExternalReceiveAreaAndSize: buffer has unconsumed data");
  }
  platform::SSocketBuffer& rBuf = m_vecWSABUF[m_uCurrentOrFinalPreparedWSABUFIdx];
  LARCH_REQUIRE("Not already prepared to receive", !rBuf.pData, sc_WrapperRefusal);
  LARCH_REQUIRE("Valid pArea", pArea || uSize == 0, sc_WrapperRefusal);
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uCurrentOrFinalPreparedWSABUFIdx];
  rBuf.pData = pArea;
  rBuf.uLength = uSize;
  info.m_pMsgCursor = info.m_pMsgEnd = pArea;
  if (uSize == 0) {
    m_uNextIncompleteSendOrReceiveWSABUFIdx = 0;
    m_eState = eCompletedReceive;
    return;
  }
  m_eState = ePreparingToReceive;
}

void CWSABUFWrapper::EnsureLengthPrefixStorage() {
  SWSABUFInfo& info = m_vecWSABUFInfo[0];
  if (info.m_pMallocedDataBuffer) return;
  info.m_pMallocedDataBuffer = static_cast<uint8_t*>(std::malloc(sc_uDefaultStorageSize));
  if (!info.m_pMallocedDataBuffer) throw std::runtime_error(sc_szMallocFailed);
  info.m_uSizeOfMallocedDataBuffer = sc_uDefaultStorageSize;
}

bool CWSABUFWrapper::PrepareToReceiveLengthPrefixedMsg() {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Must be WSABUF #0", m_uCurrentOrFinalPreparedWSABUFIdx == 0, sc_WrapperRefusal);
  LARCH_REQUIRE("Allowed to receive",
                m_eState == eReset || m_eState == eFinishedExtractingLengthPrefixedMsg,
                sc_WrapperRefusal);
  m_uSizeOfLengthPrefixedMsg = 0;
  SWSABUFInfo& info = m_vecWSABUFInfo[0];
  if (m_eState == eReset || info.m_pMsgCursor == m_pReceivedEnd) {
    EnsureLengthPrefixStorage();
    info.m_pMsgCursor = info.m_pMsgEnd = m_pReceivedEnd = info.m_pMallocedDataBuffer;
    m_vecWSABUF[0] =
        platform::SSocketBuffer{info.m_uSizeOfMallocedDataBuffer, info.m_pMallocedDataBuffer};
    m_eState = ePreparingToReceiveLengthPrefixedMsg;
    return false;
  }
  // Bytes of the next message arrived with the previous one.
  return Frame(false);
}

platform::SSocketBuffer* CWSABUFWrapper::GetWSABUFsForReceive() {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Allowed to receive",
                m_eState == ePreparingToReceive || m_eState == eDonePartialReceive ||
                    m_eState == ePreparingToReceiveLengthPrefixedMsg ||
                    m_eState == eDonePartialReceiveLengthPrefixedMsg,
                sc_WrapperRefusal);
  if (m_eState == ePreparingToReceive || m_eState == eDonePartialReceive) {
    const SWSABUFInfo& info = m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx];
    const platform::SSocketBuffer& rBuf = m_vecWSABUF[m_uNextIncompleteSendOrReceiveWSABUFIdx];
    LARCH_REQUIRE("Valid rWSABUF and rWSABUFInfo",
                  rBuf.pData && info.m_pMsgCursor && rBuf.pData >= info.m_pMsgCursor,
                  sc_WrapperRefusal);
    m_eState = eDonePartialReceive;
  } else {
    const SWSABUFInfo& info = m_vecWSABUFInfo[0];
    const platform::SSocketBuffer& rBuf = m_vecWSABUF[0];
    const uint8_t* pStorageEnd = info.m_pMallocedDataBuffer + info.m_uSizeOfMallocedDataBuffer;
    LARCH_REQUIRE("Valid rWSABUF and rWSABUFInfo and m_pReceivedEnd",
                  rBuf.pData == m_pReceivedEnd && m_pReceivedEnd >= info.m_pMallocedDataBuffer &&
                      rBuf.pData + rBuf.uLength <= pStorageEnd,
                  sc_WrapperRefusal);
    m_eState = eDonePartialReceiveLengthPrefixedMsg;
  }
  return &m_vecWSABUF[m_uNextIncompleteSendOrReceiveWSABUFIdx];
}

uint32_t CWSABUFWrapper::GetNumWSABUFsForReceive() const {
  return m_uCurrentOrFinalPreparedWSABUFIdx - m_uNextIncompleteSendOrReceiveWSABUFIdx + 1;
}

bool CWSABUFWrapper::ConsumeReceived(uint32_t uNumBytesReceived) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Received more than 0 bytes", uNumBytesReceived > 0, sc_WrapperRefusal);
  LARCH_REQUIRE("Allowed to receive",
                m_eState == eDonePartialReceive ||
                    m_eState == eDonePartialReceiveLengthPrefixedMsg ||
                    m_eState == eCompleteLengthPrefixedMsgAlreadyInBuffer,
                sc_WrapperRefusal);
  if (m_eState == eCompleteLengthPrefixedMsgAlreadyInBuffer) return true;
  if (m_eState == eDonePartialReceive) {
    LARCH_REQUIRE("Not a length-prefixed message",
                  m_pReceivedEnd == nullptr && m_uSizeOfLengthPrefixedMsg == 0, sc_WrapperRefusal);
    if (!ConsumeIntoDescriptors(uNumBytesReceived, true)) return false;
    m_uNextIncompleteSendOrReceiveWSABUFIdx = 0;
    m_eState = eCompletedReceive;
    return true;
  }
  LARCH_REQUIRE("Not receive too many bytes", uNumBytesReceived <= m_vecWSABUF[0].uLength,
                sc_WrapperRefusal);
  m_pReceivedEnd += uNumBytesReceived;
  return Frame(true);
}

void CWSABUFWrapper::PointAtRestOfStorage() {
  const SWSABUFInfo& info = m_vecWSABUFInfo[0];
  const uint8_t* pStorageEnd = info.m_pMallocedDataBuffer + info.m_uSizeOfMallocedDataBuffer;
  m_vecWSABUF[0] =
      platform::SSocketBuffer{static_cast<uint32_t>(pStorageEnd - m_pReceivedEnd), m_pReceivedEnd};
}

void CWSABUFWrapper::MoveHeldBytesToStart() {
  SWSABUFInfo& info = m_vecWSABUFInfo[0];
  size_t uHeld = static_cast<size_t>(m_pReceivedEnd - info.m_pMsgCursor);
  if (info.m_pMsgCursor != info.m_pMallocedDataBuffer) {
    std::memmove(info.m_pMallocedDataBuffer, info.m_pMsgCursor, uHeld);
  }
  info.m_pMsgCursor = info.m_pMsgEnd = info.m_pMallocedDataBuffer;
  m_pReceivedEnd = info.m_pMallocedDataBuffer + uHeld;
}

// Finds the message that starts at the cursor among the bytes received so far.
bool CWSABUFWrapper::Frame(bool bAfterReceive) {
  LARCH_REQUIRE("Valid eState",
                m_eState == eReset || m_eState == ePreparingToReceiveLengthPrefixedMsg ||
                    m_eState == eDonePartialReceiveLengthPrefixedMsg ||
                    m_eState == eFinishedExtractingLengthPrefixedMsg,
                sc_WrapperRefusal);
  SWSABUFInfo& info = m_vecWSABUFInfo[0];
  const uint8_t* pStorageEnd = info.m_pMallocedDataBuffer + info.m_uSizeOfMallocedDataBuffer;
  if (m_uSizeOfLengthPrefixedMsg == 0) {
    if (m_pReceivedEnd - info.m_pMsgCursor < 4) {
      MoveHeldBytesToStart();
      PointAtRestOfStorage();
      m_eState = eDonePartialReceiveLengthPrefixedMsg;
      return false;
    }
    uint32_t uLength = LoadBigEndian32(info.m_pMsgCursor);
    info.m_pMsgCursor += 4;
    info.m_pMsgEnd = info.m_pMsgCursor;
    if (uLength == 0 || uLength > info.m_uSizeOfMallocedDataBuffer) {
      throw std::runtime_error("ProtocolError - Bad message LengthPrefix");
    }
    m_uSizeOfLengthPrefixedMsg = uLength;
  }
  if (static_cast<uint32_t>(m_pReceivedEnd - info.m_pMsgCursor) < m_uSizeOfLengthPrefixedMsg) {
    if (static_cast<uint32_t>(pStorageEnd - info.m_pMsgCursor) < m_uSizeOfLengthPrefixedMsg) {
      MoveHeldBytesToStart();
    }
    PointAtRestOfStorage();
    m_eState = eDonePartialReceiveLengthPrefixedMsg;
    return false;
  }
  info.m_pMsgEnd = info.m_pMsgCursor + m_uSizeOfLengthPrefixedMsg;
  PointAtRestOfStorage();
  m_eState = bAfterReceive ? eCompletedReceiveLengthPrefixedMsg
                           : eCompleteLengthPrefixedMsgAlreadyInBuffer;
  return true;
}

void CWSABUFWrapper::ExtractBytes(uint8_t* pDst, uint32_t uSize, const char* pszError) {
  LARCH_REQUIRE("Allowed to extract",
                m_eState == eCompletedReceive || m_eState == eCompletedReceiveLengthPrefixedMsg ||
                    m_eState == eCompleteLengthPrefixedMsgAlreadyInBuffer ||
                    m_eState == eExtracting,
                sc_WrapperRefusal);
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx];
  LARCH_REQUIRE("Valid Start and End", info.m_pMsgCursor <= info.m_pMsgEnd, sc_WrapperRefusal);
  if (static_cast<size_t>(info.m_pMsgEnd - info.m_pMsgCursor) < uSize) {
    throw std::runtime_error(pszError);
  }
  if (pDst) std::memcpy(pDst, info.m_pMsgCursor, uSize);
  m_eState = eExtracting;
}

void CWSABUFWrapper::ExtractNext(uint8_t* pReceiveData) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Valid pReceiveData", pReceiveData, sc_WrapperRefusal);
  ExtractBytes(pReceiveData, 1, "ProtocolError - Not enough data for ExtractNext(u8)");
  m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx].m_pMsgCursor += 1;
}

void CWSABUFWrapper::ExtractNext(uint16_t* pReceiveData) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Valid pReceiveData", pReceiveData, sc_WrapperRefusal);
  uint8_t au8[2];
  ExtractBytes(au8, 2, "ProtocolError - Not enough data for ExtractNext(u16)");
  m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx].m_pMsgCursor += 2;
  *pReceiveData = LoadBigEndian16(au8);
}

void CWSABUFWrapper::ExtractNext(uint32_t* pReceiveData) {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Valid pReceiveData", pReceiveData, sc_WrapperRefusal);
  uint8_t au8[4];
  ExtractBytes(au8, 4, "ProtocolError - Not enough data for ExtractNext(u32)");
  m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx].m_pMsgCursor += 4;
  *pReceiveData = LoadBigEndian32(au8);
}

uint8_t* CWSABUFWrapper::ExtractGap(uint32_t uNumBytes) {
  CInvariantCheck check(*this);
  ExtractBytes(nullptr, uNumBytes, "ProtocolError - Not enough data for ExtractGap()");
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx];
  uint8_t* pGap = info.m_pMsgCursor;
  info.m_pMsgCursor += uNumBytes;
  return pGap;
}

void CWSABUFWrapper::DoneExtracting() {
  CInvariantCheck check(*this);
  LARCH_REQUIRE("Done extracting", m_eState == eExtracting, sc_WrapperRefusal);
  SWSABUFInfo& info = m_vecWSABUFInfo[m_uNextIncompleteSendOrReceiveWSABUFIdx];
  if (info.m_pMsgCursor != info.m_pMsgEnd) {
    throw std::runtime_error("ProtocolError - Message not fully consumed");
  }
  if (m_pReceivedEnd) {
    LARCH_REQUIRE(
        "Length-prefixed messages only use WSABUF #0",
        m_uNextIncompleteSendOrReceiveWSABUFIdx == 0 && m_uCurrentOrFinalPreparedWSABUFIdx == 0,
        sc_WrapperRefusal);
    LARCH_REQUIRE("Valid m_pReceivedEnd", m_pReceivedEnd >= info.m_pMsgEnd, sc_WrapperRefusal);
    if (m_pReceivedEnd > info.m_pMsgEnd) {
      // The bytes of the next message wait for PrepareToReceiveLengthPrefixedMsg.
      m_uSizeOfLengthPrefixedMsg = 0;
      m_eState = eFinishedExtractingLengthPrefixedMsg;
      return;
    }
  } else {
    LARCH_REQUIRE("No more buffers",
                  m_uNextIncompleteSendOrReceiveWSABUFIdx == m_uCurrentOrFinalPreparedWSABUFIdx,
                  sc_WrapperRefusal);
  }
  Reset();
}

}  // namespace common
