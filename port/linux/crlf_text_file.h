#ifndef QORVANE_PORT_LINUX_CRLF_TEXT_FILE_H_
#define QORVANE_PORT_LINUX_CRLF_TEXT_FILE_H_

#include <stdio.h>

// A buffered stream that writes like the Windows runtime's "wt" mode: every
// line feed reaches the file as CR LF and no other byte changes. Creates or
// truncates `name`; returns null, with errno set, when it cannot be opened. A
// write that fails sets the stream's error flag, so fclose reports it.
FILE* OpenCrLfTextFile(const char* name);

#endif  // QORVANE_PORT_LINUX_CRLF_TEXT_FILE_H_
