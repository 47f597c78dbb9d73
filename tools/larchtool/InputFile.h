// Whole input files of the operator's tool (blob images, records, XML, executables).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larchtool {

// False when the file cannot be opened. Throws std::runtime_error "Input file too large NAME"
// beyond 4 GiB and "Failed to read input file NAME" when it opens but cannot be read to its end.
bool ReadInputFileIfPresent(const std::string& sPath, std::string& sBytes);

// The same, and "Cannot open input file NAME: reason" when it cannot be opened.
std::string ReadInputFile(const std::string& sPath);
std::vector<uint8_t> ReadInputBytes(const std::string& sPath);

}  // namespace larchtool
