// Opening a file that a reader takes its input from (a translation table, a symbol information
// file, a configuration). A reader reads to the end, so what has no end must not be read at all:
// a directory is refused with EISDIR, and a device (/dev/zero, a terminal) with ENODEV, save the
// empty /dev/null, which reads as an empty file. Regular files, pipes and FIFOs are opened as
// they are (a FIFO waits for its writer, as any reader of one does).
#pragma once

#include <cstdio>

// A descriptor open for reading (close-on-exec), or -1 with errno set.
int open_input_file(const char* szPath);

// The same as a stream for fgets and the like, or null with errno set.
FILE* fopen_input_file(const char* szPath);
