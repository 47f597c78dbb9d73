// Configuration trees: typed look-ups of configuration items, independent of where the
// configuration comes from.
//
// CConfigTree is the interface; CConfigRecordTree answers from its own copy of a configuration
// record, one record level per tree, with sub-trees for namespaces. The free helpers add
// defaults and range checks. CMainConfigTree holds one process-wide tree.
//
// Look-ups only read the tree, so they may run concurrently; trees are shared through
// ThreadSafeCountedPtr, whose copies may be made and dropped on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/ConfigRecord.h"
#include "support/ThreadSafeCountedPtr.h"

namespace common {

class CConfigTree {
 public:
  virtual ~CConfigTree();
  // The tree of a namespace (qualified names allowed, non-empty).
  virtual ThreadSafeCountedPtr<CConfigTree> GetSubTree(const std::string& sNamespace) const = 0;
  // True when the item exists at this level, has the requested type and is active; the value
  // goes to the output when it is non-null. An absent or inactive item leaves the output as it
  // was. An item of another type throws std::runtime_error.
  virtual bool GetString(const std::string& sItemName, std::string* psValue) const = 0;
  virtual bool GetSignedInt32(const std::string& sItemName, int32_t* pnValue) const = 0;
  virtual bool GetUnsignedInt32(const std::string& sItemName, uint32_t* puValue) const = 0;
  virtual bool GetBoolean(const std::string& sItemName, bool* pbValue) const = 0;
  // The names of the items at this level, namespaces included, in index order.
  virtual void GetItemNames(std::vector<std::string>* pNames) const = 0;
  virtual void CheckInvariants() const {}
};

class CConfigRecordTree : public CConfigTree {
 public:
  CConfigRecordTree();
  // Keeps an owned copy of the record.
  explicit CConfigRecordTree(const CConfigRecord& record);
  ~CConfigRecordTree() override;

  // The namespace's tree; a missing namespace gives an empty tree.
  ThreadSafeCountedPtr<CConfigTree> GetSubTree(const std::string& sNamespace) const override;
  // Item names are field names of this level, not split at full stops.
  bool GetString(const std::string& sItemName, std::string* psValue) const override;
  bool GetSignedInt32(const std::string& sItemName, int32_t* pnValue) const override;
  bool GetUnsignedInt32(const std::string& sItemName, uint32_t* puValue) const override;
  bool GetBoolean(const std::string& sItemName, bool* pbValue) const override;
  void GetItemNames(std::vector<std::string>* pNames) const override;

 private:
  CConfigRecord m_Record;
};

// Helpers on any tree. The output holds the caller's default on entry and must be non-null; a
// value outside the allowed range (found or default) throws std::runtime_error
// "Bad config parameter: " + name + " " + the value.
void GetConfigUnsignedInt32InRange(const CConfigTree& tree, const std::string& sItemName,
                                   uint32_t* pReceiveValueIfPresent, uint32_t uMinimum,
                                   uint32_t uMaximum);
void GetConfigBoolean(const CConfigTree& tree, const std::string& sItemName,
                      bool* pReceiveValueIfPresent);
// uMaxLength 0: any length.
void GetConfigString(const CConfigTree& tree, const std::string& sItemName,
                     std::string* pReceiveValueIfPresent, size_t uMaxLength);
std::string GetConfigString(const CConfigTree& tree, const std::string& sItemName,
                            const std::string& sDefault, size_t uMaxLength);
// No checks: an absent or inactive item gives "".
std::string GetConfigString(const std::string& sItemName, const CConfigTree& tree);

// The process-wide tree. Set and Release must not run while other threads call Get. An object
// of this class in the scope that owns the configuration releases the tree when it ends.
class CMainConfigTree {
 public:
  CMainConfigTree() = default;
  CMainConfigTree(const CMainConfigTree&) = delete;
  CMainConfigTree& operator=(const CMainConfigTree&) = delete;
  // Releases the process-wide tree; never throws.
  virtual ~CMainConfigTree();
  virtual void CheckInvariants() const {}

  // Takes ownership of the tree; no tree may be set yet.
  static void SetConfigTree(CConfigTree* pConfigTree);
  // A copy of the pointer to the set tree; it stays valid after Release.
  static ThreadSafeCountedPtr<CConfigTree> GetConfigTree();
  static void ReleaseConfigTree();

 private:
  static ThreadSafeCountedPtr<CConfigTree> s_tsrcpConfigTree;
};

}  // namespace common
