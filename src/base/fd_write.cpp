// fd_write.cpp -- writing a whole buffer to a descriptor, whatever interrupts it.
#include "base/fd_write.h"

#include <errno.h>
#include <unistd.h>

int fd_write_all(int fd, const void *buf, size_t len) {
    const char *at = (const char *)buf;
    while (len > 0) {
        ssize_t n = write(fd, at, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        at += n;
        len -= (size_t)n;
    }
    return 0;
}
