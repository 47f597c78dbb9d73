#include "PublishDirectory.h"

#include <exception>

#include "PublishLayout.h"
#include "platform/ServedFile.h"

namespace larchserver {
namespace {

// A record is a few dozen bytes; anything this large is not one.
constexpr uint64_t sc_u64MaxRecordSize = 1u << 20;
constexpr int sc_nOpenAttempts = 3;

}  // namespace

bool CPublishDirectory::IsServableName(const std::string& sName) {
  if (sName.empty() || sName.find("..") != std::string::npos) return false;
  for (unsigned char c : sName) {
    // ':' also covers drive letters and alternate streams of a file on Windows.
    if (c == '/' || c == '\\' || c == ':' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool CPublishDirectory::OpenServedFile(const std::string& sName, platform::CFile& file,
                                       uint64_t& u64Size) const {
  if (!IsServableName(sName)) return false;
  std::string sPath = m_sPath + "/" + sName;
  // A publish may rename a new file over the name between our open and our check; the name
  // then denotes another file than the one opened, and a second look finds the new one.
  for (int nAttempt = 0; nAttempt < sc_nOpenAttempts; ++nAttempt) {
    if (!file.Open(sPath, platform::CFile::eRead)) return false;
    if (platform::IsOpenedPlainFile(sPath, file, u64Size)) return true;
    file.Close();
  }
  return false;
}

std::unique_ptr<Weft::CClientConfigRecord> CPublishDirectory::LoadClientConfigRecord(
    std::string& sWhy) const {
  platform::CFile file;
  uint64_t u64Size = 0;
  if (!OpenServedFile(sc_szClientConfigRecordFile, file, u64Size)) {
    sWhy = std::string("no ") + sc_szClientConfigRecordFile + " in the publish directory";
    return nullptr;
  }
  if (u64Size == 0 || u64Size > sc_u64MaxRecordSize) {
    sWhy = std::string(sc_szClientConfigRecordFile) + " is not a client config record";
    return nullptr;
  }
  std::string sImage(static_cast<size_t>(u64Size), '\0');
  size_t uDone = 0;
  while (uDone < sImage.size()) {
    int64_t nRead = file.Read(&sImage[uDone], sImage.size() - uDone);
    if (nRead <= 0) {
      sWhy = std::string("error reading ") + sc_szClientConfigRecordFile;
      return nullptr;
    }
    uDone += static_cast<size_t>(nRead);
  }
  // Served only when the bootstrapper would accept it.
  try {
    std::unique_ptr<Weft::CClientConfigRecord> pRecord(new Weft::CClientConfigRecord(
        reinterpret_cast<const uint8_t*>(sImage.data()), static_cast<uint32_t>(sImage.size())));
    pRecord->ValidateFields();
    return pRecord;
  } catch (const std::exception& e) {
    sWhy = std::string(sc_szClientConfigRecordFile) + ": " + e.what();
    return nullptr;
  }
}

}  // namespace larchserver
