#include "bootstrapper/InstallJournal.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bootstrapper/TestFakes.h"
#include "platform/FaultInjection.h"
#include "support/TestUtil.h"

namespace bootstrapper {
namespace {

using namespace bootstrapper_test;

TEST(InstallJournal, WrittenWholeAndReadBack) {
  larch_test::CScratchDir dir;
  CCurrentDirectory cwd(dir.Path());
  CInstallJournal journal("CLIENT", 2, {{"CLIENT.dll", 4096}, {"data\\my file.txt", 7}});
  journal.Write("Larch.journal");
  EXPECT_EQ(ReadFile("Larch.journal"),
            "installing CLIENT version 2\n4096 CLIENT.dll\n7 data\\my file.txt\nend\n");
  EXPECT_FALSE(FileExists("Larch.journal.tmp"));
  CInstallJournal read;
  ASSERT_TRUE(read.Read("Larch.journal"));
  EXPECT_EQ(read.Text(), journal.Text());
  EXPECT_EQ(read.Component(), "CLIENT");
  EXPECT_EQ(read.Version(), 2);
  // A failed write leaves neither the journal nor its temporary file.
  platform::InjectFailure("Write", 1, 28);
  EXPECT_EQ(larch_test::ErrorOf([&] { journal.Write("Other.journal"); }),
            "unable to write the journal Other.journal (errno = 28)");
  platform::ClearInjectedFailures();
  EXPECT_FALSE(FileExists("Other.journal"));
  EXPECT_FALSE(FileExists("Other.journal.tmp"));
  EXPECT_FALSE(read.Read("Other.journal"));
}

TEST(InstallJournal, AnythingButAWholeJournalIsRefused) {
  const std::string sWhole = "installing CLIENT version 2\n3 a.txt\nend\n";
  CInstallJournal journal;
  ASSERT_TRUE(journal.Parse(sWhole));
  for (const std::string& sText :
       {std::string(), sWhole.substr(0, sWhole.size() - 4), sWhole + "x",
        std::string("installing CLIENT version 02\nend\n"),
        std::string("installing CLIENT version -2\nend\n"),
        std::string("installing CLIENT version 2147483648\nend\n"),
        std::string("installing  version 2\nend\n"), std::string("installing CLIENT 2\nend\n"),
        std::string("installing CLIENT version 2\n3a.txt\nend\n"),
        std::string("installing CLIENT version 2\n3 \nend\n"),
        std::string("installing CLIENT version 2\n-3 a.txt\nend\n")}) {
    EXPECT_FALSE(journal.Parse(sText)) << sText;
  }
  EXPECT_EQ(journal.Text(), sWhole);  // left as it was
}

}  // namespace
}  // namespace bootstrapper
