// 'larchtool publish' and 'larchtool sign' on the record's verifying fields: the package digest,
// the sequence number, the signature and expiry, and the guards that keep an operator from
// locking bootstrappers out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommandTestUtil.h"
#include "PeTestImage.h"
#include "platform/Branding.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;
namespace fs = std::filesystem;

constexpr uint64_t sc_u64Day = 86400;

uint64_t Now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

std::string Date(uint64_t u64Seconds) {
  std::time_t t = static_cast<std::time_t>(u64Seconds);
  char sz[16];
  std::strftime(sz, sizeof(sz), "%Y-%m-%d", std::gmtime(&t));
  return sz;
}

class PublishCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_dir / "pub");
    larch_test::WriteFile(m_dir / "app.txt", "application");
    for (const char* pszKey : {"k", "other"}) {
      ASSERT_EQ(0u, Tool(std::string("keygen '") + (m_dir / pszKey) + "'"));
      m_keys[pszKey] = FileText(m_dir / pszKey + ".pub").substr(0, 64);
    }
  }
  uint32_t Tool(const std::string& sArgs) { return RunTool(m_dir, sArgs, m_sOut, m_sErr); }
  uint32_t Publish(const std::string& sArgs) {
    return Tool("publish --dir '" + m_dir / "pub" + "' " + sArgs);
  }
  std::string Key(const char* pszName) { return "--sign-key '" + m_dir / pszName + "'"; }
  std::unique_ptr<CClientConfigRecord> Record() {
    std::vector<uint8_t> image = larch_test::ReadFileBytes(m_dir / "pub/ClientConfigRecord.blob");
    return std::unique_ptr<CClientConfigRecord>(
        new CClientConfigRecord(image.data(), static_cast<uint32_t>(image.size())));
  }
  common::PublicKey PublicKey(const char* pszName) {
    common::PublicKey key;
    EXPECT_TRUE(common::FromHex(m_keys[pszName], key.data(), key.size()));
    return key;
  }
  // Every file of the publish directory with its bytes.
  std::map<std::string, std::string> Published() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(m_dir / "pub")) {
      files[entry.path().filename().string()] = FileText(entry.path().string());
    }
    return files;
  }
  // A POSIX bootstrapper whose branding area holds the public keys given by name.
  std::string Bootstrapper(const std::string& sName, const std::vector<const char*>& keys) {
    std::string sArea(platform::sc_uBrandingAreaSize, '\0');
    sArea.replace(0, std::strlen(LARCH_BRANDING_MARKER), LARCH_BRANDING_MARKER);
    for (size_t u = 0; u < keys.size(); ++u) {
      sArea.replace(platform::sc_aBrandingSlots[2 + u].uOffset, 64, m_keys[keys[u]]);
    }
    larch_test::WriteFile(m_dir / sName,
                          "\x7f"
                          "ELF" +
                              sArea);
    return "--component Larch --version 2 --bootstrapper '" + m_dir / sName + "'";
  }

  larch_test::CScratchDir m_dir;
  std::map<std::string, std::string> m_keys;  // public keys in hexadecimal
  std::string m_sOut, m_sErr;
};

void ExpectDigestOf(const CClientConfigRecord& record, bool bBootstrapper,
                    const std::string& sPkg) {
  std::string sBytes = FileText(sPkg);
  CClientConfigRecord::SPackageDigest digest;
  ASSERT_TRUE(record.GetPackageDigest(bBootstrapper, digest));
  EXPECT_EQ(sBytes.size(), digest.u64Size);
  EXPECT_EQ(common::CSha256::Digest(sBytes.data(), sBytes.size()), digest.hash);
}

TEST_F(PublishCommand, RecordsEachPackagesDigestAndRaisesTheSequence) {
  ASSERT_EQ(0u, Publish("--component W --version 1 '" + m_dir / "app.txt" + "'")) << m_sErr;
  EXPECT_EQ("published W version 1: W_1.pkg (1 files)\nrecord: sequence 1, not signed\n", m_sOut);
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-new", {})));
  std::unique_ptr<CClientConfigRecord> pRecord = Record();
  ExpectDigestOf(*pRecord, false, m_dir / "pub/W_1.pkg");
  ExpectDigestOf(*pRecord, true, m_dir / "pub/Larch_2.pkg");
  uint64_t u64Value = 0;
  EXPECT_TRUE(pRecord->GetSequenceNum(u64Value));
  EXPECT_EQ(2u, u64Value);
  EXPECT_FALSE(pRecord->IsSigned());
  EXPECT_FALSE(pRecord->GetExpiryTime(u64Value));
}

TEST_F(PublishCommand, SignsWithTheKeyAndSignAgainMovesTheExpiry) {
  ASSERT_EQ(0u, Publish("--component W --version 1 " + Key("k") + " --expires 10 '" +
                        m_dir / "app.txt" + "'"))
      << m_sErr;
  std::unique_ptr<CClientConfigRecord> pRecord = Record();
  EXPECT_TRUE(pRecord->IsSignedBy(PublicKey("k")));
  EXPECT_FALSE(pRecord->IsSignedBy(PublicKey("other")));
  uint64_t u64Expiry = 0, u64Sequence = 0;
  ASSERT_TRUE(pRecord->GetExpiryTime(u64Expiry));
  EXPECT_NEAR(static_cast<double>(Now() + 10 * sc_u64Day), static_cast<double>(u64Expiry), 60);
  EXPECT_EQ("published W version 1: W_1.pkg (1 files)\nrecord: sequence 1, signed, expires " +
                Date(u64Expiry) + "\n",
            m_sOut);

  ASSERT_EQ(0u, Tool("sign --dir '" + m_dir / "pub" + "' " + Key("k"))) << m_sErr;
  std::unique_ptr<CClientConfigRecord> pSigned = Record();
  EXPECT_TRUE(pSigned->IsSignedBy(PublicKey("k")));
  ASSERT_TRUE(pSigned->GetExpiryTime(u64Expiry));
  EXPECT_NEAR(static_cast<double>(Now() + 30 * sc_u64Day), static_cast<double>(u64Expiry), 60);
  EXPECT_TRUE(pSigned->GetSequenceNum(u64Sequence));
  EXPECT_EQ(2u, u64Sequence);
  EXPECT_EQ("signed " + m_dir / "pub" + "/ClientConfigRecord.blob: sequence 2, signed, expires " +
                Date(u64Expiry) + "\n",
            m_sOut);
  ExpectDigestOf(*pSigned, false, m_dir / "pub/W_1.pkg");

  // Nothing to sign, or a bad expiry.
  fs::create_directories(m_dir / "empty");
  EXPECT_EQ(1u, Tool("sign --dir '" + m_dir / "empty" + "' " + Key("k")));
  EXPECT_EQ("nothing published in " + m_dir / "empty" + ": nothing to sign\n", m_sErr);
  for (const char* pszDays : {"0", "3651", "-1", "1x"}) {
    EXPECT_EQ(2u, Tool("sign --dir '" + m_dir / "pub" + "' " + Key("k") + " --expires " + pszDays));
  }
  EXPECT_EQ(2u, Publish("--component W --version 2 --expires 5 '" + m_dir / "app.txt" + "'"));
  // A secret key file cut short signs nothing.
  const std::map<std::string, std::string> before = Published();
  larch_test::WriteFile(m_dir / "cut", FileText(m_dir / "k").substr(0, 63) + "\n");
  EXPECT_EQ(1u,
            Publish("--component W --version 2 " + Key("cut") + " '" + m_dir / "app.txt" + "'"));
  EXPECT_EQ(m_dir / "cut" + " is not a secret key file (64 hexadecimal digits on one line)\n",
            m_sErr);
  EXPECT_EQ(before, Published());
}

TEST_F(PublishCommand, GuardsRefuseWithoutWritingAndForceWarns) {
  ASSERT_EQ(0u, Publish("--component W --version 1 " + Key("k") + " '" + m_dir / "app.txt" + "'"));
  const std::map<std::string, std::string> before = Published();
  const std::string sUnsigned =
      "the record in " + m_dir / "pub" +
      " is signed: an unsigned one would be refused by bootstrappers that check signatures; "
      "publish with --sign-key KEYFILE";
  auto OtherKey = [&](const std::string& sExe, const char* pszKey) {
    return sExe + " is not branded with the public key of " + m_dir / pszKey +
           ": once installed it would refuse every record signed with it; brand it with "
           "'larchtool brand EXE --public-key " +
           m_dir / pszKey + ".pub'";
  };
  const std::string sKeysUnsigned = m_dir / "Larch-k" +
                                    " carries release public keys: once installed it would "
                                    "refuse every unsigned record; publish it with --sign-key "
                                    "KEYFILE";
  struct SCase {
    std::string sArgs;
    std::vector<std::string> reasons;  // the first refuses; --force warns of each
  };
  auto KeyChange = [&](const char* pszKey) {
    return "the record is signed with another key than " + m_dir / pszKey +
           "'s: bootstrappers that do not know its public key would refuse every record from now "
           "on; first publish a bootstrapper branded with both keys";
  };
  const std::vector<SCase> cases = {
      {"--component W --version 2 " + Key("other") + " '" + m_dir / "app.txt" + "'",
       {KeyChange("other")}},
      {"--component W --version 2 '" + m_dir / "app.txt" + "'", {sUnsigned}},
      {Bootstrapper("Larch-other", {"other"}) + " " + Key("k"),
       {OtherKey(m_dir / "Larch-other", "k")}},
      {Bootstrapper("Larch-k", {"other", "k"}), {sUnsigned, sKeysUnsigned}},
  };
  for (const SCase& c : cases) {
    EXPECT_EQ(1u, Publish(c.sArgs));
    EXPECT_EQ(c.reasons[0] + " (or give --force)\n", m_sErr);
    EXPECT_EQ(before, Published());
  }
  // A bootstrapper that knows the signing key passes.
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-k", {"other", "k"}) + " " + Key("k")));
  EXPECT_EQ("", m_sErr);
  for (const SCase& c : cases) {
    EXPECT_EQ(0u, Publish(c.sArgs + " --force"));
    std::string sWarnings;
    for (const std::string& sReason : c.reasons) {
      sWarnings += "larchtool publish: warning: " + sReason + "\n";
    }
    EXPECT_EQ(sWarnings, m_sErr);
  }
  EXPECT_FALSE(Record()->IsSigned());
  // sign guards a change of key the same way.
  const std::string sSign = "sign --dir '" + m_dir / "pub" + "' ";
  ASSERT_EQ(0u, Tool(sSign + Key("k")));
  const std::map<std::string, std::string> signedByK = Published();
  EXPECT_EQ(1u, Tool(sSign + Key("other")));
  EXPECT_EQ(KeyChange("other") + " (or give --force)\n", m_sErr);
  EXPECT_EQ(signedByK, Published());
  EXPECT_EQ(0u, Tool(sSign + Key("other") + " --force"));
  EXPECT_EQ("larchtool sign: warning: " + KeyChange("other") + "\n", m_sErr);
  EXPECT_TRUE(Record()->IsSignedBy(PublicKey("other")));

  // A Windows bootstrapper's keys are its resources.
  const std::string sExe = m_dir / "Larch.exe";
  std::vector<uint8_t> image = SmallImage();
  larch_test::WriteFile(sExe, std::string(image.begin(), image.end()));
  ASSERT_EQ(0u, Tool("brand '" + sExe + "' --public-key '" + m_dir / "k.pub" + "'"));
  EXPECT_EQ(1u,
            Publish("--component Larch --version 3 --bootstrapper '" + sExe + "' " + Key("other")));
  EXPECT_EQ(OtherKey(sExe, "other") + " (or give --force)\n", m_sErr);
}

}  // namespace
}  // namespace larchtool
