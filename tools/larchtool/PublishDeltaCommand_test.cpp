// 'larchtool publish' writing delta packages, 'pkg list' showing them, '--show' and '--prune'.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommandTestUtil.h"
#include "package/PkgFile.h"
#include "protocols/ClientConfigDBKeyRecord.h"
#include "protocols/DeltaPackage.h"
#include "security/Sha256.h"

namespace larchtool {
namespace {

using Weft::CClientConfigRecord;
namespace fs = std::filesystem;

// Bytes that do not compress, the same for the same seed.
std::string Noise(uint32_t uSeed, size_t uSize) {
  std::string s(uSize, '\0');
  uint64_t u = 0x9E3779B97F4A7C15ull * (uSeed + 1);
  for (char& c : s) {
    u ^= u << 13;
    u ^= u >> 7;
    u ^= u << 17;
    c = static_cast<char>(u >> 56);
  }
  return s;
}

std::string Hex(const std::string& sBytes) {
  common::Sha256Digest hash = common::CSha256::Digest(sBytes.data(), sBytes.size());
  return common::ToLowerHex(hash.data(), hash.size());
}

// "244 bytes" or "41.3 KB", as the tool writes sizes below 999950 bytes.
std::string Shown(uint64_t u64Bytes) {
  if (u64Bytes < 1000) return std::to_string(u64Bytes) + " bytes";
  char sz[32];
  std::snprintf(sz, sizeof(sz), "%.1f KB", static_cast<double>(u64Bytes) / 1000);
  return sz;
}

class PublishDeltaCommand : public ::testing::Test {
 protected:
  uint32_t Tool(const std::string& sArgs) { return RunTool(m_dir, sArgs, m_sOut, m_sErr); }
  uint32_t Publish(const std::string& sArgs) {
    return Tool("publish --dir '" + m_dir / "pub" + "' " + sArgs);
  }
  // Publishes the files (entry name with '/' between levels -> content) as version V.
  uint32_t PublishVersion(uint32_t uVersion, const std::map<std::string, std::string>& files,
                          const std::string& sOptions = "") {
    const std::string sFolder = m_dir / ("v" + std::to_string(uVersion));
    fs::remove_all(sFolder);
    for (const auto& file : files) {
      fs::create_directories(fs::path(sFolder + "/" + file.first).parent_path());
      larch_test::WriteFile(sFolder + "/" + file.first, file.second);
    }
    return Publish("--component W --version " + std::to_string(uVersion) +
                   " --client-file hello.exe " + sOptions + " -C '" + sFolder + "'");
  }
  std::string Pub(const std::string& sName) { return m_dir / ("pub/" + sName); }
  uint64_t Size(const std::string& sName) { return fs::file_size(Pub(sName)); }
  std::unique_ptr<CClientConfigRecord> Record() {
    std::vector<uint8_t> image = larch_test::ReadFileBytes(Pub("ClientConfigRecord.blob"));
    return std::unique_ptr<CClientConfigRecord>(
        new CClientConfigRecord(image.data(), static_cast<uint32_t>(image.size())));
  }
  // The from-versions the record offers (deltas to version uTo), each checked against its file.
  std::vector<uint32_t> Offers(uint32_t uTo) {
    std::vector<CClientConfigRecord::SDeltaOffer> offers;
    std::vector<uint32_t> froms;
    if (!Record()->GetClientAppDeltas(offers)) return froms;
    for (const auto& offer : offers) {
      const std::string sBytes =
          FileText(Pub(common::DeltaPackageName("W", offer.u32FromVersion, uTo)));
      EXPECT_EQ(sBytes.size(), offer.digest.u64Size);
      EXPECT_EQ(common::CSha256::Digest(sBytes.data(), sBytes.size()), offer.digest.hash);
      froms.push_back(offer.u32FromVersion);
    }
    return froms;
  }
  std::vector<std::string> EntryNames(const std::string& sPkg) {
    std::vector<std::string> names;
    common::CPkgFile(Pub(sPkg)).GetFileNames(names);
    return names;
  }
  std::string ListEntry(const std::string& sPkg) {
    std::string sText;
    EXPECT_TRUE(
        common::CPkgFile(Pub(sPkg)).ReadEntry(common::sc_szDeltaFileListEntry, 1 << 20, sText));
    return sText;
  }
  std::vector<std::string> Published() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir / "pub")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  larch_test::CScratchDir m_dir;
  std::string m_sOut, m_sErr;
};

// The file list of a delta from one set of files to another: "SIZE SHA-256 NAME" lines of the
// changed files, "SIZE - NAME" of the others, in entry-name order, and the SHA-256 of the
// others' digests.
std::string ListText(uint32_t uFrom, const std::map<std::string, std::string>& from, uint32_t uTo,
                     const std::map<std::string, std::string>& files) {
  std::string sText = "larch delta file list 1\nfrom " + std::to_string(uFrom) + " to " +
                      std::to_string(uTo) + "\n";
  std::string sDigests;
  for (const auto& file : files) {
    std::string sName = file.first;
    std::replace(sName.begin(), sName.end(), '/', '\\');
    const auto itFrom = from.find(file.first);
    const bool bInstalled = itFrom != from.end() && itFrom->second == file.second;
    if (bInstalled) {
      const common::Sha256Digest hash =
          common::CSha256::Digest(file.second.data(), file.second.size());
      sDigests.append(hash.begin(), hash.end());
    }
    sText += std::to_string(file.second.size()) + " " + (bInstalled ? "-" : Hex(file.second)) +
             " " + sName + "\n";
  }
  return sText + "installed " + Hex(sDigests) + "\nend\n";
}

TEST_F(PublishDeltaCommand, DeltasHoldWhatChangedAndTheListAndTheSignedRecordOffersThem) {
  fs::create_directories(m_dir / "pub");
  ASSERT_EQ(0u, Tool("keygen '" + m_dir / "k" + "'"));
  const std::string sKey = "--sign-key '" + m_dir / "k" + "'";
  const std::map<std::string, std::string> v1 = {
      {"big.bin", Noise(1, 60000)},    {"hello.exe", "application"},
      {"sub/one.txt", Noise(2, 2000)}, {"removed.txt", Noise(3, 2000)},
      {"old.txt", Noise(4, 2000)},     {"case.txt", Noise(5, 2000)},
      {"back.txt", Noise(6, 2000)}};
  std::map<std::string, std::string> v2 = v1;
  v2["sub/one.txt"][1000] ^= 1;
  v2.erase("removed.txt");
  v2["renamed.txt"] = v2["old.txt"];
  v2.erase("old.txt");
  v2["Case.txt"] = v2["case.txt"];
  v2.erase("case.txt");
  v2["back.txt"] = Noise(7, 2000);
  v2["added.txt"] = Noise(8, 2000);
  std::map<std::string, std::string> v3 = v2;
  v3["back.txt"] = v1.at("back.txt");  // changed back to what version 1 held

  ASSERT_EQ(0u, PublishVersion(1, v1, sKey)) << m_sErr;
  ASSERT_EQ(0u, PublishVersion(2, v2, sKey)) << m_sErr;
  ASSERT_EQ(0u, PublishVersion(3, v3, sKey)) << m_sErr;
  EXPECT_EQ(
      "published W version 3: W_3.pkg (7 files)\n"
      "delta W_2-3.pkg: 1 of 7 files, " +
          Shown(Size("W_2-3.pkg")) + "\ndelta W_1-3.pkg: 4 of 7 files, " +
          Shown(Size("W_1-3.pkg")) + "\n",
      m_sOut.substr(0, m_sOut.find("record: ")));
  EXPECT_EQ("", m_sErr);
  EXPECT_EQ((std::vector<std::string>{"Case.txt", "added.txt", "back.txt", "renamed.txt",
                                      "sub\\one.txt", "|delta-files|"}),
            EntryNames("W_1-2.pkg"));
  EXPECT_EQ((std::vector<std::string>{"back.txt", "|delta-files|"}), EntryNames("W_2-3.pkg"));
  EXPECT_EQ((std::vector<std::string>{"Case.txt", "added.txt", "renamed.txt", "sub\\one.txt",
                                      "|delta-files|"}),
            EntryNames("W_1-3.pkg"));
  EXPECT_EQ(ListText(1, v1, 2, v2), ListEntry("W_1-2.pkg"));
  EXPECT_EQ(ListText(1, v1, 3, v3), ListEntry("W_1-3.pkg"));
  EXPECT_EQ((std::vector<uint32_t>{2, 1}), Offers(3));
  common::PublicKey key;
  ASSERT_TRUE(common::FromHex(FileText(m_dir / "k.pub").substr(0, 64), key.data(), key.size()));
  EXPECT_TRUE(Record()->IsSignedBy(key));

  // A rollback offers deltas from the newer versions to the older one.
  ASSERT_EQ(0u, PublishVersion(1, v1, sKey)) << m_sErr;
  EXPECT_EQ((std::vector<std::string>{"case.txt", "old.txt", "removed.txt", "sub\\one.txt",
                                      "|delta-files|"}),
            EntryNames("W_3-1.pkg"));
  EXPECT_EQ(ListText(3, v3, 1, v1), ListEntry("W_3-1.pkg"));
  EXPECT_EQ((std::vector<uint32_t>{3, 2}), Offers(1));
  EXPECT_TRUE(Record()->IsSignedBy(key));
}

TEST_F(PublishDeltaCommand, CountSixtyPercentAndDamagedVersions) {
  fs::create_directories(m_dir / "pub");
  std::map<std::string, std::string> files = {{"big.bin", Noise(1, 30000)},
                                              {"hello.exe", "application"}};
  for (uint32_t u = 1; u <= 3; ++u) {
    files["hello.exe"] = "application " + std::to_string(u);
    ASSERT_EQ(0u, PublishVersion(u, files, u == 3 ? "--deltas 0" : "--deltas 1")) << m_sErr;
  }
  EXPECT_EQ((std::vector<std::string>{"ClientConfigRecord.blob", "W_1-2.pkg", "W_1.pkg", "W_2.pkg",
                                      "W_3.pkg"}),
            Published());
  EXPECT_EQ(std::vector<uint32_t>{}, Offers(0));

  // Every byte changed: a delta would cost more than 60% of the full package.
  files["big.bin"] = Noise(2, 30000);
  files["hello.exe"] = "application 4";
  std::string sBytes = FileText(Pub("W_2.pkg"));
  larch_test::WriteFile(Pub("W_2.pkg"), sBytes.substr(0, sBytes.size() - 3));
  ASSERT_EQ(0u, PublishVersion(4, files)) << m_sErr;
  const std::string sTooLarge =
      ": 30.3 KB, more than 60% of the full package (" + Shown(Size("W_4.pkg")) + ")\n";
  EXPECT_EQ("published W version 4: W_4.pkg (2 files)\nno delta W_3-4.pkg" + sTooLarge +
                "no delta W_1-4.pkg" + sTooLarge + "record: sequence 4, not signed\n",
            m_sOut);
  EXPECT_EQ(
      "larchtool publish: note: no delta from version 2: W_2.pkg cannot be read: corrupt pkg file "
      "header (invalid compression level 150994944)\n",
      m_sErr);
  EXPECT_EQ((std::vector<std::string>{"ClientConfigRecord.blob", "W_1-2.pkg", "W_1.pkg", "W_2.pkg",
                                      "W_3.pkg", "W_4.pkg"}),
            Published());
  EXPECT_EQ(std::vector<uint32_t>{}, Offers(0));

  // A file under the name of the delta's list is refused whatever the options.
  files["|delta-files|"] = "list";
  EXPECT_EQ(1u, PublishVersion(5, files, "--force"));
  EXPECT_EQ(
      "W_5.pkg would hold a file |delta-files|, the name that holds a delta's file list; rename "
      "it\n",
      m_sErr);
  EXPECT_EQ((std::vector<std::string>{"ClientConfigRecord.blob", "W_1-2.pkg", "W_1.pkg", "W_2.pkg",
                                      "W_3.pkg", "W_4.pkg"}),
            Published());
  EXPECT_EQ(2u, Publish("--deltas 1 --show"));
  EXPECT_EQ(2u, Publish("--component Larch --version 2 --bootstrapper --deltas 1 '" +
                        m_dir / "v4/hello.exe" + "'"));
}

TEST_F(PublishDeltaCommand, ListShowAndPruneKeepTheOfferedDeltas) {
  fs::create_directories(m_dir / "pub");
  std::map<std::string, std::string> files = {{"big.bin", Noise(1, 30000)}};
  for (uint32_t u = 1; u <= 3; ++u) {
    files["hello.exe"] = "application " + std::to_string(u);
    ASSERT_EQ(0u, PublishVersion(u, files)) << m_sErr;
  }
  ASSERT_EQ(0u, Tool("pkg list '" + Pub("W_2-3.pkg") + "'"));
  EXPECT_EQ(
      "delta from 2 to 3: 2 files, 1 of them in the delta, 1 from the installation\n"
      "          size  SHA-256 (start)   source     name\n"
      "         30000  -                 installed  big.bin\n"
      "            13  " +
          Hex("application 3").substr(0, 16) + "  delta      hello.exe\n",
      m_sOut.substr(m_sOut.find("delta from")));

  const std::string sPackageLine = "Client application:  W version 3 (W_3.pkg, " +
                                   Shown(Size("W_3.pkg")) + ", SHA-256 " +
                                   Hex(FileText(Pub("W_3.pkg"))) + "; file matches)\n";
  auto OfferText = [&](const std::string& sPkg) {
    return sPkg + ", " + Shown(Size(sPkg)) + ", SHA-256 " + Hex(FileText(Pub(sPkg)));
  };
  const std::string sOffer13 = OfferText("W_1-3.pkg");
  const std::string sRemoved =
      "removed W_2.pkg (" + Shown(Size("W_2.pkg")) + ")\nremoved W_1.pkg (" +
      Shown(Size("W_1.pkg")) + ")\nremoved W_1-2.pkg (" + Shown(Size("W_1-2.pkg")) +
      ")\npruned 3 packages (" + Shown(Size("W_1.pkg") + Size("W_2.pkg") + Size("W_1-2.pkg")) +
      "), kept 3\n";
  ASSERT_EQ(0u, Publish("--prune 1"));
  EXPECT_EQ(sRemoved, m_sOut);
  EXPECT_EQ(
      (std::vector<std::string>{"ClientConfigRecord.blob", "W_1-3.pkg", "W_2-3.pkg", "W_3.pkg"}),
      Published());

  // An offered delta that went missing or changed since it was published.
  fs::remove(Pub("W_2-3.pkg"));
  larch_test::WriteFile(Pub("W_1-3.pkg"), "damaged");
  ASSERT_EQ(0u, Publish("--show"));
  EXPECT_EQ("Publish directory:   " + m_dir / "pub" +
                "\n"
                "Bootstrapper:        none published\n" +
                sPackageLine +
                "Deltas offered:      from version 2: W_2-3.pkg is missing\n"
                "                     from version 1: " +
                sOffer13 + "; the file differs: 7 bytes, SHA-256 " + Hex("damaged") +
                "\n"
                "Record:              sequence 3, not signed\n"
                "Other packages:      none\n",
            m_sOut);
}

}  // namespace
}  // namespace larchtool
