// file_kind.cpp -- what a path names, looked at without opening it.
#include "base/file_kind.h"

#include <stddef.h>
#include <sys/stat.h>

const char *file_kind_name(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    return S_ISSOCK(mode) ? "a socket" : "a device";
}

const char *file_kind_unreadable(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode))
        return NULL;
    return file_kind_name(st.st_mode);
}
