// Small whole-file operations on narrow path names. Stateless.
#pragma once

#include <cstddef>
#include <string>

namespace common {

class CFileUtil {
 public:
  // Creates or truncates the file and writes all bytes. Throws std::runtime_error with
  // "Cannot open output file NAME: reason" or "Failed to write output file NAME"; a partly written
  // file is left behind.
  static void WriteWholeFile(const std::string& sFile, const void* puBuffer, size_t uSize);
  // True when the name denotes an existing regular file.
  static bool FileExists(const std::string& sFile);
  // Removes a file, or a folder with everything in it (a link is removed, never followed; a
  // read-only file too). True when nothing is left; on failure as much as could be is removed.
  static bool RemoveTree(const std::string& sPath);
};

}  // namespace common
