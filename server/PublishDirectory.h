// Read access of the servers to a publish directory: the client config record and the files
// that the content server hands out. Nothing outside the directory is ever opened: a name with
// a path separator, a drive letter or "..", and anything that is not a plain file of the
// directory itself (a subdirectory, a symbolic link, a device), is treated as missing.
//
// Stateless apart from the directory's path; every call looks at the directory afresh, so a
// publish is seen by the next request. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/File.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchserver {

class CPublishDirectory {
 public:
  explicit CPublishDirectory(std::string sPath) : m_sPath(std::move(sPath)) {}

  const std::string& Path() const { return m_sPath; }

  // True for a name the content server may look up: not empty, no '/', '\\' or ':', no "..",
  // no control characters.
  static bool IsServableName(const std::string& sName);

  // Opens a file of the directory for reading; false when the name is not servable, the file
  // is missing or is not a plain file. u64Size receives its size.
  bool OpenServedFile(const std::string& sName, platform::CFile& file, uint64_t& u64Size) const;

  // The client config record as published; null with sWhy when it is missing or not a valid
  // record (the server then closes the connection instead of serving it).
  std::unique_ptr<Weft::CClientConfigRecord> LoadClientConfigRecord(std::string& sWhy) const;

 private:
  std::string m_sPath;
};

}  // namespace larchserver
