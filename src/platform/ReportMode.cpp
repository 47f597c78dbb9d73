#include "platform/ReportMode.h"

#include <cstdlib>
#include <cstring>

namespace platform {

EReportMode GetReportMode() {
  static const EReportMode s_eMode = [] {
    const char* psz = std::getenv("LARCH_ASSERT_REPORT");
    if (!psz) return eReportModeShow;
    if (std::strcmp(psz, "ignore") == 0) return eReportModeIgnore;
    if (std::strcmp(psz, "abort") == 0) return eReportModeAbort;
    if (std::strcmp(psz, "stderr") == 0) return eReportModeStderr;
    return eReportModeShow;
  }();
  return s_eMode;
}

}  // namespace platform
