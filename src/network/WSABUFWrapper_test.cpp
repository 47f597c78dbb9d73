#include "network/WSABUFWrapper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "network/NetTestUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::Hex;

// What the wrapper would hand to a send, as bytes.
std::string PendingSend(CWSABUFWrapper& w) {
  platform::SSocketBuffer* p = w.GetWSABUFsForSend();
  std::string s;
  for (uint32_t u = 0; u < w.GetNumWSABUFsForSend(); ++u) {
    s.append(reinterpret_cast<const char*>(p[u].pData), p[u].uLength);
  }
  return s;
}

// Delivers bytes as one receive would; returns ConsumeReceived's answer.
bool Deliver(CWSABUFWrapper& w, const std::string& sBytes) {
  platform::SSocketBuffer* p = w.GetWSABUFsForReceive();
  EXPECT_LE(sBytes.size(), p[0].uLength);
  std::memcpy(p[0].pData, sBytes.data(), sBytes.size());
  return w.ConsumeReceived(static_cast<uint32_t>(sBytes.size()));
}

TEST(WSABUFWrapper, AppendsBigEndianIntegersStringsAndBytes) {
  CWSABUFWrapper w(256, 1);
  w.Append(static_cast<uint8_t>(7));
  w.Append(static_cast<uint16_t>(0x1234));
  w.Append(static_cast<uint32_t>(21));
  w.Append(std::string("abc"));
  w.Append("\xFF\x01", 2);
  EXPECT_EQ(CWSABUFWrapper::eConfiguredForSend, w.GetState());
  EXPECT_EQ("07 12 34 00 00 00 15 00 03 61 62 63 FF 01", Hex(PendingSend(w)));
}

TEST(WSABUFWrapper, GrowsByHalfItsSizePlusWhatIsNeeded) {
  CWSABUFWrapper w(16, 1);
  std::string sBig(20, 'x');
  w.Append(static_cast<uint32_t>(1));
  w.Append(sBig.data(), 20);
  EXPECT_EQ(4u + 20u + 8u, w.GetStorageSize());
  EXPECT_EQ("00 00 00 01 " + Hex(sBig), Hex(PendingSend(w)));
  CWSABUFWrapper empty(0, 1);
  empty.Append(static_cast<uint16_t>(2));
  EXPECT_EQ(2u, empty.GetStorageSize());
}

TEST(WSABUFWrapper, PartialSendsEndInReset) {
  CWSABUFWrapper w(256, 1);
  w.Append("0123456789", 10);
  EXPECT_EQ("0123456789", PendingSend(w));
  EXPECT_FALSE(w.ConsumeSent(4));
  EXPECT_EQ(CWSABUFWrapper::eDonePartialSend, w.GetState());
  EXPECT_EQ("456789", PendingSend(w));
  EXPECT_TRUE(w.ConsumeSent(6));
  EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
}

TEST(WSABUFWrapper, PlainReceiveInPiecesThenExtract) {
  CWSABUFWrapper w(256, 1);
  EXPECT_TRUE(w.PrepareToReceive(6));
  EXPECT_FALSE(Deliver(w, Bytes({1, 0x12})));
  EXPECT_FALSE(Deliver(w, Bytes({0x34, 0})));
  EXPECT_TRUE(Deliver(w, Bytes({0, 1})));
  EXPECT_EQ(CWSABUFWrapper::eCompletedReceive, w.GetState());
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  w.ExtractNext(&u8);
  w.ExtractNext(&u16);
  EXPECT_EQ(1, u8);
  EXPECT_EQ(0x1234, u16);
  EXPECT_EQ("ProtocolError - Not enough data for ExtractNext(u32)",
            ErrorOf([&] { w.ExtractNext(&u32); }));
  EXPECT_EQ("ProtocolError - Message not fully consumed", ErrorOf([&] { w.DoneExtracting(); }));
  EXPECT_EQ("00 00", Hex(std::string(reinterpret_cast<char*>(w.ExtractGap(2)), 2)));
  EXPECT_EQ("ProtocolError - Not enough data for ExtractGap()", ErrorOf([&] { w.ExtractGap(2); }));
  EXPECT_EQ("ProtocolError - Not enough data for ExtractNext(u16)",
            ErrorOf([&] { w.ExtractNext(&u16); }));
  w.ExtractNext(&u8);
  EXPECT_EQ(1, u8);
  EXPECT_EQ("ProtocolError - Not enough data for ExtractNext(u8)",
            ErrorOf([&] { w.ExtractNext(&u8); }));
  w.DoneExtracting();
  EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
}

TEST(WSABUFWrapper, ExternalAreaReceivesInPlace) {
  CWSABUFWrapper w(256, 1);
  uint8_t au8Area[5] = {};
  w.SetExternalReceiveAreaAndSize(au8Area, 5);
  EXPECT_FALSE(Deliver(w, "ab"));
  EXPECT_TRUE(Deliver(w, "cde"));
  EXPECT_EQ(0, std::memcmp(au8Area, "abcde", 5));
  EXPECT_EQ(au8Area, w.ExtractGap(5));
  w.DoneExtracting();

  w.Append(static_cast<uint8_t>(1));
  EXPECT_EQ("CWSABUFWrapper::SetExternalReceiveAreaAndSize: buffer has unconsumed data",
            ErrorOf([&] { w.SetExternalReceiveAreaAndSize(au8Area, 5); }));
}

TEST(WSABUFWrapper, LengthPrefixSplitAcrossThreeReceives) {
  CWSABUFWrapper w(256, 1);
  EXPECT_FALSE(w.PrepareToReceiveLengthPrefixedMsg());
  EXPECT_FALSE(Deliver(w, Bytes({0, 0})));
  EXPECT_FALSE(Deliver(w, Bytes({0, 3, 0xAA})));
  EXPECT_EQ(CWSABUFWrapper::eDonePartialReceiveLengthPrefixedMsg, w.GetState());
  EXPECT_FALSE(Deliver(w, Bytes({0xBB})));
  EXPECT_TRUE(Deliver(w, Bytes({0xCC})));
  EXPECT_EQ(CWSABUFWrapper::eCompletedReceiveLengthPrefixedMsg, w.GetState());
  EXPECT_EQ("AA BB CC", Hex(std::string(reinterpret_cast<char*>(w.ExtractGap(3)), 3)));
  w.DoneExtracting();
  EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
}

TEST(WSABUFWrapper, TwoMessagesInOneReceive) {
  CWSABUFWrapper w(256, 1);
  w.PrepareToReceiveLengthPrefixedMsg();
  EXPECT_TRUE(Deliver(w, Bytes({0, 0, 0, 2, 0x11, 0x22, 0, 0, 0, 1, 0x33, 0, 0})));
  uint16_t u16 = 0;
  w.ExtractNext(&u16);
  EXPECT_EQ(0x1122, u16);
  w.DoneExtracting();
  EXPECT_EQ(CWSABUFWrapper::eFinishedExtractingLengthPrefixedMsg, w.GetState());
  EXPECT_TRUE(w.PrepareToReceiveLengthPrefixedMsg());
  EXPECT_EQ(CWSABUFWrapper::eCompleteLengthPrefixedMsgAlreadyInBuffer, w.GetState());
  EXPECT_TRUE(w.IsReceiveComplete());
  uint8_t u8 = 0;
  w.ExtractNext(&u8);
  EXPECT_EQ(0x33, u8);
  w.DoneExtracting();
  // Two bytes of a third prefix are held; the rest must still come.
  EXPECT_FALSE(w.PrepareToReceiveLengthPrefixedMsg());
  EXPECT_FALSE(Deliver(w, Bytes({0, 1})));
  EXPECT_TRUE(Deliver(w, Bytes({0x44})));
  w.ExtractNext(&u8);
  EXPECT_EQ(0x44, u8);
  w.DoneExtracting();
  EXPECT_EQ(CWSABUFWrapper::eReset, w.GetState());
}

TEST(WSABUFWrapper, BodyThatWouldRunPastTheStorageIsMovedToItsStart) {
  CWSABUFWrapper w(8, 1);
  w.PrepareToReceiveLengthPrefixedMsg();
  EXPECT_TRUE(Deliver(w, Bytes({0, 0, 0, 1, 9, 0, 0, 0})));
  uint8_t u8 = 0;
  w.ExtractNext(&u8);
  w.DoneExtracting();
  EXPECT_FALSE(w.PrepareToReceiveLengthPrefixedMsg());
  EXPECT_FALSE(Deliver(w, Bytes({8, 1, 2, 3})));
  EXPECT_TRUE(Deliver(w, Bytes({4, 5, 6, 7, 8})));
  EXPECT_EQ("01 02 03 04 05 06 07 08",
            Hex(std::string(reinterpret_cast<char*>(w.ExtractGap(8)), 8)));
  w.DoneExtracting();
}

TEST(WSABUFWrapper, BadLengthPrefixes) {
  for (const std::string& sPrefix :
       {Bytes({0, 0, 0, 0}), Bytes({0, 0, 1, 1}), Bytes({0xFF, 0xFF, 0xFF, 0xFF})}) {
    CWSABUFWrapper w(256, 1);
    w.PrepareToReceiveLengthPrefixedMsg();
    EXPECT_EQ("ProtocolError - Bad message LengthPrefix", ErrorOf([&] { Deliver(w, sPrefix); }));
  }
  CWSABUFWrapper w(256, 1);
  w.PrepareToReceiveLengthPrefixedMsg();
  EXPECT_FALSE(Deliver(w, Bytes({0, 0, 1, 0})));  // exactly the storage size is allowed
}

TEST(WSABUFWrapper, OutOfStateCallsAreReportedByName) {
  larch_test::CCheckRecorder recorder;
  CWSABUFWrapper w(256, 1);
  EXPECT_THROW(w.DoneExtracting(), std::logic_error);
  EXPECT_THROW(w.GetWSABUFsForSend(), std::logic_error);
  EXPECT_THROW(w.GetWSABUFsForReceive(), std::logic_error);
  uint8_t u8;
  EXPECT_THROW(w.ExtractNext(&u8), std::logic_error);
  EXPECT_THROW(w.ExtractNext(static_cast<uint8_t*>(nullptr)), std::logic_error);
  w.Append(static_cast<uint8_t>(1));
  EXPECT_THROW(w.PrepareToReceive(1), std::logic_error);
  EXPECT_THROW(w.PrepareToReceiveLengthPrefixedMsg(), std::logic_error);
  PendingSend(w);
  EXPECT_THROW(w.Append(static_cast<uint8_t>(1)), std::logic_error);
  EXPECT_THROW(w.ConsumeSent(0), std::logic_error);
  EXPECT_THROW(w.ConsumeSent(2), std::logic_error);
  w.Reset();
  EXPECT_THROW(w.Append(std::string(65536, 'x')), std::logic_error);
  EXPECT_THROW(w.Append(nullptr, 1), std::logic_error);
  w.PrepareToReceive(2);
  EXPECT_THROW(w.PrepareToReceive(2), std::logic_error);
  Deliver(w, "a");
  EXPECT_THROW(w.ConsumeReceived(0), std::logic_error);
  EXPECT_THROW(w.ConsumeReceived(2), std::logic_error);
  CWSABUFWrapper none(0, 0);
  EXPECT_EQ(
      (std::vector<std::string>{
          "AssertPreCondition:Done extracting", "AssertPreCondition:Allowed to send",
          "AssertPreCondition:Allowed to receive", "AssertPreCondition:Allowed to extract",
          "AssertPreCondition:Valid pReceiveData",
          "AssertPreCondition:Allowed to prepare for receive",
          "AssertPreCondition:Allowed to receive", "AssertPreCondition:Allowed to append",
          "AssertPreCondition:Valid uNumBytesSent", "AssertPreCondition:Not receive too many bytes",
          "AssertPreCondition:String not too long", "AssertPreCondition:Valid pData",
          "AssertPreCondition:Not already prepared to receive",
          "AssertPreCondition:Received more than 0 bytes",
          "AssertPreCondition:Not receive too many bytes",
          "AssertPreCondition:Valid uNumInitialWSABUFs "}),
      recorder.m_vecChecks);
  EXPECT_EQ("sString.length() <= 0xffff", recorder.m_vecExpressions[10]);
  EXPECT_EQ("uNumInitialWSABUFs > 0", recorder.m_vecExpressions[15]);
}

}  // namespace
}  // namespace common
