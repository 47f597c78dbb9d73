// The tests of larchtool's commands run the built tool as the operator does.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/TestUtil.h"

namespace larchtool {

inline std::string FileText(const std::string& sPath) {
  std::vector<uint8_t> bytes = larch_test::ReadFileBytes(sPath);
  return std::string(bytes.begin(), bytes.end());
}

// Runs 'larchtool ARGS' (arguments quoted for the shell, without double quotes); its exit
// code, with its stdout and stderr (kept in the directory) in sOut and sErr.
inline uint32_t RunTool(const larch_test::CScratchDir& dir, const std::string& sArgs,
                        std::string& sOut, std::string& sErr) {
  platform::CProcess process;
  EXPECT_TRUE(process.Start("/bin/sh -c \"exec '" LARCH_TOOL "' " + sArgs + " 2> '" +
                            dir / "err.txt" + "' > '" + dir / "out.txt" + "'\""));
  uint32_t uExit = 99;
  EXPECT_TRUE(process.Wait(60000, uExit));
  sOut = FileText(dir / "out.txt");
  sErr = FileText(dir / "err.txt");
  return uExit;
}

}  // namespace larchtool
