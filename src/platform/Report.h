// The assertion report window and the ways a process ends after it.
#pragma once

#include <string>

namespace platform {

enum EReportChoice { eReportAbort, eReportRetry, eReportIgnore, eReportFailed };

// Shows the report and returns the user's choice. Windows: a task-modal message box without
// owner, Abort/Retry/Ignore with the error icon, brought to the foreground. POSIX: the report
// on stderr, with an Abort/Retry/Ignore prompt when stdin and stderr are terminals, otherwise
// Ignore. The environment variable LARCH_ASSERT_REPORT, read once per process, answers by
// itself: "ignore" and "abort" answer at once without showing anything, "stderr" prints the
// report and answers Ignore. Tests run with "ignore".
EReportChoice ShowAssertReport(const std::string& sTitle, const std::string& sBody);

// A breakpoint that an attached or just-in-time debugger catches; returns when none is there.
void DebugBreakIfDebugged();

// Raises SIGABRT and ends the process at once with exit code 3, without exit handlers.
[[noreturn]] void AbortProcess();

// Shows an error message box (caption and text) on Windows; writes "caption: text" to stderr
// elsewhere.
void ShowErrorMessage(const std::string& sCaption, const std::string& sText);

}  // namespace platform
