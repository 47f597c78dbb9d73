// The refusal of a package whose own bytes are wrong.
#pragma once

#include <stdexcept>
#include <string>

namespace common {

// A fault of the package's own bytes (header, table, names, compressed data, lengths): the
// package is damaged, as opposed to a file that cannot be read or written. The text names the
// problem alone.
class CPkgDamagedException : public std::runtime_error {
 public:
  explicit CPkgDamagedException(const std::string& sText) : std::runtime_error(sText) {}
};

}  // namespace common
