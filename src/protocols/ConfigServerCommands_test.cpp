#include "protocols/ConfigServerCommands.h"

#include <gtest/gtest.h>

#include "protocols/ClientConfigDBKeyRecord.h"
#include "protocols/ProtocolTestUtil.h"
#include "support/TestUtil.h"

namespace common {
namespace {

using larch_test::ErrorOf;

using larch_test::Bytes;
using larch_test::CScriptedServer;
using larch_test::CServerConnection;
using larch_test::Hex;
using larch_test::StallingServer;
using larch_test::U32BE;
using larch_test::U32LE;
using Weft::CClientConfigRecord;

// The image of a blob with the given numeric fields.
std::string Image(const std::vector<std::pair<uint32_t, std::string>>& fields) {
  CMultiFieldBlob blob;
  for (const auto& field : fields)
    blob.AddField(field.first, field.second.data(), field.second.size());
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.GetSerializedBlob(&uSize);
  return std::string(reinterpret_cast<const char*>(p), uSize);
}

CClientConfigRecord Load(const std::string& sImage) {
  return CClientConfigRecord(reinterpret_cast<const uint8_t*>(sImage.data()),
                             static_cast<uint32_t>(sImage.size()));
}

TEST(ClientConfigRecord, ValidationOfTheThreeFields) {
  CClientConfigRecord good = Load(Image({{0, U32LE(1)}, {1, U32LE(17)}, {2, U32LE(42)}}));
  EXPECT_NO_THROW(good.ValidateFields());
  EXPECT_EQ(17u, good.GetCurrentClientBootstrapVersion());
  EXPECT_EQ(42u, good.GetCurrentClientAppPackageVersion());
  EXPECT_NO_THROW(
      Load(Image({{0, U32LE(1)}, {1, U32LE(2)}, {2, U32LE(3)}, {7, "x"}})).ValidateFields());

  struct SCase {
    std::vector<std::pair<uint32_t, std::string>> fields;
    std::string sError;
  } cases[] = {
      {{{0, "abc"}, {1, U32LE(2)}, {2, U32LE(3)}}, "Bad VersionNum field in ClientConfigRecord"},
      {{{0, U32LE(1)}, {1, "ab"}, {2, U32LE(3)}},
       "Bad eCurrentClientBootstrapVersion field in CClientConfigRecord"},
      {{{0, U32LE(1)}, {1, U32LE(2)}, {2, "abcde"}},
       "Bad eCurrentClientAppPackageVersion field in CClientConfigRecord"},
      {{{0, U32LE(1)}, {1, U32LE(2)}}, "Missing field in CClientConfigRecord"},
      {{}, "Missing field in CClientConfigRecord"},
  };
  for (const SCase& c : cases) {
    CClientConfigRecord record = Load(Image(c.fields));
    EXPECT_EQ(c.sError, ErrorOf([&] { record.ValidateFields(); }));
    CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
    EXPECT_THROW(record.GetSerializedBlob(&uSize), CClientConfigRecord::CValidateFieldsException);
  }
}

TEST(ClientConfigRecord, GettersOfMissingOrShortFieldsReportAndGiveZero) {
  larch_test::CCheckRecorder recorder;
  CClientConfigRecord record = Load(Image({{0, U32LE(1)}, {1, "ab"}}));
  EXPECT_EQ(0u, record.GetCurrentClientBootstrapVersion());
  EXPECT_EQ(0u, record.GetCurrentClientAppPackageVersion());
  EXPECT_EQ((std::vector<std::string>{"uSizeOfFieldData == sizeof( u32VersionNum )", "pFieldData",
                                      "uSizeOfFieldData == sizeof( u32VersionNum )"}),
            recorder.m_vecExpressions);
}

TEST(ClientConfigRecord, BuiltRecordRoundTrips) {
  CClientConfigRecord built(1, 5, 9);
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = built.GetSerializedBlob(&uSize);
  CClientConfigRecord loaded(p, uSize);
  EXPECT_EQ(5u, loaded.GetCurrentClientBootstrapVersion());
  EXPECT_EQ(9u, loaded.GetCurrentClientAppPackageVersion());
}

class ConfigServer : public ::testing::Test {
 protected:
  void SetUp() override { larch_test::StartSocketsOnce(); }
};

CScriptedServer::Script RecordServer(std::string* psGot, const std::string& sReply) {
  return [=](CServerConnection& c) {
    *psGot = c.Read(4);
    c.Write(Bytes({1}));
    *psGot += c.Read(5);
    c.Write(sReply);
    *psGot += c.ReadUntilClosed();
  };
}

TEST_F(ConfigServer, FetchesTheRecord) {
  std::string sImage = Image({{0, U32LE(1)}, {1, U32LE(300)}, {2, U32LE(7)}, {9, "zz"}});
  std::string sGot;
  CScriptedServer server(
      {RecordServer(&sGot, U32BE(static_cast<uint32_t>(sImage.size())) + sImage)});
  std::unique_ptr<Weft::CClientConfigRecord> record =
      ConfigServerGetClientConfigRecord(server.Address());
  EXPECT_EQ(300u, record->GetCurrentClientBootstrapVersion());
  EXPECT_EQ(7u, record->GetCurrentClientAppPackageVersion());
  server.Join();
  EXPECT_EQ("00 00 00 00 00 00 00 01 01", Hex(sGot));
}

TEST_F(ConfigServer, RefusalsAndBadRecords) {
  std::string sGot;
  CScriptedServer refusing({[&](CServerConnection& c) {
    sGot = c.Read(4);
    c.Write(Bytes({0}));
    sGot += c.ReadUntilClosed();
  }});
  EXPECT_EQ("ConfigServer unacceptable protocol version",
            ErrorOf([&] { ConfigServerGetClientConfigRecord(refusing.Address()); }));
  refusing.Join();
  EXPECT_EQ("00 00 00 00 01", Hex(sGot));

  std::string sMissing = Image({{0, U32LE(1)}, {1, U32LE(2)}});
  CScriptedServer missing(
      {RecordServer(&sGot, U32BE(static_cast<uint32_t>(sMissing.size())) + sMissing)});
  EXPECT_EQ("Missing field in CClientConfigRecord",
            ErrorOf([&] { ConfigServerGetClientConfigRecord(missing.Address()); }));

  for (const std::string& sReply :
       {U32BE(5) + "junk!", U32BE(0), U32BE(300) + std::string(300, 'x')}) {
    CScriptedServer garbage({RecordServer(&sGot, sReply)});
    EXPECT_THROW(ConfigServerGetClientConfigRecord(garbage.Address()),
                 CMultiFieldBlob::CBlobException);
  }
  // The server closes in the middle of the record.
  CScriptedServer closing({[&](CServerConnection& c) {
    c.Read(4);
    c.Write(Bytes({1}));
    c.Read(5);
    c.Write(U32BE(300) + "abc");
  }});
  EXPECT_EQ("Connection Closed by Peer, WinSock Error 0 \"No error\"",
            ErrorOf([&] { ConfigServerGetClientConfigRecord(closing.Address()); }));
}

// The refusal is raised by the check that precedes the buffer's growth to the announced length,
// so the refusal's text shows that nothing was allocated for it. At the bound itself the record
// is taken (and the server's close is what ends it).
TEST_F(ConfigServer, RecordLengthAboveOneMebibyteIsRefused) {
  struct SCase {
    uint32_t uLength;
    std::string sError;
  } cases[] = {
      {0xFFFFFF00u, "ConfigServer: record length 4294967040 exceeds 1048576"},
      {1048577, "ConfigServer: record length 1048577 exceeds 1048576"},
      {1048576, "Connection Closed by Peer, WinSock Error 0 \"No error\""},
  };
  for (const SCase& c : cases) {
    CScriptedServer server({[&](CServerConnection& conn) {
      conn.Read(4);
      conn.Write(Bytes({1}));
      conn.Read(5);
      conn.Write(U32BE(c.uLength) + "abc");
    }});
    EXPECT_EQ(c.sError, ErrorOf([&] { ConfigServerGetClientConfigRecord(server.Address()); }));
  }
}

TEST_F(ConfigServer, StallsEndInTheTimeOutOrAfterTheAnswer) {
  larch_test::CShortTimeouts timeouts;
  std::string sImage = Image({{0, U32LE(1)}, {1, U32LE(300)}, {2, U32LE(7)}});
  const std::string sReply = U32BE(static_cast<uint32_t>(sImage.size())) + sImage;
  for (larch_test::EStallStep eStep :
       {larch_test::eStallBeforeAnswer, larch_test::eStallMidReply}) {
    CScriptedServer server({StallingServer(eStep, 5, sReply, nullptr)});
    EXPECT_EQ("Timed out after 1 s waiting for " + server.AddressText(),
              ErrorOf([&] { ConfigServerGetClientConfigRecord(server.Address()); }));
  }
  larch_test::SHoldOpen hold;
  CScriptedServer server({StallingServer(larch_test::eStallAfterReply, 5, sReply, &hold)});
  EXPECT_EQ(
      300u,
      ConfigServerGetClientConfigRecord(server.Address())->GetCurrentClientBootstrapVersion());
  hold.bClientReturned = true;
  server.Join();
  EXPECT_TRUE(hold.bReturnedWhileOpen.load());
}

}  // namespace
}  // namespace common

namespace common {
namespace {

// A record as a publish writes it: versions, digests, sequence, expiry, signed last.
Weft::CClientConfigRecord SignedRecord(const CSigningKey& key) {
  Weft::CClientConfigRecord record(1, 3, 5);
  record.SetField(4, std::string("CLIENT"));
  Weft::CClientConfigRecord::SPackageDigest digest;
  digest.u64Size = 0x100000002ull;
  digest.hash = CSha256::Digest("pkg", 3);
  record.SetPackageDigest(false, digest);
  record.SetSequenceNum(7);
  record.SetExpiryTime(1800000000);
  record.Sign(key);
  return record;
}

std::string ImageOf(const CMultiFieldBlob& blob) {
  CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* p = blob.GetSerializedBlob(&uSize);
  return std::string(reinterpret_cast<const char*>(p), uSize);
}

// What the bootstrapper receives: the image, loaded again. A reader of the three version fields
// alone accepts it; the signature holds over the reloaded bytes and breaks with any change.
TEST(ClientConfigRecord, SignedRecordSurvivesTheWireAndOldReaders) {
  CSigningKey key = CSigningKey::Generate(), other = CSigningKey::Generate();
  Weft::CClientConfigRecord received = Load(ImageOf(SignedRecord(key)));
  EXPECT_NO_THROW(received.ValidateFields());
  EXPECT_EQ(3u, received.GetCurrentClientBootstrapVersion());
  EXPECT_EQ(5u, received.GetCurrentClientAppPackageVersion());
  EXPECT_TRUE(received.IsSignedBy(key.Public()));
  EXPECT_FALSE(received.IsSignedBy(other.Public()));

  Weft::CClientConfigRecord::SPackageDigest digest;
  ASSERT_TRUE(received.GetPackageDigest(false, digest));
  EXPECT_EQ(0x100000002ull, digest.u64Size);
  EXPECT_EQ(CSha256::Digest("pkg", 3), digest.hash);
  EXPECT_FALSE(received.GetPackageDigest(true, digest));
  uint64_t u64 = 0;
  ASSERT_TRUE(received.GetSequenceNum(u64));
  EXPECT_EQ(7u, u64);
  ASSERT_TRUE(received.GetExpiryTime(u64));
  EXPECT_EQ(1800000000u, u64);

  received.SetField(2, uint32_t(6));
  EXPECT_FALSE(received.IsSignedBy(key.Public()));
  received.Sign(other);
  EXPECT_TRUE(received.IsSignedBy(other.Public()));
  received.RemoveSignature();
  EXPECT_FALSE(received.IsSigned());
  EXPECT_FALSE(received.IsSignedBy(other.Public()));
}

TEST(ClientConfigRecord, MalformedVerifyingFieldsAreRefused) {
  const std::string sVersions[] = {U32LE(1), U32LE(2), U32LE(3)};
  struct SCase {
    std::vector<std::pair<uint32_t, std::string>> extra;
    std::string sError;
  } cases[] = {
      {{{9, U32LE(1)}}, "Bad SequenceNum field in CClientConfigRecord"},
      {{{10, std::string(9, 'x')}}, "Bad ExpiryTime field in CClientConfigRecord"},
      {{{7, std::string(8, 'x')}}, "Bad ClientAppPackageSha256 field in CClientConfigRecord"},
      {{{7, std::string(8, 'x')}, {8, std::string(31, 'x')}},
       "Bad ClientAppPackageSha256 field in CClientConfigRecord"},
      {{{6, std::string(32, 'x')}}, "Bad BootstrapPackageSize field in CClientConfigRecord"},
      {{{11, std::string(63, 'x')}}, "Bad Signature field in CClientConfigRecord"},
      {{{12, std::string(45, 'x')}}, "Bad ClientAppDeltas field in CClientConfigRecord"},
  };
  for (const SCase& c : cases) {
    std::vector<std::pair<uint32_t, std::string>> fields = {
        {0, sVersions[0]}, {1, sVersions[1]}, {2, sVersions[2]}};
    fields.insert(fields.end(), c.extra.begin(), c.extra.end());
    Weft::CClientConfigRecord record = Load(Image(fields));
    EXPECT_NO_THROW(record.ValidateFields());
    Weft::CClientConfigRecord::SPackageDigest digest;
    uint64_t u64 = 0;
    EXPECT_EQ(c.sError, ErrorOf([&] {
                record.GetSequenceNum(u64);
                record.GetExpiryTime(u64);
                record.GetPackageDigest(false, digest);
                record.GetPackageDigest(true, digest);
                record.IsSignedBy(PublicKey{});
                std::vector<Weft::CClientConfigRecord::SDeltaOffer> offers;
                record.GetClientAppDeltas(offers);
              }));
  }
}

// The offers' bytes, and a signature that covers them.
TEST(ClientConfigRecord, DeltaOffersAreSignedFieldsOfTheirOwn) {
  Weft::CClientConfigRecord record(1, 2, 5);
  Weft::CClientConfigRecord::SDeltaOffer offer;
  offer.u32FromVersion = 4;
  offer.digest.u64Size = 0x0102030405;
  offer.digest.hash.fill(0xAB);
  record.SetClientAppDeltas({offer});
  const CSigningKey key = CSigningKey::FromSeed(KeySeed{3});
  record.Sign(key);
  uint32_t uSize = 0;
  const uint8_t* pField = record.FindFieldData(Weft::CClientConfigRecord::CFieldName(12), &uSize);
  ASSERT_NE(nullptr, pField);
  EXPECT_EQ(U32LE(4) + std::string("\x05\x04\x03\x02\x01\0\0\0", 8) + std::string(32, '\xAB'),
            std::string(reinterpret_cast<const char*>(pField), uSize));
  std::vector<Weft::CClientConfigRecord::SDeltaOffer> offers;
  ASSERT_TRUE(record.GetClientAppDeltas(offers));
  ASSERT_EQ(1u, offers.size());
  EXPECT_EQ(4u, offers[0].u32FromVersion);
  EXPECT_EQ(offer.digest.u64Size, offers[0].digest.u64Size);
  EXPECT_EQ(offer.digest.hash, offers[0].digest.hash);
  EXPECT_TRUE(record.IsSignedBy(key.Public()));
  offer.u32FromVersion = 3;
  record.SetClientAppDeltas({offer});
  EXPECT_FALSE(record.IsSignedBy(key.Public()));
  record.SetClientAppDeltas({});
  EXPECT_FALSE(record.GetClientAppDeltas(offers));
}

}  // namespace
}  // namespace common
