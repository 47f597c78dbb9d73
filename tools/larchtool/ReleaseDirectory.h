// A publish directory as the operator's commands change it: one command at a time, under a lock,
// each file written beside its final name and renamed into place, so that larch-server never
// hands out a half-written package or record.
#pragma once

#include <memory>
#include <string>

#include "platform/NamedLock.h"
#include "protocols/ClientConfigDBKeyRecord.h"

namespace larchtool {

std::string InDir(const std::string& sDir, const std::string& sName);

// Throws "publish directory DIR does not exist".
void CheckPublishDirectory(const std::string& sDir);

// The directory's client config record; null before the first publish. Throws "PATH is not a
// client config record: ..." when it is damaged.
std::unique_ptr<Weft::CClientConfigRecord> ReadPublishedRecord(const std::string& sDir);

// Holds the directory for one command: the record is read, changed and written back, and two
// commands at once would lose one change. The lock is named after the directory's full path
// and dies with its holder, so a killed command never leaves the directory locked.
class CReleaseDirectory {
 public:
  // Checks the directory, takes the lock (waiting for another command a while) and removes
  // what killed commands left behind.
  explicit CReleaseDirectory(const std::string& sDir);

  const std::string& Path() const { return m_sDir; }
  // The record; before the first publish one with every version 0 (what a fresh installation
  // holds), so that the bootstrapper finds all three numbers.
  std::unique_ptr<Weft::CClientConfigRecord> LoadRecord() const;
  // Replaces the record file whole.
  void WriteRecord(const Weft::CClientConfigRecord& record) const;

 private:
  void RemoveLeftoversOfKilledCommands() const;

  std::string m_sDir;
  platform::CNamedLock m_lock;  // given back by its destructor
};

// A file written under a temporary name (". NAME . PID .tmp") beside its final one; removed
// unless committed.
class CTempName {
 public:
  CTempName(const std::string& sDir, const std::string& sFinalName);
  ~CTempName();
  CTempName(const CTempName&) = delete;
  CTempName& operator=(const CTempName&) = delete;

  const std::string& Path() const { return m_sPath; }
  // Flushes the file to the disk and renames it into place; throws "unable to write ..." or
  // "unable to rename ...".
  void Commit();

 private:
  std::string m_sPath;
  std::string m_sFinal;
  bool m_bCommitted = false;
};

}  // namespace larchtool
