// larchtool pkg: creates, extends, lists and unpacks package files.
#include <cstdio>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Command.h"
#include "package/PkgFile.h"
#include "platform/File.h"
#include "platform/Terminal.h"
#include "protocols/DeltaPackage.h"

namespace larchtool {
namespace {

const char sc_szPkgUsage[] =
    "usage: larchtool pkg create OUT.pkg [-l LEVEL] PATH...\n"
    "       larchtool pkg add PKG PATH...\n"
    "       larchtool pkg list PKG\n"
    "       larchtool pkg extract PKG [NAME] [-C DIR]\n"
    "\n"
    "  create   writes a new package (replacing OUT.pkg) holding the files and directories;\n"
    "           LEVEL is the compression level 0 (none) to 9 (best, the default)\n"
    "  add      adds files and directories to an existing package\n"
    "  list     prints the package's table of contents; for a delta package also the file\n"
    "           list of the version it builds: each file's size, the start of its SHA-256,\n"
    "           and whether the delta holds it or the installation must have it already\n"
    "  extract  unpacks every entry, or the entries named NAME, into DIR (default: the\n"
    "           current directory), creating the directories of the entry names\n"
    "\n"
    "A file is stored under its own name, a directory with everything below it under names\n"
    "that start with the directory's name, with a backslash between levels (tools\\sub\\b.txt).\n"
    "Two files that would be stored under the same name (letter case ignored) are refused.\n"
    "Empty files cannot be stored in a package: they are skipped with a warning.\n";

constexpr int32_t sc_nDefaultLevel = 9;
// A delta's file list is read into memory: a line per file of a version, far below this.
constexpr uint64_t sc_u64MaxDeltaListSize = 256u << 20;
// Bytes of a SHA-256 shown in a delta's file list (as hexadecimal digits, twice as many).
constexpr size_t sc_uShortHashBytes = 8;
// A line of a delta's file list before the name: size, hash, where the file comes from.
const char sc_szDeltaLineFormat[] = "%14s  %-16s  %-9s  ";

// Warnings on stderr; on a terminal also a progress line that rewrites itself.
class CConsoleListener : public common::IPkgFileListener {
 public:
  explicit CConsoleListener(const char* pszVerb)
      : m_pszVerb(pszVerb), m_bTerminal(platform::IsStderrTerminal()) {}
  ~CConsoleListener() override { EndLine(); }

  void OnPkgWarning(const std::string& sText) override {
    EndLine();
    std::fprintf(stderr, "larchtool pkg: warning: %s\n", sText.c_str());
  }

  void OnPkgProgress(uint64_t u64Done, uint64_t u64Total) override {
    if (!m_bTerminal || u64Total == 0) return;
    int nPercent = static_cast<int>(u64Done * 100 / u64Total);
    if (nPercent == m_nLastPercent) return;
    m_nLastPercent = nPercent;
    std::fprintf(stderr, "\r%s %3d%% (%.1f of %.1f MB)", m_pszVerb, nPercent,
                 static_cast<double>(u64Done) / 1e6, static_cast<double>(u64Total) / 1e6);
    std::fflush(stderr);
    m_bLineOpen = true;
  }

 private:
  void EndLine() {
    if (m_bLineOpen) std::fputc('\n', stderr);
    m_bLineOpen = false;
  }

  const char* m_pszVerb;
  bool m_bTerminal;
  bool m_bLineOpen = false;
  int m_nLastPercent = -1;
};

// Takes "OPTION VALUE" out of the arguments; false when the option is absent.
bool TakeOption(std::vector<std::string>& args, const char* pszOption, std::string& sValue) {
  for (size_t u = 0; u < args.size(); ++u) {
    if (args[u] != pszOption) continue;
    if (u + 1 == args.size()) throw CUsageError(std::string(pszOption) + " needs a value");
    sValue = args[u + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(u),
               args.begin() + static_cast<std::ptrdiff_t>(u) + 2);
    return true;
  }
  return false;
}

void RejectOptions(const std::vector<std::string>& args) {
  for (const std::string& sArg : args) {
    if (sArg.size() > 1 && sArg[0] == '-') throw CUsageError("unknown option " + sArg);
  }
}

int32_t ParseLevel(const std::string& sLevel) {
  if (sLevel.size() != 1 || sLevel[0] < '0' || sLevel[0] > '9') {
    throw CUsageError("the level must be a number from 0 to 9, not " + sLevel);
  }
  return sLevel[0] - '0';
}

int RunCreate(std::vector<std::string> args) {
  std::string sLevel;
  int32_t nLevel = TakeOption(args, "-l", sLevel) ? ParseLevel(sLevel) : sc_nDefaultLevel;
  RejectOptions(args);
  if (args.size() < 2) throw CUsageError("create needs OUT.pkg and at least one PATH");
  CConsoleListener listener("compressing");
  common::CPkgFile pkg(nLevel);
  pkg.SetListener(&listener);
  pkg.Create(args[0], nLevel);
  pkg.AddFiles(std::vector<std::string>(args.begin() + 1, args.end()));
  return sc_nExitOk;
}

int RunAdd(std::vector<std::string> args) {
  RejectOptions(args);
  if (args.size() < 2) throw CUsageError("add needs PKG and at least one PATH");
  CConsoleListener listener("compressing");
  common::CPkgFile pkg(args[0]);
  pkg.SetListener(&listener);
  pkg.AddFiles(std::vector<std::string>(args.begin() + 1, args.end()));
  return sc_nExitOk;
}

// "delta from U to V: N files, M of them in the delta" and a line per file of V.
void ListDeltaFiles(const common::CPkgFile& pkg, const std::string& sListText) {
  common::SDeltaFileList list = common::ParseDeltaFileList(sListText);
  std::vector<std::string> names;
  pkg.GetFileNames(names);
  std::set<std::string> carried(names.begin(), names.end());
  carried.erase(common::sc_szDeltaFileListEntry);
  char szHeading[80];
  std::snprintf(szHeading, sizeof(szHeading), sc_szDeltaLineFormat, "size", "SHA-256 (start)",
                "source");
  std::string sLines = std::string(szHeading) + "name\n";
  for (const common::SDeltaListedFile& file : list.files) {
    const bool bCarried = carried.erase(file.sEntryName) > 0;
    char sz[80];
    std::snprintf(sz, sizeof(sz), sc_szDeltaLineFormat, std::to_string(file.u64Size).c_str(),
                  file.bFromInstallation
                      ? "-"
                      : common::ToLowerHex(file.hash.data(), sc_uShortHashBytes).c_str(),
                  bCarried ? "delta" : "installed");
    sLines += sz + file.sEntryName + "\n";
  }
  for (const std::string& sExtra : carried) sLines += "not in the list: " + sExtra + "\n";
  const size_t uInDelta = names.size() - 1 - carried.size();
  std::cout << "delta from " << list.u32FromVersion << " to " << list.u32ToVersion << ": "
            << list.files.size() << " file" << (list.files.size() == 1 ? "" : "s") << ", "
            << uInDelta << " of them in the delta, " << list.files.size() - uInDelta
            << " from the installation\n"
            << sLines;
}

int RunList(std::vector<std::string> args) {
  RejectOptions(args);
  if (args.size() != 1) throw CUsageError("list needs exactly one PKG");
  common::CPkgFile pkg(args[0]);
  pkg.List(std::cout);
  std::string sListText;
  if (pkg.ReadEntry(common::sc_szDeltaFileListEntry, sc_u64MaxDeltaListSize, sListText)) {
    ListDeltaFiles(pkg, sListText);
  }
  std::cout.flush();
  return sc_nExitOk;
}

int RunExtract(std::vector<std::string> args) {
  std::string sDir;
  TakeOption(args, "-C", sDir);
  RejectOptions(args);
  if (args.empty() || args.size() > 2) throw CUsageError("extract needs PKG and at most one NAME");
  CConsoleListener listener("unpacking");
  common::CPkgFile pkg(args[0]);
  if (!sDir.empty() && !platform::MakeDirectory(sDir)) {
    throw std::runtime_error("unable to create directory " + sDir);
  }
  pkg.SetListener(&listener);
  if (args.size() == 1) {
    pkg.ExtractAll(sDir);
  } else if (pkg.ExtractByName(args[1], sDir) == 0) {
    throw std::runtime_error("no entry named " + args[1] + " in " + args[0]);
  }
  return sc_nExitOk;
}

int RunPkg(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(sc_szPkgUsage, stdout);
    return sc_nExitOk;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  const std::string& sVerb = args[0];
  if (sVerb == "create") return RunCreate(rest);
  if (sVerb == "add") return RunAdd(rest);
  if (sVerb == "list") return RunList(rest);
  if (sVerb == "extract") return RunExtract(rest);
  throw CUsageError("unknown command " + sVerb);
}

const CCommandRegistration s_registration(SCommand{
    "pkg", "create, extend, list and unpack package files", sc_szPkgUsage, RunPkg});

}  // namespace
}  // namespace larchtool
