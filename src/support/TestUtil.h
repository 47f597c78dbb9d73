// Helpers for tests: scratch directories, and child processes for multi-process tests.
//
// Child processes: A test binary starts itself again with
// LARCH_TEST_CHILD naming a child function; that function then runs instead of the tests, with
// the argument from LARCH_TEST_CHILD_ARG, and its result is the process's exit code.
//
//   static const bool s_bHold = larch_test::RegisterChild("hold", [](const std::string& a) {...});
//   platform::CProcess child; larch_test::StartChild("hold", "arg", child);
#pragma once

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"

namespace larch_test {

// A fresh, empty directory under the system's temporary folder, removed with its contents when
// the object goes.
class CScratchDir {
 public:
  CScratchDir() {
    static int s_nCounter = 0;
    m_path = std::filesystem::temp_directory_path() /
             ("larch-test-" + std::to_string(platform::GetProcessId()) + "-" +
              std::to_string(++s_nCounter));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~CScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;

  std::string Path() const { return m_path.string(); }
  std::string operator/(const std::string& sName) const { return (m_path / sName).string(); }

 private:
  std::filesystem::path m_path;
};

// The whole file's bytes; empty when it cannot be read.
inline std::vector<uint8_t> ReadFileBytes(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole file as text; empty when it cannot be read.
inline std::string ReadFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Creates or replaces the file with the text.
inline void WriteFile(const std::string& sPath, const std::string& sContent) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sContent;
}

// The text of the exception that fn throws, or "(no exception)".
inline std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// Runs the child function and exits when this process was started as that child.
inline bool RegisterChild(const char* pszName, const std::function<int(const std::string&)>& fn) {
  std::string sChild, sArg;
  if (platform::GetEnvVar("LARCH_TEST_CHILD", sChild) && sChild == pszName) {
    platform::GetEnvVar("LARCH_TEST_CHILD_ARG", sArg);
    std::exit(fn(sArg));
  }
  return true;
}

inline bool StartChild(const std::string& sName, const std::string& sArg,
                       platform::CProcess& process) {
  std::string sExe;
  if (!platform::GetExecutablePath(sExe)) return false;
  platform::SetEnvVar("LARCH_TEST_CHILD", sName);
  platform::SetEnvVar("LARCH_TEST_CHILD_ARG", sArg);
  bool bOk = process.Start("\"" + sExe + "\"");
  platform::UnsetEnvVar("LARCH_TEST_CHILD");
  platform::UnsetEnvVar("LARCH_TEST_CHILD_ARG");
  return bOk;
}

// Waits until a file exists (a child's "ready" signal); false after uMilliseconds.
inline bool WaitForFile(const std::string& sPath, unsigned uMilliseconds) {
  for (unsigned u = 0; u < uMilliseconds; u += 20) {
    platform::SFileStatus status;
    if (platform::GetFileStatus(sPath, status)) return true;
    platform::SleepMilliseconds(20);
  }
  return false;
}

}  // namespace larch_test
