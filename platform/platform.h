#ifndef QORVANE_PLATFORM_PLATFORM_H_
#define QORVANE_PLATFORM_PLATFORM_H_

// The program reaches the operating system only through what this header
// declares: the kernel32 calls under their published names, and a text file
// opened the way the Windows runtime's "wt" mode opens it. Each build links one
// implementation behind it: Windows (platform-win32.cc), Linux (port/linux/),
// or the tests' scripted drive (test/support/).

#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
#include <ntddscsi.h>
#else
#include "port/linux/windows_api-posix.h"
#endif

// Creates or truncates `name` for buffered text output in which every line
// feed reaches the file as CR LF; other programs may read and write it
// meanwhile. Returns null when it cannot be opened.
FILE* OpenTextFileForWriting(const char* name);

#endif  // QORVANE_PLATFORM_PLATFORM_H_
