#include "bootstrapper/StagedInstall.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bootstrapper/TestFakes.h"
#include "protocols/DeltaPackage.h"
#include "security/Sha256.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

class StagedInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { m_pCwd = std::make_unique<CCurrentDirectory>(m_dir.Path()); }
  void TearDown() override { m_pCwd.reset(); }

  larch_test::CScratchDir m_dir;
  std::unique_ptr<CCurrentDirectory> m_pCwd;
  CFakeServices m_services;
  CInstallLayout m_layout{"Larch"};
  const std::string m_sSep = std::string(1, platform::PreferredSeparator());
};

// A read-only installed file is replaced, folders are made, and what another manifest listed
// in another letter case stays where names ignore case.
TEST_F(StagedInstallTest, CommitReplacesInstalledFilesAndKeepsRenamedCase) {
  WriteFile("CLIENT.dll", "v1");
  ASSERT_TRUE(platform::SetReadOnly("CLIENT.dll", true));
  WriteFile("readme.TXT", "v1");
  WriteFile("CLIENT_1.mst", "CLIENT.dll\nreadme.TXT\n");
  WriteFile("CLIENT_2.pkg", "CLIENT.dll\tv2\nREADME.txt\tv2\na\\b\\c.txt\tv2\n");
  CStagedInstall staged(m_layout, true);
  staged.Install(m_services, "CLIENT_2.pkg", "CLIENT", 2, "client.DLL");
  EXPECT_EQ(ReadFile("Larch.journal"),
            "installing CLIENT version 2\n2 CLIENT.dll\n2 README.txt\n2 a\\b\\c.txt\nend\n");
  EXPECT_EQ(ReadFile("CLIENT.dll"), "v2");
  EXPECT_EQ(ReadFile("a" + m_sSep + "b" + m_sSep + "c.txt"), "v2");
  // On a file system that ignores case the new file took the old one's place.
  EXPECT_TRUE(FileExists("readme.TXT"));
  EXPECT_FALSE(FileExists("CLIENT_1.mst"));
  staged.Close("CLIENT_2.pkg");
  for (const char* pszName : {"CLIENT_2.pkg", "Larch.staging", "Larch.journal"}) {
    EXPECT_FALSE(FileExists(pszName)) << pszName;
  }
}

// Where names ignore case a case-only rename is a file of the delta like any other, and a list
// naming one file twice in two cases is refused.
TEST_F(StagedInstallTest, ADeltaJournalListsEveryFileOfTheNewVersion) {
  WriteFile("CLIENT.dll", "v1");
  WriteFile("readme.TXT", "r");
  WriteFile("keep.txt", "k");
  WriteFile("CLIENT_1.mst", "CLIENT.dll\nkeep.txt\nreadme.TXT\n");
  auto Listed = [](const std::string& sName, const std::string& sContent) {
    return common::SDeltaListedFile{sName, sContent.size(),
                                    common::CSha256::Digest(sContent.data(), sContent.size())};
  };
  auto Delta = [](common::SDeltaFileList list, const std::string& sCarried) {
    common::SetInstalledFilesHash(list);
    std::string sText = common::FormatDeltaFileList(list);
    for (size_t u = sText.find('\n'); u != std::string::npos; u = sText.find('\n', u)) {
      sText.replace(u, 1, "\\n");
    }
    return std::string(common::sc_szDeltaFileListEntry) + "\t" + sText + "\n" + sCarried;
  };
  CStagedInstall staged(m_layout, true);
  WriteFile("CLIENT_1-2.pkg",
            Delta({1, 2, {Listed("A.TXT", "a"), Listed("CLIENT.dll", "v2"), Listed("a.txt", "a")}},
                  "A.TXT\ta\na.txt\ta\nCLIENT.dll\tv2\n"));
  EXPECT_EQ(larch_test::ErrorOf([&] {
              staged.StageDelta(m_services, "CLIENT_1-2.pkg", "CLIENT", 1, 2, "CLIENT.dll");
            }),
            "package CLIENT_1-2.pkg is damaged: its file list names a.txt twice");
  EXPECT_FALSE(FileExists("CLIENT_1-2.pkg"));

  WriteFile(
      "CLIENT_1-2.pkg",
      Delta(
          {1, 2, {Listed("CLIENT.dll", "v2"), Listed("README.txt", "r"), Listed("keep.txt", "k")}},
          "CLIENT.dll\tv2\nREADME.txt\tr\n"));
  const CInstallJournal journal =
      staged.StageDelta(m_services, "CLIENT_1-2.pkg", "CLIENT", 1, 2, "CLIENT.dll");
  EXPECT_EQ(ReadFile("Larch.journal"),
            "installing CLIENT version 2\n2 CLIENT.dll\n1 README.txt\n1 keep.txt\nend\n");
  EXPECT_FALSE(FileExists("CLIENT_1-2.pkg"));
  EXPECT_FALSE(FileExists("Larch.staging" + m_sSep + "keep.txt"));
  staged.Commit(journal);
  EXPECT_EQ(ReadFile("CLIENT.dll"), "v2");
  EXPECT_EQ(ReadFile("keep.txt"), "k");
  EXPECT_TRUE(FileExists("readme.TXT"));
  EXPECT_EQ(ReadFile("CLIENT_2.mst"), TextFile("CLIENT.dll\nREADME.txt\nkeep.txt\n"));
  EXPECT_FALSE(FileExists("CLIENT_1.mst"));
}

// A journal is complete only when each file is staged, or in place, with its listed size, and
// its names stay inside the folder.
TEST_F(StagedInstallTest, CompletenessIsJudgedByNameAndSize) {
  CStagedInstall staged(m_layout, false);
  ASSERT_TRUE(platform::MakeDirectory("Larch.staging"));
  WriteFile("Larch.staging" + m_sSep + "a.txt", "aaa");
  WriteFile("b.txt", "bb");
  EXPECT_TRUE(staged.IsComplete(CInstallJournal("C", 1, {{"a.txt", 3}, {"b.txt", 2}})));
  EXPECT_FALSE(staged.IsComplete(CInstallJournal("C", 1, {{"a.txt", 2}, {"b.txt", 2}})));
  EXPECT_FALSE(staged.IsComplete(CInstallJournal("C", 1, {{"a.txt", 3}, {"b.txt", 3}})));
  EXPECT_FALSE(staged.IsComplete(CInstallJournal("C", 1, {{"a.txt", 3}, {"c.txt", 1}})));
  EXPECT_FALSE(staged.IsComplete(CInstallJournal("C", 1, {})));
  WriteFile("Larch.staging" + m_sSep + ".." + m_sSep + "x", "x");
  EXPECT_FALSE(staged.IsComplete(CInstallJournal("C", 1, {{"..\\x", 1}})));
  EXPECT_EQ(larch_test::ErrorOf([&] {
              staged.Commit(CInstallJournal("C", 1, {{"c.txt", 1}}));
            }),
            "the staged files of C version 1 are incomplete");
}

}  // namespace
}  // namespace bootstrapper
