// listener.cpp -- the accept loop: clients taken onto the connection list as room allows.
#include "intake/listener.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/log.h"
#include "base/stop.h"

// Pause after accept fails for lack of descriptors, or while the connection limit is reached,
// so the loop does not spin at full CPU while the pending connection stays in the backlog
// (milliseconds). A stop ends the pause at once.
static const int ACCEPT_RETRY_PAUSE_MS = 100;
// Least spacing of two reports of the same accept failure, in seconds.
static const time_t ACCEPT_REPORT_EVERY_SEC = 10;
// Descriptors assumed open at start when /proc cannot say: the standard three, the socket,
// the wake pipe, the receiver's set and a few of the libraries'.
static const int FDS_OPEN_GUESS = 16;

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
    listener_socket_close(listen_fd);
}
