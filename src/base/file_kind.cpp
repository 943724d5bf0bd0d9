// file_kind.cpp -- what a path names, looked at without opening it.
#include "base/file_kind.h"

#include <stddef.h>
#include <sys/stat.h>

const char *file_kind_unreadable(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode))
        return NULL;
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    return S_ISDIR(st.st_mode) ? "a directory" : "a device";
}
