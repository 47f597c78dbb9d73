// The journal of an install: what a package put in the staging folder, written once every
// staged file is on disk and removed once the install is complete. A run that finds it finishes
// that install before anything else.
//
// Its text: "installing CLIENT version 2", then one line "<size> <entry name>" per staged file,
// then "end". A journal without its last line, or with any other line, is not a journal.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bootstrapper {

struct SStagedFile {
  std::string sEntryName;  // as the package gives it
  uint64_t u64Size = 0;
};

class CInstallJournal {
 public:
  CInstallJournal() = default;
  CInstallJournal(std::string sComponent, int32_t nVersion, std::vector<SStagedFile> files)
      : m_sComponent(std::move(sComponent)), m_nVersion(nVersion), m_files(std::move(files)) {}

  const std::string& Component() const { return m_sComponent; }
  int32_t Version() const { return m_nVersion; }
  const std::vector<SStagedFile>& Files() const { return m_files; }

  std::string Text() const;
  // False, leaving the journal as it was, when the text is not a whole journal.
  bool Parse(const std::string& sText);

  // Writes "<file>.tmp" in the current directory, flushes it, renames it to the file and flushes
  // the directory, so that the file is either whole or absent. Throws "unable to write the journal
  // NAME (errno = N)".
  void Write(const std::string& sFile) const;
  // False when the file cannot be read or is not a whole journal.
  bool Read(const std::string& sFile);

 private:
  std::string m_sComponent;
  int32_t m_nVersion = 0;
  std::vector<SStagedFile> m_files;
};

// A decimal number without sign or leading zeros, of at most 18 digits and at most u64Max: the
// numbers the bootstrapper writes into its own files, read back.
bool ParseDecimal(const std::string& sText, uint64_t u64Max, uint64_t& u64Value);

}  // namespace bootstrapper
