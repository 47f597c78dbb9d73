// What the sample client records of its start, for tests and the demo to look at.
//
// When the environment variable LARCH_SAMPLE_CLIENT_RECORD names a file, each start appends
// one record to it:
//   start <exe|dll>
//   argc <n>
//   argv[<i>] <argument>      (one line per argument)
//   cwd <working directory>
//   icon <value of __LARCH_BOOTSTRAPPER_ICON_ID__, or "(unset)">
//   end
#pragma once

// Appends the record; returns how many records the file held before (0 for the first start).
int RecordClientStart(const char* pszKind, int nArgc, char** ppArgv);

// The result the library form returns for its n-th start (counted from 0): the n-th item of
// the comma-separated list in LARCH_SAMPLE_CLIENT_RESULTS, 0 past its end or without it.
int ChosenResult(int nStart);
