// Starting the client application once a cycle ended with a launch: an executable as a process
// of its own, a DLL (a shared object on POSIX) loaded into this process with its entry point
// "LarchDllMain" called on the calling (main) thread.
#pragma once

#include <string>

namespace bootstrapper {

constexpr size_t sc_uLaunchLineSize = 1024;
constexpr const char* sc_pszClientEntryPoint = "LarchDllMain";

// The entry point's signature: argument count and vector; 1 asks for another update cycle.
using LarchDllMainFn = int (*)(int nArgc, char** ppArgv);

// The client's command line: the file name, then argv[1] onward each after one blank.
std::string BuildClientCommandLine(const std::string& sClientFile, int nArgc, char** ppArgv);

// Starts the executable without waiting for it; returns 0. Throws "Could not spawn FILE
// (errno=N)".
int LaunchClientAppExe(const std::string& sClientFile, int nArgc, char** ppArgv);
// Loads the library, calls its entry point, unloads it and returns the entry point's result.
// Throws "Unable to load library FILE", "Unable to find FILE entry point LarchDllMain",
// "Unable to release FILE".
int LaunchClientAppDll(const std::string& sClientFile, int nArgc, char** ppArgv);

}  // namespace bootstrapper
