// 'larchtool keygen' as the operator runs it: the two key files, their formats and modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CommandTestUtil.h"
#include "security/Sha256.h"
#include "security/SigningKey.h"

namespace larchtool {
namespace {

namespace fs = std::filesystem;

TEST(KeygenCommand, WritesAPrivateSecretKeyAndItsPublicKeyAndNeverOverwrites) {
  larch_test::CScratchDir dir;
  const std::string sKey = dir / "release.key";
  std::string sOut, sErr;
  ASSERT_EQ(0u, RunTool(dir, "keygen '" + sKey + "'", sOut, sErr)) << sErr;

  // One line each; the public key is the one the seed makes.
  std::string sSecret = FileText(sKey), sPublic = FileText(sKey + ".pub");
  ASSERT_EQ(65u, sSecret.size());
  common::KeySeed seed;
  ASSERT_TRUE(common::FromHex(sSecret.substr(0, 64), seed.data(), seed.size()));
  EXPECT_EQ(common::ToLowerHex(seed.data(), seed.size()) + "\n", sSecret);
  common::CSigningKey key = common::CSigningKey::FromSeed(seed);
  const std::string sHex = common::ToLowerHex(key.Public().data(), key.Public().size());
  EXPECT_EQ(sHex + "\n", sPublic);
  EXPECT_EQ("secret key: " + sKey + "\npublic key: " + sKey + ".pub " + sHex + "\n", sOut);
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(sKey).permissions() & fs::perms::all);

  // Two runs make two keys; neither file is ever overwritten, and a refusal writes nothing.
  ASSERT_EQ(0u, RunTool(dir, "keygen '" + dir / "other.key" + "'", sOut, sErr));
  EXPECT_NE(sSecret, FileText(dir / "other.key"));
  EXPECT_EQ(1u, RunTool(dir, "keygen '" + sKey + "'", sOut, sErr));
  EXPECT_EQ(sKey + ".pub exists; not overwritten\n", sErr);
  fs::remove(sKey + ".pub");
  EXPECT_EQ(1u, RunTool(dir, "keygen '" + sKey + "'", sOut, sErr));
  EXPECT_EQ(sKey + " exists; not overwritten\n", sErr);
  EXPECT_EQ(sSecret, FileText(sKey));
  EXPECT_FALSE(fs::exists(sKey + ".pub"));
  larch_test::WriteFile(dir / "new.key.pub", "mine");
  EXPECT_EQ(1u, RunTool(dir, "keygen '" + dir / "new.key" + "'", sOut, sErr));
  EXPECT_FALSE(fs::exists(dir / "new.key"));
  EXPECT_EQ("mine", FileText(dir / "new.key.pub"));
}

}  // namespace
}  // namespace larchtool
