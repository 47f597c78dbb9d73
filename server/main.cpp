// larch-server: the reference operator servers (see ServerMain.h).
#include <cstdio>

#include "ServerMain.h"

int main(int argc, char** argv) {
  return larchserver::RunServerMain(std::vector<std::string>(argv + 1, argv + argc), stdout,
                                    stderr);
}
