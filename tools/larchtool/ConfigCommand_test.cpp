// 'larchtool config' on the client config record that publish writes: its own XML form, read
// back to the same bytes, and the texts that form refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CommandTestUtil.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

TEST(ConfigCommand, TheSignedClientRecordRoundTripsThroughItsXmlForm) {
  larch_test::CScratchDir dir;
  std::string sOut, sErr;
  std::filesystem::create_directories(dir / "pub");
  larch_test::WriteFile(dir / "app.txt", "application");
  ASSERT_EQ(0u, RunTool(dir, "keygen '" + dir / "k" + "'", sOut, sErr));
  ASSERT_EQ(0u,
            RunTool(dir,
                    "publish --dir '" + dir / "pub" + "' --component W --version 3 --sign-key '" +
                        dir / "k" + "' '" + dir / "app.txt" + "'",
                    sOut, sErr))
      << sErr;
  const std::string sRecordFile = dir / "pub/ClientConfigRecord.blob";
  const std::vector<uint8_t> image = larch_test::ReadFileBytes(sRecordFile);
  const Weft::CClientConfigRecord record(image.data(), static_cast<uint32_t>(image.size()));
  Weft::CClientConfigRecord::SPackageDigest digest;
  uint64_t u64Expiry = 0;
  ASSERT_TRUE(record.GetPackageDigest(false, digest) && record.GetExpiryTime(u64Expiry));
  const uint8_t* pSignature = record.FindFieldData(Weft::CClientConfigRecord::eSignature);
  const std::string sXml =
      "<ClientConfigRecord>\n"
      "\t<Field Id=\"0\" Name=\"VersionNum\" Type=\"uint32\">1</Field>\n"
      "\t<Field Id=\"1\" Name=\"CurrentClientBootstrapVersion\" Type=\"uint32\">0</Field>\n"
      "\t<Field Id=\"2\" Name=\"CurrentClientAppPackageVersion\" Type=\"uint32\">3</Field>\n"
      "\t<Field Id=\"4\" Name=\"ClientAppComponent\" Type=\"string\">W</Field>\n"
      "\t<Field Id=\"7\" Name=\"ClientAppPackageSize\" Type=\"uint64\">" +
      std::to_string(digest.u64Size) +
      "</Field>\n"
      "\t<Field Id=\"8\" Name=\"ClientAppPackageSha256\" Type=\"hex\">" +
      common::ToLowerHex(digest.hash.data(), digest.hash.size()) +
      "</Field>\n"
      "\t<Field Id=\"9\" Name=\"SequenceNum\" Type=\"uint64\">1</Field>\n"
      "\t<Field Id=\"10\" Name=\"ExpiryTime\" Type=\"uint64\">" +
      std::to_string(u64Expiry) +
      "</Field>\n"
      "\t<Field Id=\"11\" Name=\"Signature\" Type=\"hex\">" +
      common::ToLowerHex(pSignature, 64) +
      "</Field>\n"
      "</ClientConfigRecord>\n";
  ASSERT_EQ(0u, RunTool(dir, "config to-xml '" + sRecordFile + "'", sOut, sErr)) << sErr;
  EXPECT_EQ(sXml, sOut);
  ASSERT_EQ(
      0u, RunTool(dir, "config to-xml '" + sRecordFile + "' '" + dir / "r.xml" + "'", sOut, sErr));
  EXPECT_EQ(sXml, FileText(dir / "r.xml"));
  ASSERT_EQ(0u, RunTool(dir, "config from-xml '" + dir / "r.xml" + "' '" + dir / "r.blob" + "'",
                        sOut, sErr))
      << sErr;
  EXPECT_EQ(image, larch_test::ReadFileBytes(dir / "r.blob"));
  // Fields in another order give the same image.
  const size_t uVersion = sXml.find("\t<Field Id=\"0\"");
  const size_t uName = sXml.find("\t<Field Id=\"4\"");
  const size_t uEnd = sXml.find("</ClientConfigRecord>");
  larch_test::WriteFile(dir / "r.xml", sXml.substr(0, uVersion) + sXml.substr(uName, uEnd - uName) +
                                           sXml.substr(uVersion, uName - uVersion) +
                                           sXml.substr(uEnd));
  ASSERT_EQ(0u, RunTool(dir, "config from-xml '" + dir / "r.xml" + "' '" + dir / "r.blob" + "'",
                        sOut, sErr))
      << sErr;
  EXPECT_EQ(image, larch_test::ReadFileBytes(dir / "r.blob"));

  auto Replaced = [&](const std::string& sFrom, const std::string& sTo) {
    std::string sText = sXml;
    sText.replace(sText.find(sFrom), sFrom.size(), sTo);
    return sText;
  };
  struct SCase {
    std::string sText, sError;
  };
  for (const SCase& c :
       {SCase{sXml.substr(0, 300), "ClientConfigRecord XML: unclosed token at line 6"},
        SCase{Replaced("Id=\"2\" ", "Id=\"0\" "), "ClientConfigRecord XML: field 0 is given twice"},
        SCase{Replaced("\"uint32\">3<", "\"uint32\">4294967296<"),
              "ClientConfigRecord XML: number out of range: 4294967296"},
        SCase{Replaced("\"uint64\">1<", "\"int\">1<"),
              "ClientConfigRecord XML: field 9 has Type 'int' (uint32, uint64, string or hex)"},
        SCase{Replaced("\"hex\">", "\"hex\">0"),
              "ClientConfigRecord XML: field 8 is not hexadecimal"},
        SCase{Replaced("<Field Id=\"2\"", "<Field><x/></Field><Field Id=\"2\""),
              "ClientConfigRecord XML: unexpected element x"},
        SCase{Replaced("Id=\"2\" ", "Id=\"12\" "), "Missing field in CClientConfigRecord"}}) {
    larch_test::WriteFile(dir / "bad.xml", c.sText);
    EXPECT_EQ(1u,
              RunTool(dir, "config from-xml '" + dir / "bad.xml" + "' '" + dir / "bad.blob" + "'",
                      sOut, sErr));
    EXPECT_EQ(c.sError + "\n", sErr);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.blob"));
}

}  // namespace
}  // namespace larchtool
