// The sample client as an executable: records its start and greets.
#include <cstdio>

#include "ClientRecord.h"

int main(int argc, char** argv) {
  RecordClientStart("exe", argc, argv);
  std::printf("Sample client (executable) started with %d argument(s).\n", argc - 1);
  return 0;
}
