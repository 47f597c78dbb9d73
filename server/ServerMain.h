// The whole larch-server program behind main(): options, start-up lines, serving until SIGINT
// or SIGTERM, orderly stop. Returns the exit code: 0 after a requested stop, --help or --version, 1
// when the server cannot start, 2 for a usage mistake.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace larchserver {

// pOut receives the help text, the version line and the "<role> listening on <ip>:<port>" lines,
// pLog the conversation log and errors.
int RunServerMain(const std::vector<std::string>& vecArgs, FILE* pOut, FILE* pLog);

}  // namespace larchserver
