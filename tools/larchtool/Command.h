// Subcommand groups of larchtool. Each group lives in its own <Group>Command.cpp and registers
// itself with a static CCommandRegistration; main() dispatches on the first argument.
//
// Exit codes: 0 ok, 1 failure (the system's message on stderr), 2 usage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

constexpr int sc_nExitOk = 0;
constexpr int sc_nExitFailure = 1;
constexpr int sc_nExitUsage = 2;

// Runs the group with the arguments after its name. Throwing a std::exception is a failure
// (exit 1, what() on stderr); a CUsageError is a usage error (exit 2, message and usage).
using CommandFn = int (*)(const std::vector<std::string>& args);

struct SCommand {
  const char* pszName;     // "blob", "pkg", ...
  const char* pszSummary;  // one line for the top-level help
  const char* pszUsage;    // the group's help text
  CommandFn pfnRun;
};

class CUsageError : public std::exception {
 public:
  explicit CUsageError(std::string sMessage) : m_sMessage(std::move(sMessage)) {}
  const char* what() const noexcept override { return m_sMessage.c_str(); }

 private:
  std::string m_sMessage;
};

class CCommandRegistration {
 public:
  explicit CCommandRegistration(const SCommand& command);
};

const std::vector<SCommand>& RegisteredCommands();

// True when args hold "--help" or "-h".
bool WantsHelp(const std::vector<std::string>& args);

// The decimal value of an option, digits only (no sign, no blanks), from uMin to uMax; a
// CUsageError "OPTION must be a WHAT from MIN to MAX: 'TEXT'" otherwise.
uint32_t ParseNumberOption(const char* pszOption, const char* pszWhat, const std::string& sText,
                           uint32_t uMin, uint32_t uMax);

}  // namespace larchtool
