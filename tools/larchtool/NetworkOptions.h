// What the commands that talk to the operator's servers (probe, status) read alike from their
// arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// The port of a directory server address given without one, as the bootstrapper assumes.
constexpr uint16_t sc_u16DirectoryServerPort = 5273;

// args[uIndex]; a CUsageError "missing WHAT" when there is none.
std::string Require(const std::vector<std::string>& args, size_t uIndex, const char* pszWhat);

// A whole decimal number within [0, uMax]; a CUsageError "bad WHAT: TEXT" otherwise.
uint32_t ParseNumber(const std::string& sText, uint32_t uMax, const char* pszWhat);

// Takes every "--timeout SECONDS" (1 to 86400) out of the arguments and sets both of the
// client's time limits to it.
void TakeTimeoutOption(std::vector<std::string>& args);

}  // namespace larchtool
