// listener_socket.cpp -- the local socket made at its path, or taken from systemd, and what
// making it needs, checked beforehand without making anything.
//
// Each step of making the socket has its check: the check looks where the step would act and
// says what the step would find, so that a start can fail before it creates anything, and
// --check fails exactly where a start would, with the same lines.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <vector>

#include "base/file_kind.h"
#include "base/log.h"
#include "base/privilege.h"
#include "intake/listener.h"

// Longest wait of the probe's connect to a socket already at the path: a live service with a
// full backlog gets this long to make room; after it the socket counts as in use. Start-up
// cannot be stopped meanwhile (the stop signals are blocked), so it is short (seconds).
static const time_t PROBE_WAIT_SEC = 1;
// Appended to the socket path to name the lock file that start-ups on the same path take in
// turn around probe, unlink and bind.
static const char SOCK_LOCK_SUFFIX[] = ".lock";

// Access given to the socket file between bind and listen, so no client can connect before
// the file has its final mode and group.
static mode_t listener_mode = 0777;
static gid_t listener_gid = (gid_t)-1;
// [I] set by listener_create() before any other thread starts.
static bool sock_activated = false;  // the listening socket came from systemd
static const char *sock_made_path;   // the socket file the service made; NULL: none

void listener_set_access(mode_t mode, gid_t gid) {
    listener_mode = mode;
    listener_gid = gid;
}

bool listener_activated(void) {
    return sock_activated;
}

// ---- what a step found, as its lines say it ------------------------------------------------

static int fault_set(listener_fault *f, const char *call, int err, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Fill *f: the call that failed (NULL: none) with its errno, and the line. Returns -1.
static int fault_set(listener_fault *f, const char *call, int err, const char *fmt, ...) {
    char line[LISTENER_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    *f = {call, err, line, false};
    return -1;
}

static void fault_exit(const listener_fault *f) __attribute__((noreturn));

// A start that cannot make its socket ends here.
static void fault_exit(const listener_fault *f) {
    if (f->call) {
        errno = f->err;
        log_perror(f->call);
    }
    if (!f->line.empty())
        log_errorf("%s", f->line.c_str());
    log_exit(1);
}

static int in_use_fault(listener_fault *f, const char *path) {
    fault_set(f, NULL, 0, "Socket path %s is in use by a running service.", path);
    f->in_use = true;
    return -1;
}

static int lock_fault(listener_fault *f, const char *lock_path, int err) {
    return fault_set(f, NULL, 0, "Socket lock file %s cannot be opened (%s).", lock_path,
                     strerror(err));
}

// The group's name for a line, or its number.
static std::string group_named(gid_t gid) {
    const group *g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

static int group_fault(listener_fault *f, const char *path, gid_t gid, int err) {
    std::string name = group_named(gid);
    return fault_set(f, NULL, 0,
                     "Socket path %s cannot be given the group %s of unix_sock_group (chown: %s): "
                     "this service is not in that group; add it to the service's groups "
                     "(SupplementaryGroups=%s in a drop-in of its unit), or unset "
                     "unix_sock_group.",
                     path, name.c_str(), strerror(err), name.c_str());
}

// ---- the socket's path, its folder and the lock beside it ----------------------------------

// The folder path is in ("." for a bare name).
static std::string folder_of(const char *path) {
    const char *slash = strrchr(path, '/');
    return !slash ? "." : slash == path ? "/" : std::string(path, (size_t)(slash - path));
}

// The path fits a socket address, and its folder exists: bind's own report, then which folder
// is missing, before the lock file beside the socket would fail for the same reason.
static int path_fault(const char *path, listener_fault *f) {
    if (strlen(path) >= sizeof(sockaddr_un::sun_path))
        return fault_set(f, NULL, 0, "Socket path is too long (at most %zu characters): %s",
                         sizeof(sockaddr_un::sun_path) - 1, path);
    std::string folder = folder_of(path);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 || errno != ENOENT)
        return 0;
    return fault_set(f, "bind", ENOENT, "Socket path %s: folder %s does not exist.", path,
                     folder.c_str());
}

// Start-ups on one path take this lock in turn from before the probe until the socket listens,
// so that of several started together only one finds a stale socket, removes it and binds;
// another finds the lock taken and ends as if the first were running already. The file stays
// when the service stops: were it removed, two start-ups could each lock a file of that name,
// one the old and one a new. Not through a symbolic link: someone else's link in a shared
// folder must not make the service create or lock a file elsewhere. With check, the lock is
// tried and let go, and a missing file is only looked for room for: nothing is created. Sets
// *fd to the lock's descriptor (to close once the socket listens; -1 with check).
static int lock_take(const char *path, bool check, int *fd, listener_fault *f) {
    std::string lock_path = std::string(path) + SOCK_LOCK_SUFFIX;
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
    struct stat st;
    if (check && lstat(lock_path.c_str(), &st) != 0) {
        std::string folder = folder_of(path);
        *fd = -1;
        if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
            return lock_fault(f, lock_path.c_str(), errno);
        return 0;
    }
    *fd = open(lock_path.c_str(), check ? flags : flags | O_CREAT, 0600);
    if (*fd < 0)
        return lock_fault(f, lock_path.c_str(), errno);
    int rc = flock(*fd, LOCK_EX | LOCK_NB) == 0 ? 0
             : errno == EWOULDBLOCK             ? in_use_fault(f, path)
                                                : fault_set(f, "flock", errno, "%s", "");
    if (check || rc != 0) {
        close(*fd);  // lets the lock go
        *fd = -1;
    }
    return rc;
}

// Whether a service answers on the socket file at addr: 0 when one does (or its backlog stays
// full), else connect's errno.
static int sock_probe(const sockaddr_un *addr) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return errno;
    // A Unix socket's connect waits for room in the backlog no longer than the send time-out.
    timeval bound = {PROBE_WAIT_SEC, 0};
    setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int err = connect(probe, (const sockaddr *)addr, sizeof *addr) == 0 ? 0 : errno;
    close(probe);
    return err == EAGAIN ? 0 : err;  // EAGAIN: a live service whose backlog stayed full
}

// Clear the way for bind: only a socket file that no service answers on is in the way, and it
// is removed (unless check). Anything else at the path, or a live service, ends start-up: the
// path is probably a configuration mistake, and removing it would delete someone's file or
// take over another service's socket.
static int path_clear(const char *path, const sockaddr_un *addr, bool check, listener_fault *f) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : fault_set(f, "lstat", errno, "%s", "");
    if (!S_ISSOCK(st.st_mode))
        return fault_set(f, NULL, 0, "Socket path %s is %s; not removed.", path,
                         file_kind_name(st.st_mode));
    int err = sock_probe(addr);
    if (err == 0)
        return in_use_fault(f, path);
    if (err != ECONNREFUSED)  // e.g. no permission: nobody can say it is stale
        return fault_set(f, NULL, 0,
                         "Socket path %s is a socket that cannot be tried (%s); not removed.", path,
                         strerror(err));
    if (!check)
        unlink(path);
    return 0;
}

// Binding in the folder (and removing a stale socket there) needs to write in it.
static int folder_writable(const char *path, listener_fault *f) {
    std::string folder = folder_of(path);
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return 0;
    return fault_set(f, "bind", errno, "Socket path %s: folder %s cannot be written (%s).", path,
                     folder.c_str(), strerror(errno));
}

// Whether this process is in group gid, so that it may give it a file it owns.
static bool group_ours(gid_t gid) {
    if (gid == getegid())
        return true;
    int n = getgroups(0, NULL);
    std::vector<gid_t> groups(n > 0 ? (size_t)n : 0);
    n = getgroups((int)groups.size(), groups.data());
    for (int i = 0; i < n; i++)
        if (groups[i] == gid)
            return true;
    return false;
}

int listener_group_check(const char *path, gid_t gid, listener_fault *fault) {
    if (gid == (gid_t)-1 || sd_listen_fds(0) != 0 || group_ours(gid) || privilege_held(CAP_CHOWN))
        return 0;  // a passed socket's group is checked with it
    return group_fault(fault, path, gid, EPERM);
}

// ---- a socket passed by systemd --------------------------------------------------------------

// The path of the socket systemd passed at fd, or "".
static std::string passed_name(int fd) {
    sockaddr_un addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    if (getsockname(fd, (sockaddr *)&addr, &len) != 0 || addr.sun_path[0] == '\0')
        return "";
    return std::string(addr.sun_path, strnlen(addr.sun_path, sizeof addr.sun_path));
}

// unix_sock_mode and unix_sock_group cannot be given to a socket systemd made; it must already
// have them, or the service would run more open than its operator believes.
static int passed_access_fault(int fd, mode_t mode, gid_t gid, listener_fault *f) {
    if (mode == 0777 && gid == (gid_t)-1)
        return 0;
    std::string name = passed_name(fd);
    struct stat st;
    if (!name.empty() && stat(name.c_str(), &st) == 0 && (st.st_mode & 07777) == mode &&
        (gid == (gid_t)-1 || st.st_gid == gid))
        return 0;
    return fault_set(
        f, NULL, 0,
        "The socket systemd passed (%s) does not have the unix_sock_mode and unix_sock_group of "
        "the configuration: set SocketMode= and SocketGroup= in its socket unit to match.",
        name.empty() ? "no file" : name.c_str());
}

// n sockets passed (sd_listen_fds()): exactly one listening Unix stream socket, with mode and
// gid, is taken.
static int passed_fault(int n, mode_t mode, gid_t gid, listener_fault *f) {
    if (n < 0)
        return fault_set(f, NULL, 0, "Cannot take the sockets systemd passed: %s", strerror(-n));
    if (n != 1)
        return fault_set(f, NULL, 0,
                         "systemd passed %d sockets; exactly one listening Unix stream socket is "
                         "needed.",
                         n);
    if (sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, NULL, 0) <= 0)
        return fault_set(f, NULL, 0,
                         "The socket systemd passed is not a listening Unix stream socket.");
    return passed_access_fault(SD_LISTEN_FDS_START, mode, gid, f);
}

// ---- making the socket -------------------------------------------------------------------

int listener_check(const char *path, mode_t mode, gid_t gid, std::string *passed,
                   listener_fault *fault) {
    int n = sd_listen_fds(0);  // leaves LISTEN_FDS for the start
    passed->clear();
    if (n != 0) {
        if (passed_fault(n, mode, gid, fault) != 0)
            return -1;
        *passed = passed_name(SD_LISTEN_FDS_START);
        return 0;
    }
    sockaddr_un addr;
    int lock_fd;
    if (path_fault(path, fault) != 0 || lock_take(path, true, &lock_fd, fault) != 0)
        return -1;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    return path_clear(path, &addr, true, fault) != 0 ? -1 : folder_writable(path, fault);
}

// The listening socket systemd passed, or -1 when it passed none.
static int sock_passed(void) {
    int n = sd_listen_fds(1);
    listener_fault f;
    if (n == 0)
        return -1;
    if (passed_fault(n, listener_mode, listener_gid, &f) != 0)
        fault_exit(&f);
    sock_activated = true;
    return SD_LISTEN_FDS_START;
}

static void die_perror(const char *call) {
    log_perror(call);
    log_exit(1);
}

// A socket the service made goes when a later step of start-up ends the process.
static void sock_made_remove(void) {
    if (sock_made_path)
        unlink(sock_made_path);
}

// Create, bind, give access to and listen on the socket at path, in turn with other start-ups.
static int sock_create(const char *path) {
    sockaddr_un addr;
    listener_fault f;
    int lock_fd;
    if (path_fault(path, &f) != 0 || lock_take(path, false, &lock_fd, &f) != 0)
        fault_exit(&f);
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    if (path_clear(path, &addr, false, &f) != 0)
        fault_exit(&f);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die_perror("socket");
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0)
        die_perror("bind");
    chmod(path, listener_mode);  // by default every local user may connect, whatever the umask
    if (listener_gid != (gid_t)-1 && chown(path, (uid_t)-1, listener_gid) != 0) {
        group_fault(&f, path, listener_gid, errno);
        unlink(path);  // a socket with the wrong group must not stay open to anyone
        fault_exit(&f);
    }
    sock_made_path = path;
    atexit(sock_made_remove);
    if (listen(fd, LISTENER_BACKLOG) != 0)
        die_perror("listen");
    close(lock_fd);  // a later start-up's probe finds this service answering
    return fd;
}

// Every descriptor the process may have, so that the connection limit is as high as allowed.
static void fd_limit_raise(void) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int listener_create(const char *path) {
    fd_limit_raise();
    int fd = sock_passed();
    return fd >= 0 ? fd : sock_create(path);
}

// The socket file goes first, so that no client finds the service from now on; then clients
// waiting in the backlog are told at once. systemd's socket keeps listening for the next process.
void listener_socket_close(int listen_fd) {
    if (!sock_made_path)
        return;
    unlink(sock_made_path);
    sock_made_path = NULL;
    shutdown(listen_fd, SHUT_RDWR);
}
