#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Command.h"
#include "support/Version.h"

namespace larchtool {

static std::vector<SCommand>& Commands() {
  static std::vector<SCommand> commands;
  return commands;
}

CCommandRegistration::CCommandRegistration(const SCommand& command) {
  Commands().push_back(command);
}

const std::vector<SCommand>& RegisteredCommands() {
  std::sort(Commands().begin(), Commands().end(), [](const SCommand& a, const SCommand& b) {
    return std::string(a.pszName) < b.pszName;
  });
  return Commands();
}

bool WantsHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& s) { return s == "--help" || s == "-h"; });
}

uint32_t ParseNumberOption(const char* pszOption, const char* pszWhat, const std::string& sText,
                           uint32_t uMin, uint32_t uMax) {
  const bool bDigits =
      !sText.empty() && sText.size() <= 10 &&
      std::all_of(sText.begin(), sText.end(), [](char c) { return c >= '0' && c <= '9'; });
  const uint64_t u64 = bDigits ? std::stoull(sText) : 0;
  if (!bDigits || u64 < uMin || u64 > uMax) {
    throw CUsageError(std::string(pszOption) + " must be a " + pszWhat + " from " +
                      std::to_string(uMin) + " to " + std::to_string(uMax) + ": '" + sText + "'");
  }
  return static_cast<uint32_t>(u64);
}

static void PrintTopUsage(FILE* pOut) {
  std::fprintf(pOut,
               "usage: larchtool GROUP [ARGS...]\n\nThe operator's tool for Larch "
               "deployments.\n\nGroups:\n");
  for (const SCommand& c : RegisteredCommands()) {
    std::fprintf(pOut, "  %-10s %s\n", c.pszName, c.pszSummary);
  }
  std::fprintf(pOut,
               "\n'larchtool GROUP --help' describes a group; 'larchtool --version' prints the "
               "version.\n");
}

static int Run(int argc, char** argv) {
  if (argc < 2) {
    PrintTopUsage(stderr);
    return sc_nExitUsage;
  }
  std::string sGroup = argv[1];
  if (sGroup == "--help" || sGroup == "-h" || sGroup == "help") {
    PrintTopUsage(stdout);
    return sc_nExitOk;
  }
  if (sGroup == "--version") {
    std::printf("larchtool %s\n", common::sc_pszLarchVersion);
    return sc_nExitOk;
  }
  for (const SCommand& c : RegisteredCommands()) {
    if (sGroup != c.pszName) continue;
    std::vector<std::string> args(argv + 2, argv + argc);
    if (args.empty() || (args.size() == 1 && WantsHelp(args))) {
      std::fputs(c.pszUsage, args.empty() ? stderr : stdout);
      return args.empty() ? sc_nExitUsage : sc_nExitOk;
    }
    try {
      return c.pfnRun(args);
    } catch (const CUsageError& e) {
      std::fprintf(stderr, "larchtool %s: %s\n%s", c.pszName, e.what(), c.pszUsage);
      return sc_nExitUsage;
    }
  }
  std::fprintf(stderr, "larchtool: unknown group '%s'\n", sGroup.c_str());
  PrintTopUsage(stderr);
  return sc_nExitUsage;
}

}  // namespace larchtool

int main(int argc, char** argv) {
  try {
    return larchtool::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return larchtool::sc_nExitFailure;
  } catch (...) {
    std::fprintf(stderr, "unknown error\n");
    return larchtool::sc_nExitFailure;
  }
}
