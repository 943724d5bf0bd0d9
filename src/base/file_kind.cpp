// file_kind.cpp -- what a path names, looked at without opening it.
#include "base/file_kind.h"

#include <sys/stat.h>

#include "base/log.h"

int file_regular_check(const char *path, const char *failure) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode))
        return 1;
    const char *kind = S_ISFIFO(st.st_mode)  ? "a FIFO"
                       : S_ISDIR(st.st_mode) ? "a directory"
                                             : "a device";
    log_errorf("%s: %s is %s, not a regular file.", failure, path, kind);
    return 0;
}
