#include "ClientRecord.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

int RecordClientStart(const char* pszKind, int nArgc, char** ppArgv) {
  const char* pszFile = std::getenv("LARCH_SAMPLE_CLIENT_RECORD");
  int nBefore = 0;
  if (!pszFile || !*pszFile) return nBefore;
  {
    std::ifstream in(pszFile);
    std::string sLine;
    while (std::getline(in, sLine)) {
      if (sLine.compare(0, 6, "start ") == 0) ++nBefore;
    }
  }
  std::error_code ec;
  std::string sCwd = std::filesystem::current_path(ec).string();
  const char* pszIcon = std::getenv("__LARCH_BOOTSTRAPPER_ICON_ID__");
  std::ostringstream record;
  record << "start " << pszKind << "\nargc " << nArgc << "\n";
  for (int i = 0; i < nArgc; ++i) record << "argv[" << i << "] " << ppArgv[i] << "\n";
  record << "cwd " << sCwd << "\nicon " << (pszIcon ? pszIcon : "(unset)") << "\nend\n";
  std::ofstream out(pszFile, std::ios::app | std::ios::binary);
  out << record.str();
  return nBefore;
}

int ChosenResult(int nStart) {
  const char* pszList = std::getenv("LARCH_SAMPLE_CLIENT_RESULTS");
  if (!pszList) return 0;
  std::istringstream in(pszList);
  std::string sItem;
  for (int i = 0; std::getline(in, sItem, ','); ++i) {
    if (i == nStart) return std::atoi(sItem.c_str());
  }
  return 0;
}
