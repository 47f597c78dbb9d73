#include "protocols/ConfigServerCommands.h"

#include <stdexcept>
#include <string>

#include "network/SocketHelperFunctions.h"
#include "protocols/ServerConversation.h"

namespace common {

std::unique_ptr<Weft::CClientConfigRecord> ConfigServerGetClientConfigRecord(
    const CIPAddrPort& configServer) {
  CWSABUFWrapper wrappedWSABUF(256, 1);
  CSocketGuard socket(CreateSessionSocket(configServer));
  if (ExchangeProtocolVersion(wrappedWSABUF, socket.Get(), sc_u32ConfigServerProtocolVersion,
                              nullptr, nullptr) == 0) {
    SendClosingByte(wrappedWSABUF, socket.Get(), nullptr, nullptr);
    throw std::runtime_error("ConfigServer unacceptable protocol version");
  }
  AppendClientConfigRecordRequest(wrappedWSABUF);
  DoBlockingSend(socket.Get(), wrappedWSABUF);

  wrappedWSABUF.PrepareToReceive(4);
  Receive(wrappedWSABUF, socket.Get(), nullptr, nullptr);
  uint32_t u32RecordSize = 0;
  wrappedWSABUF.ExtractNext(&u32RecordSize);
  wrappedWSABUF.DoneExtracting();
  // The length comes from the network: it is checked before the buffer grows to it.
  if (u32RecordSize > sc_uMaxConfigRecordSize) {
    throw std::runtime_error("ConfigServer: record length " + std::to_string(u32RecordSize) +
                             " exceeds " + std::to_string(sc_uMaxConfigRecordSize));
  }

  // The buffer grows to the record's size.
  if (wrappedWSABUF.PrepareToReceive(u32RecordSize)) {
    Receive(wrappedWSABUF, socket.Get(), nullptr, nullptr);
  }
  const uint8_t* pSerialized = wrappedWSABUF.ExtractGap(u32RecordSize);
  wrappedWSABUF.DoneExtracting();
  // The record copies the bytes, which stay in the buffer's storage until its next use.
  auto record = std::make_unique<Weft::CClientConfigRecord>(pSerialized, u32RecordSize);
  // The record comes from the network: a record without its versions must not pass as one
  // that publishes version 0.
  record->ValidateFields();
  DoBlockingConnectionShutdown(wrappedWSABUF, socket.Get());
  return record;
}

void AppendClientConfigRecordRequest(CWSABUFWrapper& wrappedWSABUF) {
  AppendOneByteRequest(wrappedWSABUF, sc_u8SendClientConfigRecordCommand);
}

uint8_t ExtractClientConfigRecordRequest(CWSABUFWrapper& wrappedWSABUF) {
  return ExtractOneByteRequest(wrappedWSABUF);
}

void AppendClientConfigRecordReply(CWSABUFWrapper& wrappedWSABUF,
                                   const Weft::CClientConfigRecord& record) {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = record.GetSerializedBlob(&uSize);
  wrappedWSABUF.Append(static_cast<uint32_t>(uSize));
  wrappedWSABUF.Append(pImage, uSize);
}

}  // namespace common
