// How the process answers assertion reports, read once from LARCH_ASSERT_REPORT. Shared by
// both implementations of Report.h.
#pragma once

namespace platform {

enum EReportMode { eReportModeShow, eReportModeIgnore, eReportModeAbort, eReportModeStderr };

EReportMode GetReportMode();

}  // namespace platform
