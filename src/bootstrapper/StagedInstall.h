// Installing a downloaded package in the current directory (the installation's) so that an
// interruption at any point leaves either the installed files as they were or a journal from
// which the next run finishes the install: the package is unpacked into the staging folder and
// checked there, its files are flushed, the journal is written, then the files are moved into
// place by rename, the manifest is written and the stale files are deleted.
//
// Used by the update worker's thread alone. Every failure throws std::runtime_error with the
// text for the user.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bootstrapper/InstallJournal.h"
#include "bootstrapper/InstallLayout.h"
#include "bootstrapper/UpdateServices.h"
#include "platform/File.h"

namespace bootstrapper {

class CStagedInstall {
 public:
  // bIgnoreCase: whether file names that differ only in letter case name the same file.
  explicit CStagedInstall(CInstallLayout layout, bool bIgnoreCase = platform::FileNamesIgnoreCase())
      : m_layout(std::move(layout)), m_bIgnoreCase(bIgnoreCase) {}

  // Unpacks the component's package into a fresh staging folder and refuses it before anything
  // installed changes when it is damaged, holds no files or lacks sRequiredFile at its top
  // level: "package NAME is damaged: PROBLEM". On every failure up to the journal the package
  // and the staging folder are removed. Then commits; the caller records the version and
  // closes.
  void Install(IUpdateServices& services, const std::string& sPackage,
               const std::string& sComponent, int32_t nVersion,
               const std::string& sRequiredFile) const;
  // Builds version nTo of the component from a downloaded delta package (from nFrom): unpacks
  // the files it carries into a fresh staging folder, checks them and the installed files it
  // does not carry against its file list, removes the delta package and writes the journal of
  // every file of nTo, to be committed as a full install is. On every failure, before the
  // journal, the staging folder and the delta package are removed and the error is thrown
  // with nothing installed changed.
  CInstallJournal StageDelta(IUpdateServices& services, const std::string& sDelta,
                             const std::string& sComponent, int32_t nFrom, int32_t nTo,
                             const std::string& sRequiredFile) const;
  // True when every file of the journal is staged, or already in place, with its size.
  bool IsComplete(const CInstallJournal& journal) const;
  // Moves the journal's staged files into place, writes its manifest (names in byte order),
  // deletes the files that the component's other manifests list and this one does not, and
  // those manifests. Every step may be repeated after an interruption. The journal must be
  // complete.
  void Commit(const CInstallJournal& journal) const;
  // Removes the package (unless the name is empty), the staging folder, then the journal.
  void Close(const std::string& sPackage) const;
  // Removes a staging folder and a temporary journal that no journal refers to; quietly.
  void RemoveLeftovers() const;

 private:
  CInstallJournal Stage(IUpdateServices& services, const std::string& sPackage,
                        const std::string& sComponent, int32_t nVersion,
                        const std::string& sRequiredFile) const;
  CInstallJournal StageDeltaFiles(IUpdateServices& services, const std::string& sDelta,
                                  const std::string& sComponent, int32_t nFrom, int32_t nTo,
                                  const std::string& sRequiredFile) const;
  void MakeStagingFolder() const;
  // Runs a staging of the package. When it fails, what it made goes (the staging folder and the
  // package), and a damaged package is named in the text: "package NAME is damaged: PROBLEM".
  CInstallJournal StageOrAbandon(const std::string& sPackage,
                                 const std::function<CInstallJournal()>& fnStage) const;
  void CheckEntryNames(const std::vector<std::string>& names,
                       const std::string& sRequiredFile) const;
  std::string StagedName(const std::string& sEntryName) const;

  CInstallLayout m_layout;
  bool m_bIgnoreCase;
};

}  // namespace bootstrapper
