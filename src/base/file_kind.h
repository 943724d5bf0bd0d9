/* file_kind.h -- what a path names, looked at before it is opened: a FIFO or a device given
 * as a file to read would hold start-up for good. */
#ifndef FILE_KIND_H
#define FILE_KIND_H

/* Whether path may be opened as a file to read: 1 when it is a regular file, or cannot be
 * looked at, or is a socket (opening it then fails and says why). Otherwise (a FIFO, whose
 * open would wait for a writer for good, a device, which may never end, or a directory) prints
 * one error line, "failure: PATH is a FIFO, not a regular file.", and returns 0. */
int file_regular_check(const char *path, const char *failure);

#endif
