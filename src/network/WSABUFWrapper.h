// The message buffer of one TCP conversation step. It builds a request from big-endian
// integers, strings and raw bytes, hands the socket layer the scatter/gather descriptors for
// sending or receiving, tracks partial transfers, frames length-prefixed messages (a u32 body
// length, then the body) and extracts the fields of a reply with bounds checks that turn short
// or over-long replies into protocol errors.
//
// It is a strict state machine: each operation is allowed only in certain states (precondition
// assertions name the check) and the class invariant is checked on entry to and exit from every
// operation. An out-of-state call is a programming error; when its report is ignored the call
// throws instead of touching memory outside the storage. Protocol errors and allocation
// failures throw std::runtime_error; the conversation is then abandoned with the wrapper.
//
// The wrapper owns each descriptor's storage; an area given by SetExternalReceiveAreaAndSize
// belongs to the caller. One wrapper serves one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Socket.h"

namespace common {

class CWSABUFWrapper {
 public:
  enum EState {
    eReset,
    eConfiguredForSend,
    eDonePartialSend,
    ePreparingToReceive,
    eDonePartialReceive,
    eCompletedReceive,
    ePreparingToReceiveLengthPrefixedMsg,
    eDonePartialReceiveLengthPrefixedMsg,
    eCompletedReceiveLengthPrefixedMsg,
    eCompleteLengthPrefixedMsgAlreadyInBuffer,
    eExtracting,
    eFinishedExtractingLengthPrefixedMsg
  };

  // Storage of uInitialSize bytes for descriptor 0 (none when 0).
  CWSABUFWrapper(uint32_t uInitialSize, uint32_t uNumInitialWSABUFs);
  ~CWSABUFWrapper();
  CWSABUFWrapper(const CWSABUFWrapper&) = delete;
  CWSABUFWrapper& operator=(const CWSABUFWrapper&) = delete;

  // Back to eReset; the storage is kept.
  void Reset();

  // Building a request (eReset, eConfiguredForSend -> eConfiguredForSend). Integers are written
  // most significant byte first; a string as a u16 length and its characters.
  void Append(uint8_t u8Value);
  void Append(uint16_t u16Value);
  void Append(uint32_t u32Value);
  void Append(const void* pData, uint32_t uSize);
  void Append(const std::string& sString);

  // Sending: the pending descriptors, and how many bytes the socket took. ConsumeSent is true
  // when everything is sent (the wrapper is then reset).
  platform::SSocketBuffer* GetWSABUFsForSend();
  uint32_t GetNumWSABUFsForSend() const;
  bool ConsumeSent(uint32_t uNumBytesSent);

  // Receiving a known number of bytes into the storage, or straight into the caller's memory.
  // PrepareToReceive is true when bytes must be received (false only for a count of 0).
  bool PrepareToReceive(uint32_t uNumBytes);
  void SetExternalReceiveAreaAndSize(uint8_t* pArea, uint32_t uSize);

  // Receiving a length-prefixed message; true when a complete one is already held.
  bool PrepareToReceiveLengthPrefixedMsg();

  platform::SSocketBuffer* GetWSABUFsForReceive();
  uint32_t GetNumWSABUFsForReceive() const;
  // True when the expected bytes or the length-prefixed message are complete.
  bool ConsumeReceived(uint32_t uNumBytesReceived);

  // Reading a received reply (big-endian).
  void ExtractNext(uint8_t* pReceiveData);
  void ExtractNext(uint16_t* pReceiveData);
  void ExtractNext(uint32_t* pReceiveData);
  // The next uNumBytes bytes, where they lie (in the storage or the caller's area).
  uint8_t* ExtractGap(uint32_t uNumBytes);
  // Throws "ProtocolError - Message not fully consumed" when bytes are left unread.
  void DoneExtracting();

  EState GetState() const { return m_eState; }
  // True when a receive has nothing more to wait for.
  bool IsReceiveComplete() const;
  uint32_t GetStorageSize() const { return m_vecWSABUFInfo[0].m_uSizeOfMallocedDataBuffer; }

 private:
  struct SWSABUFInfo {
    uint32_t m_uSizeOfMallocedDataBuffer;
    uint8_t* m_pMallocedDataBuffer;
    uint8_t* m_pMsgCursor;
    uint8_t* m_pMsgEnd;
  };
  class CInvariantCheck;

  void CheckInvariant() const;
  void MakeRoom(uint32_t uNumBytes);
  void AppendBytes(const uint8_t* pBytes, uint32_t uSize);
  void ExtractBytes(uint8_t* pDst, uint32_t uSize, const char* pszError);
  void EnsureLengthPrefixStorage();
  bool Frame(bool bAfterReceive);
  void PointAtRestOfStorage();
  void MoveHeldBytesToStart();
  bool ConsumeIntoDescriptors(uint32_t uNumBytes, bool bReceive);

  EState m_eState;
  std::vector<platform::SSocketBuffer> m_vecWSABUF;
  std::vector<SWSABUFInfo> m_vecWSABUFInfo;
  uint32_t m_uCurrentOrFinalPreparedWSABUFIdx;
  uint32_t m_uNextIncompleteSendOrReceiveWSABUFIdx;
  uint32_t m_uSizeOfLengthPrefixedMsg;
  uint8_t* m_pReceivedEnd;
};

}  // namespace common
