#include "platform/platform.h"

// The runtime's text mode turns every line feed into CR LF, and its default
// share mode lets other programs open the file meanwhile. Everything else the
// program needs is kernel32 itself.
FILE* OpenTextFileForWriting(const char* name) { return fopen(name, "wt"); }
