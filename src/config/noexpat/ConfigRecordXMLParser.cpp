// Builds without the XML parser library: the writer and validator are there, reading the XML
// form is not.
#include <stdexcept>

#include "config/ConfigRecord.h"

namespace common {

CConfigRecord::CConfigRecord(const char*, size_t) : CConfigRecord() {
  throw std::runtime_error("CConfigRecord: reading the XML form is not part of this build");
}

}  // namespace common
