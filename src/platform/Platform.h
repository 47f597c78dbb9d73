// The platform layer: everything the program asks of the operating system.
//
// Each header of this folder declares one area in namespace `platform`; win32/ and posix/ hold
// one implementation each, under the same file names, and CMake compiles one of them. Nothing
// outside this folder (and the bootstrapper's Win32 GUI folder) includes an OS header or tests
// which OS it runs on. Functions report failure through their result and the thread's last
// error (GetLastSystemError); they never throw and never show anything.
#pragma once

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/Interlocked.h"
#include "platform/Process.h"
#include "platform/Report.h"
#include "platform/SingleInstance.h"
#include "platform/StructuredFault.h"
#include "platform/SystemError.h"
