/* file_kind.h -- what a path names, looked at before it is opened: a FIFO or a device given
 * as a file to read would hold start-up for good. */
#ifndef FILE_KIND_H
#define FILE_KIND_H

#include <sys/types.h>

/* What a file of mode is, as a line names it: "a regular file", "a directory", "a symbolic
 * link", "a FIFO", "a socket" or "a device". */
const char *file_kind_name(mode_t mode);

/* What keeps path from being opened as a file to read: "a FIFO" (its open would wait for a
 * writer for good), "a device" (which may never end) or "a directory"; NULL when it is a
 * regular file, a socket (opening it then fails and says why) or cannot be looked at (the
 * open says why). */
const char *file_kind_unreadable(const char *path);

#endif
