// 'larchtool brand' with release public keys, on a POSIX bootstrapper's branding area and on a
// Windows one's resources: whole files and the whole --show output compared.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CommandTestUtil.h"
#include "PeResources.h"
#include "PeTestImage.h"
#include "platform/Branding.h"

namespace larchtool {
namespace {

const std::string sc_sKeyA(64, 'a');
const std::string sc_sKeyB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A POSIX executable's bytes around its branding area, with these slot texts.
std::string PosixExe(const std::vector<std::string>& slots) {
  std::string sArea(platform::sc_uBrandingAreaSize, '\0');
  std::memcpy(&sArea[0], LARCH_BRANDING_MARKER, std::strlen(LARCH_BRANDING_MARKER));
  for (size_t u = 0; u < slots.size(); ++u) {
    sArea.replace(platform::sc_aBrandingSlots[u].uOffset, slots[u].size(), slots[u]);
  }
  return "\x7f"
         "ELF code before" +
         sArea + "data after";
}

// The --show lines; the slots not given are empty.
std::string Show(const std::vector<std::string>& slots) {
  std::string sText;
  for (size_t u = 0; u < std::size(platform::sc_aBrandingSlots); ++u) {
    sText += std::string(platform::sc_aBrandingSlots[u].pszName) + ": " +
             (u < slots.size() ? slots[u] : std::string()) + "\n";
  }
  return sText;
}

class BrandCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    larch_test::WriteFile(m_dir / "a.pub", sc_sKeyA + "\n");
    larch_test::WriteFile(m_dir / "b.pub", sc_sKeyB + "\r\n");
  }
  uint32_t Brand(const std::string& sExe, const std::string& sArgs) {
    return RunTool(m_dir, "brand '" + sExe + "' " + sArgs, m_sOut, m_sErr);
  }
  std::string Pub(const char* pszName) { return "--public-key '" + m_dir / pszName + "'"; }

  larch_test::CScratchDir m_dir;
  std::string m_sOut, m_sErr;
};

TEST_F(BrandCommand, FillsEmptiesAndShowsTheKeySlotsOfAPosixExecutable) {
  const std::string sExe = m_dir / "Larch";
  larch_test::WriteFile(sExe, PosixExe({"CLIENT.DLL", "127.0.0.1:1"}));
  ASSERT_EQ(0u, Brand(sExe, Pub("a.pub") + " " + Pub("b.pub") + " --show")) << m_sErr;
  EXPECT_EQ(Show({"CLIENT.DLL", "127.0.0.1:1", sc_sKeyA, sc_sKeyB}), m_sOut);
  EXPECT_EQ(PosixExe({"CLIENT.DLL", "127.0.0.1:1", sc_sKeyA, sc_sKeyB}), FileText(sExe));

  // One key empties the second slot; branding twice gives the same file.
  for (int n = 0; n < 2; ++n) {
    ASSERT_EQ(0u, Brand(sExe, Pub("b.pub")));
    EXPECT_EQ(PosixExe({"CLIENT.DLL", "127.0.0.1:1", sc_sKeyB, ""}), FileText(sExe));
  }
  ASSERT_EQ(0u, Brand(sExe, "--no-public-keys --show"));
  EXPECT_EQ(Show({"CLIENT.DLL", "127.0.0.1:1", "", ""}), m_sOut);
  EXPECT_EQ(PosixExe({"CLIENT.DLL", "127.0.0.1:1"}), FileText(sExe));
}

TEST_F(BrandCommand, RefusesWhatIsNotAPublicKeyFileBeforeWriting) {
  const std::string sExe = m_dir / "Larch";
  const std::string sBefore = PosixExe({"CLIENT.DLL", "127.0.0.1:1", sc_sKeyA});
  larch_test::WriteFile(sExe, sBefore);
  for (const std::string& sText :
       {sc_sKeyB.substr(1), sc_sKeyB + "0\n", sc_sKeyB + "\n\n", sc_sKeyB + " \n",
        "x" + sc_sKeyB.substr(1) + "\n", std::string()}) {
    larch_test::WriteFile(m_dir / "bad.pub", sText);
    EXPECT_EQ(1u, Brand(sExe, "--client-file NEW.DLL " + Pub("a.pub") + " " + Pub("bad.pub")));
    EXPECT_EQ(m_dir / "bad.pub" + " is not a public key file (64 hexadecimal digits on one line)\n",
              m_sErr);
  }
  EXPECT_EQ(1u, Brand(sExe, Pub("missing.pub")));
  EXPECT_EQ("Cannot open input file " + m_dir / "missing.pub" + ": No such file or directory\n",
            m_sErr);
  EXPECT_EQ(2u, Brand(sExe, Pub("a.pub") + " " + Pub("a.pub") + " " + Pub("a.pub")));
  EXPECT_EQ(2u, Brand(sExe, Pub("a.pub") + " --no-public-keys"));
  EXPECT_EQ(sBefore, FileText(sExe));
  EXPECT_FALSE(std::filesystem::exists(sExe + ".branding"));
}

TEST_F(BrandCommand, WritesTheKeysAsResourcesOfAWindowsExecutable) {
  const std::string sExe = m_dir / "Larch.exe";
  SExeResourceUpdate client;
  client.sType = "CONFIGDATA";
  client.sName = "CLIENTAPP_FILENAME";
  client.u16Language = 0x409;
  client.data = {'A', '.', 'E', 'X', 'E', 0};
  std::vector<uint8_t> image = RewritePeResources(SmallImage(), {client}, "Larch.exe");
  larch_test::WriteFile(sExe, std::string(image.begin(), image.end()));
  auto Keys = [&] {
    std::vector<uint8_t> bytes = larch_test::ReadFileBytes(sExe);
    std::vector<std::string> texts;
    for (const char* pszName : {"RELEASE_PUBLIC_KEY_1", "RELEASE_PUBLIC_KEY_2"}) {
      for (const SPeResource& r : FindPeResources(bytes, "CONFIGDATA", pszName, sExe)) {
        texts.push_back(std::to_string(r.u16Language) + ":" + r.sData);
      }
    }
    return texts;
  };
  ASSERT_EQ(0u, Brand(sExe, Pub("a.pub") + " " + Pub("b.pub") + " --show")) << m_sErr;
  EXPECT_EQ(Show({"A.EXE", "", sc_sKeyA, sc_sKeyB}), m_sOut);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"0:" + sc_sKeyA + '\0', "0:" + sc_sKeyB + '\0'}));
  ASSERT_EQ(0u, Brand(sExe, Pub("b.pub") + " --show"));
  EXPECT_EQ(Show({"A.EXE", "", sc_sKeyB, ""}), m_sOut);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"0:" + sc_sKeyB + '\0', std::string("0:\0", 3)}));
}

// The offline start's slot, written, shown and read back on both kinds of program; a program
// branded before the slot existed shows it empty (not allowed).
TEST_F(BrandCommand, SetsAndShowsTheOfflineStart) {
  const std::string sExe = m_dir / "Larch";
  larch_test::WriteFile(sExe, PosixExe({"CLIENT.DLL", "127.0.0.1:1", "", "", "no"}));
  ASSERT_EQ(0u, Brand(sExe, "--offline-start yes --show")) << m_sErr;
  EXPECT_EQ(Show({"CLIENT.DLL", "127.0.0.1:1", "", "", "yes"}), m_sOut);
  EXPECT_EQ(PosixExe({"CLIENT.DLL", "127.0.0.1:1", "", "", "yes"}), FileText(sExe));
  std::string sHelp;
  ASSERT_EQ(0u, RunTool(m_dir, "brand --help", sHelp, m_sErr));
  for (const char* pszBad : {"Yes", "on", ""}) {
    EXPECT_EQ(2u, Brand(sExe, std::string("--offline-start '") + pszBad + "'"));
    EXPECT_EQ("larchtool brand: --offline-start: '" + std::string(pszBad) +
                  "' is neither yes nor no\n" + sHelp,
              m_sErr);
  }
  ASSERT_EQ(0u, Brand(sExe, "--offline-start no"));
  EXPECT_EQ(PosixExe({"CLIENT.DLL", "127.0.0.1:1", "", "", "no"}), FileText(sExe));

  const std::string sWindowsExe = m_dir / "Larch.exe";
  std::vector<uint8_t> image = SmallImage();
  larch_test::WriteFile(sWindowsExe, std::string(image.begin(), image.end()));
  ASSERT_EQ(0u, Brand(sWindowsExe, "--show"));
  EXPECT_EQ(Show({}), m_sOut);
  ASSERT_EQ(0u, Brand(sWindowsExe, "--offline-start yes --show")) << m_sErr;
  EXPECT_EQ(Show({"", "", "", "", "yes"}), m_sOut);
  std::vector<SPeResource> found =
      FindPeResources(larch_test::ReadFileBytes(sWindowsExe), "CONFIGDATA", "OFFLINE_START", "t");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].sData, std::string("yes", 4));
}

// A bad value is a usage error that names it, before anything is written; the forms the
// bootstrapper reads as meant are taken. --show tells an unbranded program.
TEST_F(BrandCommand, ChecksEveryValueAndTellsAnUnbrandedProgram) {
  const std::string sExe = m_dir / "Larch";
  const std::string sUnbranded = PosixExe({"LARCHCLI.DLL", "127.0.0.1:27030"});
  larch_test::WriteFile(sExe, sUnbranded);
  std::string sHelp;
  ASSERT_EQ(0u, RunTool(m_dir, "brand --help", sHelp, m_sErr));
  const char* pszAddressRule = "' is not an address:port (dotted IPv4 address, port 1 to 65535)\n";
  for (const char* pszBad : {"10.0.0.1:99999", "10.0.0.1:0", "10.0.0.1", "10.0.0.256:1", "10.0.0:1",
                             "10.0.0.1.1:1", "010.0.0.1:1", "10.0.0.1:080", "10.0.0.1:99x",
                             "255.255.255.255:1", "host:1", "10.0.0.1:-1"}) {
    EXPECT_EQ(2u, Brand(sExe, std::string("--directory-servers '1.2.3.4:5, ") + pszBad + "'"));
    EXPECT_EQ(
        "larchtool brand: --directory-servers: '" + std::string(pszBad) + pszAddressRule + sHelp,
        m_sErr);
  }
  EXPECT_EQ(2u, Brand(sExe, "--directory-servers ' , '"));
  EXPECT_EQ(
      "larchtool brand: --directory-servers: no address given (ADDRESS:PORT items separated "
      "by blanks or commas)\n" +
          sHelp,
      m_sErr);
  for (const char* pszBad : {"CLIENT", "CLIENT.so", ".dll", "dir/CLIENT.dll", "C:CLIENT.exe"}) {
    EXPECT_EQ(2u, Brand(sExe, std::string("--client-file '") + pszBad + "'"));
    EXPECT_EQ("larchtool brand: --client-file: '" + std::string(pszBad) +
                  "' is not a client file name (name.exe or name.dll, without a folder)\n" + sHelp,
              m_sErr);
  }
  EXPECT_EQ(sUnbranded, FileText(sExe));

  ASSERT_EQ(0u, Brand(sExe, "--show"));
  EXPECT_EQ(Show({"LARCHCLI.DLL", "127.0.0.1:27030", "", ""}) +
                "(unbranded: still carries the values the build ships with; brand it with "
                "--client-file and --directory-servers before publishing it)\n",
            m_sOut);
  ASSERT_EQ(0u, Brand(sExe, "--client-file Game.Exe --directory-servers ':27131 :27231' --show"));
  EXPECT_EQ(Show({"Game.Exe", ":27131 :27231", "", ""}) +
                "(unbranded: still carries the values "
                "the build ships with; brand it with --client-file and --directory-servers before "
                "publishing it)\n",
            m_sOut);
  const std::string sList = "0.0.0.0:1,255.255.255.254:65535  10.1.2.3:27030";
  ASSERT_EQ(0u, Brand(sExe, "--directory-servers '" + sList + "' --show")) << m_sErr;
  EXPECT_EQ(Show({"Game.Exe", sList, "", ""}), m_sOut);
}

}  // namespace
}  // namespace larchtool
