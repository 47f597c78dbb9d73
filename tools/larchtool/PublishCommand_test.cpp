// 'larchtool publish' and 'larchtool sign' on the record's verifying fields: the package digest,
// the sequence number, the signature and expiry, and the guards that keep an operator from
// locking bootstrappers out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
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
constexpr char sc_szServers[] = "192.0.2.1:27030";

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
    larch_test::WriteFile(m_dir / "hello.exe", "application");
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
  // A POSIX bootstrapper branded with the client file, the directory servers and the public
  // keys given by name; the options that publish it as version V.
  std::string Bootstrapper(const std::string& sName, const std::vector<const char*>& keys,
                           uint32_t uVersion = 2, const std::string& sServers = sc_szServers,
                           const std::string& sClientFile = "hello.exe") {
    std::string sArea(platform::sc_uBrandingAreaSize, '\0');
    sArea.replace(0, std::strlen(LARCH_BRANDING_MARKER), LARCH_BRANDING_MARKER);
    sArea.replace(platform::sc_aBrandingSlots[0].uOffset, sClientFile.size(), sClientFile);
    sArea.replace(platform::sc_aBrandingSlots[1].uOffset, sServers.size(), sServers);
    for (size_t u = 0; u < keys.size(); ++u) {
      sArea.replace(platform::sc_aBrandingSlots[2 + u].uOffset, 64, m_keys[keys[u]]);
    }
    larch_test::WriteFile(m_dir / sName,
                          "\x7f"
                          "ELF" +
                              sArea);
    return "--component Larch --version " + std::to_string(uVersion) + " --bootstrapper '" +
           m_dir / sName + "'";
  }
  std::string Path(const std::string& sName) { return "'" + m_dir / sName + "'"; }
  std::string Hex(const std::string& sFile) {
    std::string sBytes = FileText(m_dir / sFile);
    common::Sha256Digest hash = common::CSha256::Digest(sBytes.data(), sBytes.size());
    return common::ToLowerHex(hash.data(), hash.size());
  }
  std::string Size(const std::string& sFile) {
    return std::to_string(fs::file_size(m_dir / sFile)) + " bytes";
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
  ASSERT_EQ(0u, Publish("--component W --version 1 '" + m_dir / "hello.exe" + "'")) << m_sErr;
  EXPECT_EQ("published W version 1: W_1.pkg (1 file)\nrecord: sequence 1, not signed\n", m_sOut);
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
                        m_dir / "hello.exe" + "'"))
      << m_sErr;
  std::unique_ptr<CClientConfigRecord> pRecord = Record();
  EXPECT_TRUE(pRecord->IsSignedBy(PublicKey("k")));
  EXPECT_FALSE(pRecord->IsSignedBy(PublicKey("other")));
  uint64_t u64Expiry = 0, u64Sequence = 0;
  ASSERT_TRUE(pRecord->GetExpiryTime(u64Expiry));
  EXPECT_NEAR(static_cast<double>(Now() + 10 * sc_u64Day), static_cast<double>(u64Expiry), 60);
  EXPECT_EQ("published W version 1: W_1.pkg (1 file)\nrecord: sequence 1, signed, expires " +
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
  EXPECT_EQ(2u, Publish("--component W --version 2 --expires 5 '" + m_dir / "hello.exe" + "'"));
  // A secret key file cut short signs nothing.
  const std::map<std::string, std::string> before = Published();
  larch_test::WriteFile(m_dir / "cut", FileText(m_dir / "k").substr(0, 63) + "\n");
  EXPECT_EQ(1u,
            Publish("--component W --version 2 " + Key("cut") + " '" + m_dir / "hello.exe" + "'"));
  EXPECT_EQ(m_dir / "cut" + " is not a secret key file (64 hexadecimal digits on one line)\n",
            m_sErr);
  EXPECT_EQ(before, Published());
}

TEST_F(PublishCommand, GuardsRefuseWithoutWritingAndForceWarns) {
  ASSERT_EQ(0u,
            Publish("--component W --version 1 " + Key("k") + " '" + m_dir / "hello.exe" + "'"));
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
      {"--component W --version 2 " + Key("other") + " '" + m_dir / "hello.exe" + "'",
       {KeyChange("other")}},
      {"--component W --version 3 '" + m_dir / "hello.exe" + "'", {sUnsigned}},
      {Bootstrapper("Larch-other", {"other"}, 3) + " " + Key("k"),
       {OtherKey(m_dir / "Larch-other", "k")}},
      {Bootstrapper("Larch-k", {"other", "k"}, 4), {sUnsigned, sKeysUnsigned}},
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
            Publish("--component Larch --version 5 --bootstrapper '" + sExe + "' " + Key("other")));
  EXPECT_EQ(OtherKey(sExe, "other") + " (or give --force)\n", m_sErr);
}

TEST_F(PublishCommand, DeploymentGuardsRefuseWithWhatToDoAndForceWarns) {
  // Before a bootstrapper is published nothing names the client file.
  ASSERT_EQ(0u, Publish("--component W --version 1 " + Path("hello.exe")));
  EXPECT_EQ(
      "larchtool publish: note: not checked that the package holds the client file at its top "
      "level: no published bootstrapper names it; give --client-file NAME to check\n",
      m_sErr);
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-1", {}, 1)));
  // Blanks and commas between the servers do not count.
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-1b", {}, 2, " 192.0.2.1:27030,")));
  EXPECT_EQ("", m_sErr);
  const std::map<std::string, std::string> before = Published();

  fs::create_directories(m_dir / "v2");
  larch_test::WriteFile(m_dir / "v2/hello.exe", "application 2");
  larch_test::WriteFile(m_dir / "changed.exe", "changed");
  fs::create_directories(m_dir / "changed");
  fs::copy_file(m_dir / "changed.exe", m_dir / "changed/hello.exe");
  const std::string sLarchCli = m_dir / "Larch-cli";
  const std::string sMoved = m_dir / "Larch-moved";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--component W --version 2 " + Path("v2"),
       "W_2.pkg would not hold the client file hello.exe at its top level (its top level holds: "
       "v2): bootstrappers would refuse to install it; publish the folder's content with -C DIR"},
      {"--component W --version 3 --client-file HELLO.EXE " + Path("hello.exe"),
       "W_3.pkg would not hold the client file HELLO.exe at its top level (its top level holds: "
       "hello.exe): bootstrappers would refuse to install it; publish the folder's content with "
       "-C DIR"},
      {"--component W --version 1 -C " + Path("changed"),
       "W_1.pkg is already published with other content: clients that installed version 1 would "
       "keep the old files; publish the new content as a new version"},
      {"--component HELO --version 4 " + Path("hello.exe"),
       "the record names the client application W; publishing HELO would make clients ask for a "
       "package that does not exist: check --component"},
      {Bootstrapper("Larch-moved", {}, 3, "192.0.2.9:27030 192.0.2.10:27030"),
       sMoved +
           " is branded for the directory servers \"192.0.2.9:27030 192.0.2.10:27030\", the "
           "published bootstrapper Larch_2.pkg for \"192.0.2.1:27030\": every client that "
           "installs it would ask other servers from then on; brand it with 'larchtool brand EXE "
           "--directory-servers LIST' for the servers in use"},
      {Bootstrapper("Larch-cli", {}, 4, "127.0.0.1:27030", "LARCHCLI.DLL"),
       sLarchCli +
           " still carries the branding a build ships with (client file \"LARCHCLI.DLL\", "
           "directory servers \"127.0.0.1:27030\"): once installed, every client would talk to the "
           "shipped addresses for good; brand it with 'larchtool brand EXE --client-file NAME "
           "--directory-servers LIST'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(1u, Publish(c.first)) << c.first;
    EXPECT_EQ(c.second + " (or give --force)\n", m_sErr);
    EXPECT_EQ(before, Published());
  }
  // In this order no forced publish brings on another case's guard.
  for (const auto& c : cases) {
    EXPECT_EQ(0u, Publish(c.first + " --force")) << c.first;
    EXPECT_EQ("larchtool publish: warning: " + c.second + "\n", m_sErr);
  }
  // The forced package replaced the one of the same version.
  ASSERT_EQ(0u, Tool("pkg extract '" + m_dir / "pub/W_1.pkg" + "' -C '" + m_dir / "out" + "'"));
  EXPECT_EQ("changed", FileText(m_dir / "out/hello.exe"));
}

TEST_F(PublishCommand, ContentDirNoOpAndRollBack) {
  fs::create_directories(m_dir / "build/sub");
  larch_test::WriteFile(m_dir / "build/hello.exe", "application");
  larch_test::WriteFile(m_dir / "build/sub/data.txt", "data");
  larch_test::WriteFile(m_dir / "a.txt", "a");
  ASSERT_EQ(0u, Publish("--component W --version 1 -C " + Path("build"))) << m_sErr;
  ASSERT_EQ(0u, Publish("--component W --version 2 -C " + Path("build") + " hello.exe"));
  ASSERT_EQ(0u, Tool("pkg list '" + m_dir / "pub/W_1.pkg" + "'"));
  const std::string sList1 = m_sOut;
  ASSERT_EQ(0u, Tool("pkg list '" + m_dir / "pub/W_2.pkg" + "'"));
  EXPECT_NE(std::string::npos, sList1.find("sub\\data.txt")) << sList1;
  EXPECT_EQ(std::string::npos, m_sOut.find("data.txt")) << m_sOut;
  EXPECT_NE(std::string::npos, m_sOut.find("hello.exe")) << m_sOut;

  // The same content again, even packed in another order, changes nothing.
  ASSERT_EQ(0u, Publish("--component W --version 3 " + Path("hello.exe") + " " + Path("a.txt")));
  const std::map<std::string, std::string> before = Published();
  ASSERT_EQ(0u, Publish("--component W --version 3 " + Path("a.txt") + " " + Path("hello.exe")));
  EXPECT_EQ("W version 3 is already published with the same content; nothing changed\n", m_sOut);
  EXPECT_EQ("", m_sErr);
  EXPECT_EQ(before, Published());

  // An older version again points the record back to its package, which stays as it was.
  ASSERT_EQ(0u, Publish("--component W --version 1 -C " + Path("build")));
  EXPECT_EQ(
      "published W version 1: W_1.pkg (2 files, already there)\n"
      "no delta W_3-1.pkg: 249 bytes, more than 60% of the full package (109 bytes)\n"
      "no delta W_2-1.pkg: 249 bytes, more than 60% of the full package (109 bytes)\n"
      "record: sequence 4, not signed\n",
      m_sOut);
  std::map<std::string, std::string> after = Published();
  EXPECT_NE(before.at("ClientConfigRecord.blob"), after.at("ClientConfigRecord.blob"));
  after["ClientConfigRecord.blob"] = before.at("ClientConfigRecord.blob");
  EXPECT_EQ(before, after);
  uint32_t uVersion = 0;
  EXPECT_TRUE(Record()->GetFieldDataAsU32(
      CClientConfigRecord::CFieldName(CClientConfigRecord::eCurrentClientAppPackageVersion),
      uVersion));
  EXPECT_EQ(1u, uVersion);
  ExpectDigestOf(*Record(), false, m_dir / "pub/W_1.pkg");

  EXPECT_EQ(1u, Publish("--component W --version 4 -C " + Path("missing")));
  EXPECT_EQ("-C: directory " + m_dir / "missing" + " does not exist\n", m_sErr);
  EXPECT_EQ(2u, Publish("--component W --version 4"));
  EXPECT_EQ(2u, Publish("--prune 1 --show"));
  EXPECT_EQ(2u, Publish("--prune 0"));
}

TEST_F(PublishCommand, PruneKeepsTheNewestAndTheRecordsVersionsAndShowTellsIt) {
  for (uint32_t u = 1; u <= 4; ++u) {
    larch_test::WriteFile(m_dir / "hello.exe", "application " + std::to_string(u));
    ASSERT_EQ(0u,
              Publish("--component W --version " + std::to_string(u) + " " + Path("hello.exe")));
  }
  for (uint32_t u = 1; u <= 3; ++u) {
    ASSERT_EQ(0u, Publish(Bootstrapper("Larch-" + std::to_string(u), {"k"}, u, sc_szServers,
                                       "hello.exe") +
                          " " + Key("k")))
        << m_sErr;
  }
  larch_test::WriteFile(m_dir / "hello.exe", "application 2");
  ASSERT_EQ(0u, Publish("--component W --version 2 " + Path("hello.exe") + " " + Key("k")));
  for (const char* pszOther :
       {"W_01.pkg", "W_x.pkg", "notes.txt", "W_5.pkg.part", "_5.pkg", "W_2147483648.pkg"}) {
    larch_test::WriteFile(m_dir / (std::string("pub/") + pszOther), "other");
  }
  fs::create_directories(m_dir / "pub/.publish-77-1/sub");
  larch_test::WriteFile(m_dir / "pub/.publish-77-1/sub/LarchNew.exe", "left");

  uint64_t u64Expiry = 0;
  ASSERT_TRUE(Record()->GetExpiryTime(u64Expiry));
  ASSERT_EQ(0u, Publish("--show"));
  const std::string sRecordLine = "Record:              sequence 8, signed by key " +
                                  m_keys["k"].substr(0, 16) + "..., which Larch_3.pkg knows; " +
                                  "expires " + Date(u64Expiry) + " (in 30 days)\n";
  auto PackageText = [&](const std::string& sPkg) {
    return sPkg + ", " + Size("pub/" + sPkg) + ", SHA-256 " + Hex("pub/" + sPkg);
  };
  EXPECT_EQ("Publish directory:   " + m_dir / "pub" +
                "\n"
                "Bootstrapper:        Larch version 3 (" +
                PackageText("Larch_3.pkg") +
                "; file matches)\n"
                "Client application:  W version 2 (" +
                PackageText("W_2.pkg") + "; file matches)\nDeltas offered:      none\n" +
                sRecordLine + "Other packages:      Larch_1.pkg (" + Size("pub/Larch_1.pkg") +
                "), Larch_2.pkg (" + Size("pub/Larch_2.pkg") + "), W_01.pkg (5 bytes), W_1.pkg (" +
                Size("pub/W_1.pkg") + "), W_2147483648.pkg (5 bytes), W_3.pkg (" +
                Size("pub/W_3.pkg") + "), W_4.pkg (" + Size("pub/W_4.pkg") +
                "), W_x.pkg (5 bytes), _5.pkg (5 bytes)\n",
            m_sOut);

  const std::string sRemoved =
      "removed .publish-77-1 (left by an interrupted publish)\n"
      "removed Larch_2.pkg (" +
      Size("pub/Larch_2.pkg") +
      ")\n"
      "removed Larch_1.pkg (" +
      Size("pub/Larch_1.pkg") +
      ")\n"
      "removed W_3.pkg (" +
      Size("pub/W_3.pkg") +
      ")\n"
      "removed W_1.pkg (" +
      Size("pub/W_1.pkg") + ")\n";
  const uint64_t u64Total =
      fs::file_size(m_dir / "pub/Larch_1.pkg") + fs::file_size(m_dir / "pub/Larch_2.pkg") +
      fs::file_size(m_dir / "pub/W_1.pkg") + fs::file_size(m_dir / "pub/W_3.pkg");
  ASSERT_EQ(0u, Publish("--prune 1"));
  EXPECT_EQ(sRemoved + "pruned 4 packages (" + std::to_string(u64Total) + " bytes), kept 3\n",
            m_sOut);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(m_dir / "pub")) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ((std::vector<std::string>{"ClientConfigRecord.blob", "Larch_3.pkg", "W_01.pkg",
                                      "W_2.pkg", "W_2147483648.pkg", "W_4.pkg", "W_5.pkg.part",
                                      "W_x.pkg", "_5.pkg", "notes.txt"}),
            left);

  // A package that went missing or changed since it was published.
  const std::string sPublishedW2 = PackageText("W_2.pkg");
  const std::string sSizeW4 = Size("pub/W_4.pkg");
  const uint64_t u64SizeW4 = fs::file_size(m_dir / "pub/W_4.pkg");
  fs::remove(m_dir / "pub/Larch_3.pkg");
  larch_test::WriteFile(m_dir / "pub/W_2.pkg", "damaged");
  ASSERT_EQ(0u, Publish("--show"));
  const std::string sShown = m_sOut;
  EXPECT_EQ("Publish directory:   " + m_dir / "pub" +
                "\n"
                "Bootstrapper:        Larch version 3 (Larch_3.pkg is missing)\n"
                "Client application:  W version 2 (" +
                sPublishedW2 + "; the file differs: 7 bytes, SHA-256 " + Hex("pub/W_2.pkg") +
                ")\n"
                "Deltas offered:      none\n"
                "Record:              sequence 8, signed; expires " +
                Date(u64Expiry) + " (in 30 days)\n" +
                "Other packages:      W_01.pkg (5 bytes), W_2147483648.pkg (5 bytes), W_4.pkg (" +
                sSizeW4 + "), W_x.pkg (5 bytes), _5.pkg (5 bytes)\n",
            sShown);
  ASSERT_EQ(0u,
            Publish("--prune 1 --component W --version 5 " + Path("hello.exe") + " " + Key("k")));
  ASSERT_TRUE(Record()->GetExpiryTime(u64Expiry));
  EXPECT_EQ(
      "published W version 5: W_5.pkg (1 file)\nno delta W_4-5.pkg: 241 bytes, more than 60% "
      "of the full package (63 bytes)\nrecord: sequence 9, signed, expires " +
          Date(u64Expiry) + "\nremoved W_4.pkg (" + sSizeW4 + ")\npruned 1 package (" +
          std::to_string(u64SizeW4) + " bytes), kept 2\n",
      m_sOut);
}

TEST_F(PublishCommand, DamagedPublishedPackages) {
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-1", {}, 1)));
  ASSERT_EQ(0u, Publish("--component W --version 1 " + Path("hello.exe")));
  for (const char* pszPkg : {"pub/W_1.pkg", "pub/Larch_1.pkg"}) {
    std::string sBytes = FileText(m_dir / pszPkg);
    larch_test::WriteFile(m_dir / pszPkg, sBytes.substr(0, sBytes.size() - 3));
  }
  const std::map<std::string, std::string> before = Published();
  const std::string sCut =
      "W_1.pkg is already published with other content: clients that "
      "installed version 1 would keep the old files; publish the new content "
      "as a new version";
  EXPECT_EQ(1u, Publish("--component W --version 1 " + Path("hello.exe")));
  EXPECT_EQ(sCut + " (or give --force)\n", m_sErr);
  EXPECT_EQ(before, Published());
  // A published bootstrapper that cannot be read leaves the client file unchecked, and does not
  // stop the publish that replaces it.
  ASSERT_EQ(0u, Publish("--component W --version 1 " + Path("hello.exe") + " --force"));
  EXPECT_EQ("larchtool publish: warning: " + sCut +
                "\nlarchtool publish: note: not checked that the package holds the client file at "
                "its top level: the published bootstrapper Larch_1.pkg cannot be read: corrupt pkg "
                "file header (invalid compression level 150994944); give --client-file NAME to "
                "check\n",
            m_sErr);
  ExpectDigestOf(*Record(), false, m_dir / "pub/W_1.pkg");
  ASSERT_EQ(0u, Publish(Bootstrapper("Larch-2", {}, 2)));
  EXPECT_EQ(
      "larchtool publish: note: the directory servers were not compared with the published "
      "bootstrapper's: the published bootstrapper Larch_1.pkg cannot be read: corrupt pkg file "
      "header (invalid compression level 150994944)\n",
      m_sErr);
}

}  // namespace
}  // namespace larchtool
