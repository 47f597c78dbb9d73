#include "ReleaseDirectory.h"

#include <stdexcept>
#include <vector>

#include "../../server/PublishLayout.h"
#include "InputFile.h"
#include "platform/File.h"
#include "platform/Process.h"

namespace larchtool {
namespace {

// Another command holds the directory: wait for it as long as file operations are retried.
constexpr uint32_t sc_uLockWaitMs = 10000;

}  // namespace

using Weft::CClientConfigRecord;

std::string InDir(const std::string& sDir, const std::string& sName) {
  return sDir + "/" + sName;
}

void CheckPublishDirectory(const std::string& sDir) {
  platform::SFileStatus status;
  if (!platform::GetFileStatus(sDir, status) || !status.bDirectory) {
    throw std::runtime_error("publish directory " + sDir + " does not exist");
  }
}

std::unique_ptr<CClientConfigRecord> ReadPublishedRecord(const std::string& sDir) {
  std::string sPath = InDir(sDir, larchserver::sc_szClientConfigRecordFile);
  std::string sImage;
  if (!ReadInputFileIfPresent(sPath, sImage)) return nullptr;
  try {
    std::unique_ptr<CClientConfigRecord> pRecord(new CClientConfigRecord(
        reinterpret_cast<const uint8_t*>(sImage.data()), static_cast<uint32_t>(sImage.size())));
    pRecord->ValidateFields();
    return pRecord;
  } catch (const std::exception& e) {
    throw std::runtime_error(sPath + " is not a client config record: " + e.what());
  }
}

CReleaseDirectory::CReleaseDirectory(const std::string& sDir) : m_sDir(sDir) {
  CheckPublishDirectory(sDir);
  std::string sFullPath = platform::GetFullPath(sDir);
  std::string sName =
      sFullPath.empty() ? "" : platform::NamedLockNameForFullPath("LarchPublish_", sFullPath);
  if (sName.empty() || !m_lock.Create(sName)) {
    throw std::runtime_error("publish directory " + sDir + ": cannot create its lock");
  }
  if (m_lock.Acquire(sc_uLockWaitMs) != platform::CNamedLock::eObtained) {
    throw std::runtime_error("publish directory " + sDir + " is locked by another publish");
  }
  RemoveLeftoversOfKilledCommands();
}

std::unique_ptr<CClientConfigRecord> CReleaseDirectory::LoadRecord() const {
  std::unique_ptr<CClientConfigRecord> pRecord = ReadPublishedRecord(m_sDir);
  if (pRecord) return pRecord;
  return std::unique_ptr<CClientConfigRecord>(
      new CClientConfigRecord(larchserver::sc_uRecordLayoutVersion, 0, 0));
}

void CReleaseDirectory::WriteRecord(const CClientConfigRecord& record) const {
  common::CMultiFieldBlob::SizeOfFieldData_t uSize = 0;
  const uint8_t* pImage = record.GetSerializedBlob(&uSize);
  CTempName recordName(m_sDir, larchserver::sc_szClientConfigRecordFile);
  {
    platform::CFile out;
    if (!out.Open(recordName.Path(), platform::CFile::eCreate) || !out.Write(pImage, uSize)) {
      throw std::runtime_error("unable to write " + recordName.Path());
    }
  }
  recordName.Commit();
}

// With the lock held no other command is writing, so every temporary file ("." NAME "." PID
// ".tmp") is what a killed one left behind.
void CReleaseDirectory::RemoveLeftoversOfKilledCommands() const {
  std::vector<std::string> names;
  if (!platform::ListDirectory(m_sDir, names)) return;
  for (const std::string& sName : names) {
    if (sName.size() > 5 && sName[0] == '.' && sName.compare(sName.size() - 4, 4, ".tmp") == 0) {
      platform::RemoveFile(InDir(m_sDir, sName));
    }
  }
}

CTempName::CTempName(const std::string& sDir, const std::string& sFinalName)
    : m_sPath(
          InDir(sDir, "." + sFinalName + "." + std::to_string(platform::GetProcessId()) + ".tmp")),
      m_sFinal(InDir(sDir, sFinalName)) {}

CTempName::~CTempName() {
  if (!m_bCommitted) platform::RemoveFile(m_sPath);
}

void CTempName::Commit() {
  // The bytes reach the disk before the name does: after a power loss, a published name never
  // denotes a package whose bytes were still in memory.
  {
    platform::CFile file;
    if (!file.Open(m_sPath, platform::CFile::eReadWrite) || !file.Flush()) {
      throw std::runtime_error("unable to write " + m_sPath);
    }
  }
  if (!platform::RenameFile(m_sPath, m_sFinal)) {
    throw std::runtime_error("unable to rename " + m_sPath + " to " + m_sFinal);
  }
  m_bCommitted = true;
}

}  // namespace larchtool
