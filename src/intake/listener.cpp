// listener.cpp -- the local socket: create it, accept clients, remove it at the stop.
#include "intake/listener.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/log.h"
#include "base/stop.h"

// Pause after accept fails for lack of descriptors, or while the connection limit is reached,
// so the loop does not spin at full CPU while the pending connection stays in the backlog
// (milliseconds). A stop ends the pause at once.
static const int ACCEPT_RETRY_PAUSE_MS = 100;
// Longest wait of the probe's connect to a socket already at the path: a live service with a
// full backlog gets this long to make room; after it the socket counts as in use. Start-up
// cannot be stopped meanwhile (the stop signals are blocked), so it is short (seconds).
static const time_t PROBE_WAIT_SEC = 1;
// Appended to the socket path to name the lock file that start-ups on the same path take in
// turn around probe, unlink and bind.
static const char SOCK_LOCK_SUFFIX[] = ".lock";
// Least spacing of two reports of the same accept failure, in seconds.
static const time_t ACCEPT_REPORT_EVERY_SEC = 10;
// Descriptors assumed open at start when /proc cannot say: the standard three, the socket,
// the wake pipe, the receiver's set and a few of the libraries'.
static const int FDS_OPEN_GUESS = 16;

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

static void die_perror(const char *call) {
    log_perror(call);
    log_exit(1);
}

// Every descriptor the process may have, so that the connection limit is as high as allowed.
static void fd_limit_raise(void) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

static const char *file_kind(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "a file that is not a socket";
}

static void sock_in_use_exit(const char *path) {
    log_errorf("Socket path %s is in use by a running service.", path);
    log_exit(1);
}

// A path in a folder that does not exist: bind's own report, then which folder is missing,
// before the lock file beside the socket fails for the same reason.
static void sock_folder_check(const char *path) {
    const char *slash = strrchr(path, '/');
    char folder[sizeof(sockaddr_un::sun_path)] = ".";
    if (slash)
        snprintf(folder, sizeof folder, "%.*s", slash == path ? 1 : (int)(slash - path), path);
    struct stat st;
    if (stat(folder, &st) == 0 || errno != ENOENT)
        return;
    log_perror("bind");
    log_printf("Socket path %s: folder %s does not exist.", path, folder);
    log_exit(1);
}

// Start-ups on one path take this lock in turn from before the probe until the socket listens,
// so that of several started together only one finds a stale socket, removes it and binds;
// another finds the lock taken and ends as if the first were running already. The file stays
// when the service stops: were it removed, two start-ups could each lock a file of that name,
// one the old and one a new. Returns the lock's descriptor, to close once the socket listens.
static int sock_path_lock(const char *path) {
    char lock_path[sizeof(sockaddr_un::sun_path) + sizeof SOCK_LOCK_SUFFIX];
    snprintf(lock_path, sizeof lock_path, "%s%s", path, SOCK_LOCK_SUFFIX);
    // Not through a symbolic link: someone else's link in a shared folder must not make the
    // service create or lock a file elsewhere.
    int fd = open(lock_path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        log_errorf("Socket lock file %s cannot be opened (%s).", lock_path, strerror(errno));
        log_exit(1);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            die_perror("flock");
        sock_in_use_exit(path);
    }
    return fd;
}

// Clear the way for bind: remove only a socket file that no service answers on. Anything else
// at the path, or a live service, ends start-up: the path is probably a configuration mistake,
// and removing it would delete someone's file or take over another service's socket.
static void sock_path_clear(const char *path, const sockaddr_un *addr) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno != ENOENT)
            die_perror("lstat");
        return;
    }
    if (!S_ISSOCK(st.st_mode)) {
        log_errorf("Socket path %s is %s; not removed.", path, file_kind(st.st_mode));
        log_exit(1);
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        die_perror("socket");
    // A Unix socket's connect waits for room in the backlog no longer than the send time-out.
    timeval bound = {PROBE_WAIT_SEC, 0};
    setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int answered = connect(probe, (const sockaddr *)addr, sizeof *addr) == 0;
    int err = errno;
    close(probe);
    if (answered || err == EAGAIN)  // EAGAIN: a live service whose backlog stayed full
        sock_in_use_exit(path);
    if (err != ECONNREFUSED) {  // e.g. no permission: nobody can say it is stale
        log_errorf("Socket path %s is a socket that cannot be tried (%s); not removed.", path,
                   strerror(err));
        log_exit(1);
    }
    unlink(path);
}

// unix_sock_mode and unix_sock_group cannot be given to a socket systemd made; it must already
// have them, or the service would run more open than its operator believes.
static void passed_access_check(int fd) {
    if (listener_mode == 0777 && listener_gid == (gid_t)-1)
        return;
    sockaddr_un addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    struct stat st;
    bool named = getsockname(fd, (sockaddr *)&addr, &len) == 0 && addr.sun_path[0] != '\0';
    if (named && stat(addr.sun_path, &st) == 0 && (st.st_mode & 07777) == listener_mode &&
        (listener_gid == (gid_t)-1 || st.st_gid == listener_gid))
        return;
    log_errorf(
        "The socket systemd passed (%s) does not have the unix_sock_mode and unix_sock_group of "
        "the configuration: set SocketMode= and SocketGroup= in its socket unit to match.",
        named ? addr.sun_path : "no file");
    log_exit(1);
}

// The listening socket systemd passed, or -1 when it passed none.
static int sock_passed(void) {
    int n = sd_listen_fds(1);
    if (n == 0)
        return -1;
    if (n < 0) {
        log_errorf("Cannot take the sockets systemd passed: %s", strerror(-n));
        log_exit(1);
    }
    if (n != 1) {
        log_errorf("systemd passed %d sockets; exactly one listening Unix stream socket is needed.",
                   n);
        log_exit(1);
    }
    if (sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, NULL, 0) <= 0) {
        log_errorf("The socket systemd passed is not a listening Unix stream socket.");
        log_exit(1);
    }
    passed_access_check(SD_LISTEN_FDS_START);
    sock_activated = true;
    return SD_LISTEN_FDS_START;
}

bool listener_activated(void) {
    return sock_activated;
}

// The socket file goes first, so that no client finds the service from now on; then clients
// waiting in the backlog are told at once. systemd's socket keeps listening for the next process.
static void sock_close_at_stop(int listen_fd) {
    if (!sock_made_path)
        return;
    unlink(sock_made_path);
    shutdown(listen_fd, SHUT_RDWR);
}

// Create, bind, give access to and listen on the socket at path, in turn with other start-ups.
static int sock_create(const char *path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    if (strlen(path) >= sizeof addr.sun_path) {
        log_errorf("Socket path is too long (at most %zu characters): %s", sizeof addr.sun_path - 1,
                   path);
        log_exit(1);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die_perror("socket");
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    sock_folder_check(path);
    int lock_fd = sock_path_lock(path);
    sock_path_clear(path, &addr);
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0)
        die_perror("bind");
    chmod(path, listener_mode);  // by default every local user may connect, whatever the umask
    if (listener_gid != (gid_t)-1 && chown(path, (uid_t)-1, listener_gid) != 0) {
        log_perror("chown");
        unlink(path);  // a socket with the wrong group must not stay open to anyone
        log_exit(1);
    }
    if (listen(fd, LISTENER_BACKLOG) != 0)
        die_perror("listen");
    close(lock_fd);  // a later start-up's probe finds this service answering
    return fd;
}

int listener_create(const char *path) {
    fd_limit_raise();
    int fd = sock_passed();
    if (fd < 0) {
        fd = sock_create(path);
        sock_made_path = path;
    }
    return fd;
}

// Report a failed accept, but a failure that repeats (descriptors used up, retried every pause)
// only once per ACCEPT_REPORT_EVERY_SEC, so that it does not flood the log.
static void accept_failure_report(int err, int *last_err, time_t *last_at) {
    time_t now = (time_t)(clock_coarse_usec() / 1000000);
    if (err == *last_err && now - *last_at < ACCEPT_REPORT_EVERY_SEC)
        return;
    errno = err;
    log_perror("accept");
    *last_err = err;
    *last_at = now;
}

int listener_conn_limit(int extra_reserve) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur > INT32_MAX)
        return INT32_MAX;
    int open_now = FDS_OPEN_GUESS;
    if (DIR *d = opendir("/proc/self/fd")) {
        open_now = -1;  // the listing's own descriptor
        while (dirent *e = readdir(d))
            open_now += e->d_name[0] != '.';
        closedir(d);
    }
    int limit = (int)lim.rlim_cur - open_now - LISTENER_FD_RESERVE - extra_reserve;
    return limit > 0 ? limit : 0;
}

// Wait up to timeout_ms (-1: no bound) for a stop or, with events POLLIN, for a pending
// connection. True once a stop has begun. Asked for no events, poll reports nothing on
// listen_fd but a failure of the socket, which ends the loop as a stop does.
static bool stop_or_pending_wait(int listen_fd, short events, int timeout_ms) {
    pollfd pfd[2] = {{listen_fd, events, 0}, {stop_fd(), POLLIN, 0}};
    int n = poll(pfd, 2, timeout_ms);
    return n > 0 && (pfd[1].revents || (pfd[0].revents & (POLLHUP | POLLNVAL)));
}

static bool listen_pause(int listen_fd) {
    return stop_or_pending_wait(listen_fd, 0, ACCEPT_RETRY_PAUSE_MS);
}

// Wait while limit connections are open; the receiver closes them. Says once per streak that
// new connections wait. False once a stop has begun.
static bool conn_room_wait(int listen_fd, rcv_thread_args *args, int limit) {
    bool said = false;
    while (conn_list_count(args) >= limit) {
        if (!said)
            log_warnf("Connection limit (%d) reached: new connections wait.", limit);
        said = true;
        if (listen_pause(listen_fd))
            return false;
    }
    return true;
}

// The loop proper; returns once a stop has begun.
static void accept_run(int listen_fd, rcv_thread_args *args, int limit) {
    int last_err = 0;
    time_t last_at = 0;
    // The accept waits in poll, with the stop descriptor, so that a stop ends it at once.
    while (conn_room_wait(listen_fd, args, limit) && !stop_or_pending_wait(listen_fd, POLLIN, -1)) {
        sockaddr_un peer;
        socklen_t peer_len = sizeof peer;
        int fd = accept4(listen_fd, (sockaddr *)&peer, &peer_len, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (err == EINVAL)
                return;  // the socket no longer listens: nothing more can be accepted
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                continue;  // systemd's socket may be non-blocking; the client left meanwhile
            accept_failure_report(err, &last_err, &last_at);
            bool short_of_room = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
            if (short_of_room && listen_pause(listen_fd))
                return;
            continue;
        }
        last_err = 0;  // a new streak of failures is reported at once
        conn_list_push(args, fd);
    }
}

void listener_accept_loop(int listen_fd, rcv_thread_args *args, int conn_limit) {
    accept_run(listen_fd, args, conn_limit);
    sock_close_at_stop(listen_fd);
}
