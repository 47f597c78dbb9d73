// The program's own command-line splitter and the path splitter its names are made with.
#pragma once

#include <string>

namespace bootstrapper {

// The parts of a path as the runtime's path splitter gives them: drive ("C:"), directory with
// its trailing separator, file name without extension, extension with its dot.
struct SPathParts {
  std::string sDrive;
  std::string sDirectory;
  std::string sFileName;
  std::string sExtension;
};
SPathParts SplitPath(const std::string& sPath);

// The argument table of one process: 50 slots of 260 characters and the vector of pointers to
// the used slots. Filled once by Parse; the pointers stay valid while the object lives.
class CCommandLine {
 public:
  static constexpr int sc_nMaxArgs = 50;
  static constexpr size_t sc_uSlotSize = 260;

  CCommandLine();
  CCommandLine(const CCommandLine&) = delete;
  CCommandLine& operator=(const CCommandLine&) = delete;

  // Splits the raw line: a double-quoted argument loses its quotes and keeps its blanks; an
  // unquoted one runs to the next blank, quotes and tabs included; other white space is
  // skipped. A missing closing quote is an assertion failure and the rest of the line is the
  // last argument. Throws std::runtime_error for more than 50 arguments or an argument
  // longer than 259 characters, and for an empty line.
  void Parse(const std::string& sLine);

  int Argc() const { return m_nArgc; }
  char** Argv() { return m_apArgv; }

 private:
  void AddArgument(const std::string& sArg);

  char m_aszSlots[sc_nMaxArgs][sc_uSlotSize];
  char* m_apArgv[sc_nMaxArgs + 1];
  int m_nArgc = 0;
};

// Writes a program name for a command line: in double quotes when it holds a blank, so that
// the splitter on the other side keeps it whole.
std::string QuoteProgramName(const std::string& sName);

}  // namespace bootstrapper
