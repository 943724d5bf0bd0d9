/* fd_write.h -- writing a whole buffer to a descriptor, whatever interrupts it. */
#ifndef FD_WRITE_H
#define FD_WRITE_H

#include <stddef.h>

/* Write all of buf[0..len) where fd writes next, going on after interruptions and short
 * writes: 0, or -1 (errno set) when a write fails or writes nothing. */
int fd_write_all(int fd, const void *buf, size_t len);

#endif
