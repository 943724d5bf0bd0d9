// proc_holder.cpp -- who holds a socket or a lock: /proc/net/unix, /proc/locks and each
// process's descriptors.
#include "base/proc_holder.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

// The flag of a listening socket in /proc/net/unix (__SO_ACCEPTCON).
static const unsigned long UNIX_LISTENING_FLAG = 0x10000;

unsigned long proc_unix_listener(const char *path) {
    FILE *f = fopen("/proc/net/unix", "re");
    char line[4352];  // a socket path is at most 108 bytes; the fields before it are short
    unsigned long found = 0;
    while (f && !found && fgets(line, sizeof line, f)) {
        unsigned long flags, inode;
        int path_at = 0;
        if (sscanf(line, "%*s %*s %*s %lx %*s %*s %lu %n", &flags, &inode, &path_at) != 2 ||
            path_at == 0 || !(flags & UNIX_LISTENING_FLAG))
            continue;
        std::string bound(line + path_at);
        while (!bound.empty() && (bound.back() == '\n' || bound.back() == ' '))
            bound.pop_back();
        if (bound == path)
            found = inode;
    }
    if (f)
        fclose(f);
    return found;
}

// Whether process pid runs the program named prog: its executable's file name, or, where
// that link cannot be read, the file name of its first argument.
static bool process_runs(pid_t pid, const char *prog) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) {
        snprintf(link, sizeof link, "/proc/%d/cmdline", (int)pid);
        FILE *f = fopen(link, "re");
        n = f ? (ssize_t)fread(target, 1, sizeof target - 1, f) : -1;
        if (f)
            fclose(f);
        if (n <= 0)
            return false;
        n = (ssize_t)strnlen(target, (size_t)n);
    }
    target[n] = '\0';
    const char *name = strrchr(target, '/');
    return strcmp(name ? name + 1 : target, prog) == 0;
}

// Whether process pid has a descriptor open on want (a link text, "socket:[123]").
static bool process_has_open(pid_t pid, const char *want) {
    char folder[64];
    snprintf(folder, sizeof folder, "/proc/%d/fd", (int)pid);
    DIR *d = opendir(folder);
    bool found = false;
    for (struct dirent *e = d ? readdir(d) : NULL; e && !found; e = readdir(d)) {
        char link[320], target[64];
        snprintf(link, sizeof link, "%s/%s", folder, e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        found = n > 0 && (size_t)n == strlen(want) && memcmp(target, want, (size_t)n) == 0;
    }
    if (d)
        closedir(d);
    return found;
}

pid_t proc_socket_holder(unsigned long inode, const char *prog) {
    char want[48];
    snprintf(want, sizeof want, "socket:[%lu]", inode);
    DIR *d = opendir("/proc");
    pid_t found = 0;
    bool manager = false;
    for (struct dirent *e = d ? readdir(d) : NULL; e && !found; e = readdir(d)) {
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid <= 0 || pid == getpid() || !process_has_open(pid, want))
            continue;
        if (process_runs(pid, prog))
            found = pid;
        manager |= pid == 1;
    }
    if (d)
        closedir(d);
    return found ? found : manager ? 1 : 0;
}

pid_t proc_flock_holder(dev_t dev, ino_t ino, const char *prog) {
    FILE *f = fopen("/proc/locks", "re");
    char line[256], kind[16];
    pid_t found = 0;
    while (f && !found && fgets(line, sizeof line, f)) {
        int pid;
        unsigned maj, min;
        unsigned long inode;
        if (sscanf(line, "%*s %15s %*s %*s %d %x:%x:%lu", kind, &pid, &maj, &min, &inode) != 5 ||
            strcmp(kind, "FLOCK") != 0 || makedev(maj, min) != dev || inode != ino)
            continue;
        if (pid != getpid() && process_runs(pid, prog))
            found = pid;
    }
    if (f)
        fclose(f);
    return found;
}
