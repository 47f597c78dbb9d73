// Verified releases end to end: bootstrappers branded with release public keys against records
// signed in the publish directory, and packages checked against the sizes and hashes the record
// publishes. The records are completed here with the library, as the operator's tool does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Deployment.h"
#include "bootstrapper/ReleaseCheck.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/Sha256.h"
#include "security/SigningKey.h"

namespace {

using namespace larch_e2e;
using Weft::CClientConfigRecord;

uint64_t NowUtc() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

class VerifiedUpdate : public Deployment {
 protected:
  // A key pair made by `larchtool keygen`; returns the secret key, read back from its file.
  common::CSigningKey MakeKey(const std::string& sName) {
    Tool("keygen " + Quote(m_dir / sName));
    common::KeySeed seed{};
    std::string sText = ReadFile(m_dir / sName);
    EXPECT_TRUE(common::FromHex(sText.substr(0, 64), seed.data(), seed.size())) << sText;
    return common::CSigningKey::FromSeed(seed);
  }
  std::string KeyOption(const std::string& sName) {
    return " --public-key " + Quote(m_dir / (sName + ".pub"));
  }
  // Every publish from now on signs with the key (the records are then completed here, with the
  // sequence numbers and expiry times the test needs).
  void PublishSignedWith(const std::string& sName, const std::string& sMore = "") {
    m_sPublishOptions = " --sign-key " + Quote(m_dir / sName) + sMore;
  }

  // The published packages' sizes and hashes, the sequence number and the expiry, signed.
  void SignRelease(const common::CSigningKey& key, uint64_t u64Sequence,
                   uint64_t u64Expiry = NowUtc() + 86400) {
    EditRecord([&](CClientConfigRecord& record) {
      AddDigest(record, true, "Larch_" + std::to_string(record.GetCurrentClientBootstrapVersion()));
      AddDigest(record, false,
                "CLIENT_" + std::to_string(record.GetCurrentClientAppPackageVersion()));
      record.SetSequenceNum(u64Sequence);
      record.SetExpiryTime(u64Expiry);
      record.Sign(key);
    });
  }
  // Returns the package's bytes as they were.
  std::string FlipAByte(const std::string& sPackage) {
    const std::string sGood = ReadFile(m_sPub + "/" + sPackage);
    std::string sBytes = sGood;
    sBytes[sBytes.size() / 2] ^= 0x01;
    WriteFile(m_sPub + "/" + sPackage, sBytes);
    return sGood;
  }
  // The installation but its version file, which keeps the sequence number of an accepted record.
  std::map<std::string, std::string> Installed() {
    std::map<std::string, std::string> files = Snapshot();
    files.erase("Larch.blb");
    return files;
  }
  // The version file's sequence number; empty when it has none.
  std::string SequenceNum() {
    const char* pszName = "ReleaseRecordSequenceNum";
    common::CBlobRegistry registry(Inst("Larch.blb"), true, 5000);
    if (!registry.ValueExists(pszName, pszName)) return "";
    std::string sValue;
    registry.GetStringValue(pszName, pszName, sValue);
    return sValue;
  }
};

const char sc_szClientUpdated[] =
    "Updating CLIENT.dll to version 2. Please wait...\n"
    "Updating CLIENT.dll to version 2. Unpacking please wait...\n"
    "Game version: 2\n"
    "CLIENT.dll has been updated to version 2\n";

// A self-update and a client update from signed records; then packages that differ from what
// a correctly signed record publishes are refused and leave the installation as it was.
TEST_F(VerifiedUpdate, SignedReleasesInstallAndTamperedPackagesAreRefused) {
  StartServer();
  const common::CSigningKey key = MakeKey("release");
  PublishSignedWith("release");
  PublishClient(1, {{"a.txt", "a1"}});
  InstallBootstrapper(KeyOption("release"));
  const std::string sNew = PublishBootstrapper(1, KeyOption("release"));
  SignRelease(key, 1);
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(ReadFile(Inst("Larch.exe")), ReadFile(sNew));
  EXPECT_EQ(ReadFile(Inst("a.txt")), "a1");
  EXPECT_EQ(Version("BootStrapperVersionNum") + Version("ClientAppVersionNum") + SequenceNum(),
            "111");

  PublishClient(2, {{"a.txt", "a2"}});
  SignRelease(key, 2);
  const std::string sClient2 = FlipAByte("CLIENT_2.pkg");
  const std::map<std::string, std::string> installed = Installed();
  EXPECT_EQ(RunUntilError(), "ERROR: package CLIENT_2.pkg does not match its published hash");
  EXPECT_EQ(Installed(), installed);
  EXPECT_FALSE(Exists(Inst("CLIENT_2.pkg.part")));
  EXPECT_EQ(Version("ClientAppVersionNum") + SequenceNum(), "12");

  // Version 2 differs from version 1: the key fills both slots.
  const std::string sNew2 = PublishBootstrapper(2, KeyOption("release") + KeyOption("release"));
  WriteFile(m_sPub + "/CLIENT_2.pkg", sClient2);
  SignRelease(key, 3);
  const std::string sBoot2 = FlipAByte("Larch_2.pkg");
  EXPECT_EQ(RunUntilError(), "ERROR: package Larch_2.pkg does not match its published hash");
  EXPECT_EQ(Installed(), installed);
  EXPECT_EQ(ReadFile(Inst("Larch.exe")), ReadFile(sNew));
  EXPECT_EQ(Version("BootStrapperVersionNum") + SequenceNum(), "13");

  // The package as published: both updates go through.
  WriteFile(m_sPub + "/Larch_2.pkg", sBoot2);
  RunLarch();  // ends once the self-updater is started; its successors write to the same file
  ASSERT_TRUE(WaitForStarts(2));
  const std::string sErr = ReadFile(m_sErr);
  EXPECT_NE(sErr.find(sc_szClientUpdated), std::string::npos) << sErr;
  EXPECT_EQ(ReadFile(Inst("a.txt")), "a2");
  EXPECT_EQ(ReadFile(Inst("Larch.exe")), ReadFile(sNew2));
  EXPECT_EQ(Version("BootStrapperVersionNum") + Version("ClientAppVersionNum") + SequenceNum(),
            "223");
}

// Records that a branded key does not vouch for, or no longer, are refused before any download.
TEST_F(VerifiedUpdate, RecordsTheKeyDoesNotVouchForAreRefused) {
  StartServer();
  const common::CSigningKey key = MakeKey("release");
  const common::CSigningKey other = MakeKey("other");
  PublishSignedWith("release");
  PublishClient(1, {});
  InstallBootstrapper(KeyOption("release"));
  SignRelease(key, 4);
  const std::string sOlder = ReadFile(PublishedRecordFile());
  SignRelease(key, 5);
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(SequenceNum(), "5");

  PublishClient(2, {});
  const std::map<std::string, std::string> installed = Snapshot();
  const int nRequests = ContentRequests();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { SignRelease(other, 6); }, "ERROR: release record signature does not verify"},
      {[&] { EditRecord([](CClientConfigRecord& r) { r.RemoveSignature(); }); },
       "ERROR: release record is not signed"},
      {[&] { WriteFile(PublishedRecordFile(), sOlder); },
       "ERROR: release record is older than one already seen (4 < 5)"},
      {[&] { SignRelease(key, 6, 1700000000); }, "ERROR: release record expired on 2023-11-14"},
  };
  for (const auto& c : cases) {
    SignRelease(key, 6);
    c.first();
    EXPECT_EQ(RunUntilError(), c.second);
    EXPECT_EQ(Snapshot(), installed);
  }
  EXPECT_EQ(ContentRequests(), nRequests);
}

// The new bootstrapper trusts the old key and the new one; once it is installed, the operator
// signs with the new key alone.
TEST_F(VerifiedUpdate, AKeyIsReplacedAcrossASelfUpdate) {
  StartServer();
  const common::CSigningKey keyA = MakeKey("a");
  MakeKey("b");
  PublishSignedWith("a");
  PublishClient(1, {});
  InstallBootstrapper(KeyOption("a"));
  PublishBootstrapper(1, KeyOption("a") + KeyOption("b"));
  SignRelease(keyA, 1);
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(Version("BootStrapperVersionNum"), "1");

  // The operator's tool signs with the new key (a change of key must be forced).
  PublishSignedWith("b", " --force");
  PublishClient(2, {});
  std::string sErr = RunLarch();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_NE(sErr.find(sc_szClientUpdated), std::string::npos) << sErr;
  EXPECT_EQ(Version("ClientAppVersionNum"), "2");
  EXPECT_GT(std::stoull(SequenceNum()), 1u);
}

// Without a key a record is taken as it comes, signed or not; the package hashes it carries
// still count.
TEST_F(VerifiedUpdate, WithoutAKeyOnlyThePackageHashesAreChecked) {
  StartServer();
  const common::CSigningKey key = MakeKey("release");
  PublishClient(1, {});
  InstallBootstrapper();
  SignRelease(key, 1, 1700000000);
  RunLarch();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(SequenceNum(), "");

  m_sPublishOptions = " --force";  // the signed record is replaced by an unsigned one
  PublishClient(2, {});
  EditRecord([&](CClientConfigRecord& record) {
    AddDigest(record, false, "CLIENT_2");
    record.RemoveSignature();
  });
  FlipAByte("CLIENT_2.pkg");
  const std::map<std::string, std::string> installed = Snapshot();
  EXPECT_EQ(RunUntilError(), "ERROR: package CLIENT_2.pkg does not match its published hash");
  EXPECT_EQ(Snapshot(), installed);
}

// `larchtool status` asks every role as a client does and downloads every published package:
// whole reports of a healthy deployment, and of one with a missing package, a flipped bit and
// an expired record.
TEST_F(VerifiedUpdate, StatusChecksEveryRoleAndEveryPublishedPackage) {
  StartServer();
  const common::CSigningKey key = MakeKey("release");
  PublishSignedWith("release");
  PublishClient(1, {{"a.txt", "a1"}});
  PublishBootstrapper(2, KeyOption("release"));
  auto Status = [&](std::string& sOut) {
    int nExit = RunShell(Quote(LARCH_TOOL) + " status " + Address(0) + KeyOption("release") +
                         " > " + Quote(m_dir / "status.txt") + " 2>&1");
    sOut = ReadFile(m_dir / "status.txt");
    return nExit;
  };
  const std::string sLarch = ReadFile(m_sPub + "/Larch_2.pkg");
  const std::string sClient = ReadFile(m_sPub + "/CLIENT_1.pkg");
  auto Digest = [](const std::string& sBytes) {
    common::Sha256Digest hash = common::CSha256::Digest(sBytes.data(), sBytes.size());
    return std::to_string(sBytes.size()) + " bytes, SHA-256 " +
           common::ToLowerHex(hash.data(), hash.size());
  };
  auto Report = [&](const std::string& sExpiry, const std::string& sLarchLine,
                    const std::string& sClientLine, const std::string& sSummary) {
    return "general directory server " + Address(0) + "\n  configuration servers: " + Address(3) +
           "\n  content-server directory servers: " + Address(1) + "\nconfiguration server " +
           Address(3) + "\n  bootstrapper: Larch version 2, Larch_2.pkg, " + Digest(sLarch) +
           "\n  client application: CLIENT version 1, CLIENT_1.pkg, " + Digest(sClient) +
           "\n  sequence: 2\n  signature: verifies with " + m_dir / "release.pub" + "\n  " +
           sExpiry + "\ncontent-server directory server " + Address(1) +
           "\n  content servers: " + Address(2) + "\ncontent server " + Address(2) + "\n  " +
           sLarchLine + "\n  " + sClientLine + "\n" + sSummary + "\n";
  };
  uint64_t u64Expiry = 0;
  EditRecord([&](CClientConfigRecord& record) { record.GetExpiryTime(u64Expiry); });
  std::string sOut;
  EXPECT_EQ(Status(sOut), 0);
  EXPECT_EQ(
      sOut,
      Report("expires: " + bootstrapper::UtcDateText(u64Expiry) + " (30 days left)",
             "Larch_2.pkg: " + std::to_string(sLarch.size()) + " bytes, SHA-256 as published",
             "CLIENT_1.pkg: " + std::to_string(sClient.size()) + " bytes, SHA-256 as published",
             "ok: a client can update from this deployment"));

  FlipAByte("Larch_2.pkg");
  fs::remove(m_sPub + "/CLIENT_1.pkg");
  const uint64_t u64Past = NowUtc() - 86400;
  EditRecord([&](CClientConfigRecord& record) {
    record.SetExpiryTime(u64Past);
    record.Sign(key);
  });
  EXPECT_EQ(Status(sOut), 1);
  EXPECT_EQ(sOut, Report("FAIL: expires: expired on " + bootstrapper::UtcDateText(u64Past) +
                             "; bootstrappers with release keys refuse the record: sign it again "
                             "with 'larchtool sign'",
                         "FAIL: Larch_2.pkg: " + std::to_string(sLarch.size()) +
                             " bytes, SHA-256 differs from the published one; publish the "
                             "package again",
                         "FAIL: CLIENT_1.pkg: PublicContentServer: Requested file does not exist",
                         "FAIL: 3 problems found"));
}

}  // namespace
