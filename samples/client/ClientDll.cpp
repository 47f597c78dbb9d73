// The sample client as a library: the bootstrapper calls LarchDllMain on its main thread.
// A result of 1 asks the bootstrapper for another update-and-launch cycle.
#include <cstdio>

#include "ClientRecord.h"

extern "C" LARCH_SAMPLE_EXPORT int LarchDllMain(int argc, char** argv) {
  int nStart = RecordClientStart("dll", argc, argv);
  int nResult = ChosenResult(nStart);
  std::printf("Sample client (library) started with %d argument(s); returns %d.\n", argc - 1,
              nResult);
  std::fflush(stdout);
  return nResult;
}
