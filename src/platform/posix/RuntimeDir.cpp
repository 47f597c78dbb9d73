#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

// The folder for the lock files that stand in for Windows' named objects: the user's runtime
// directory, else a per-user folder in /tmp. Names are used as they are, with '/' and '\'
// replaced so that every name is one file.
std::string RuntimeLockPath(const std::string& sName) {
  std::string sDir;
  if (const char* psz = std::getenv("XDG_RUNTIME_DIR"); psz && *psz) {
    sDir = std::string(psz) + "/larch";
  } else {
    sDir = "/tmp/larch-" + std::to_string(::getuid());
  }
  ::mkdir(sDir.c_str(), 0700);
  std::string sFile = sName;
  for (char& c : sFile) {
    if (c == '/' || c == '\\') c = '_';
  }
  return sDir + "/" + sFile + ".lock";
}

}  // namespace platform
