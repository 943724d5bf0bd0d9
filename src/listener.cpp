// listener.cpp -- the local socket: create it, accept clients, and keep the connection list.
#include "listener.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

// Pause after accept fails for lack of descriptors, so the loop does not spin at full CPU
// while the pending connection stays in the backlog (microseconds).
static const useconds_t ACCEPT_RETRY_PAUSE_USEC = 100000;
// Least spacing of two reports of the same accept failure, in seconds.
static const time_t ACCEPT_REPORT_EVERY_SEC = 10;

static void die_perror(const char *call) {
    perror(call);
    exit(1);
}

int listener_create(const char *path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "Socket path is too long (at most %zu characters): %s\n",
                sizeof addr.sun_path - 1, path);
        exit(1);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die_perror("socket");
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    unlink(path);
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0)
        die_perror("bind");
    chmod(path, 0777);  // every local user may connect, whatever the umask
    if (listen(fd, LISTENER_BACKLOG) != 0)
        die_perror("listen");
    return fd;
}

void conn_list_create(rcv_thread_args *args, point_queue *queue) {
    int wake[2] = {-1, -1};
    if (pipe2(wake, O_CLOEXEC) != 0)
        perror("pipe");
    // The receiver reads one byte per readiness; it must never block on an empty pipe.
    fcntl(wake[0], F_SETFL, O_NONBLOCK);
    pthread_mutex_init(&args->conn_lock, NULL);
    sock_list_node *node = (sock_list_node *)calloc(1, sizeof *node);
    node->fd = wake[0];
    node->next = NULL;
    args->head = node;
    args->wake_fd = wake[0];
    args->wake_write_fd = wake[1];
    args->queue = queue;
}

// Push a new connection at the head of the list and wake the receiver to watch it.
static void conn_register(rcv_thread_args *args, int fd) {
    sock_list_node *node = (sock_list_node *)malloc(sizeof *node);
    if (!node) {
        close(fd);  // without a node nobody would ever serve or close it
        return;
    }
    node->fd = fd;
    pthread_mutex_lock(&args->conn_lock);
    node->next = args->head;
    args->head = node;
    pthread_mutex_unlock(&args->conn_lock);
    if (write(args->wake_write_fd, "*", 1) != 1)
        perror("write");
}

// Report a failed accept, but a failure that repeats (descriptors used up, retried every pause)
// only once per ACCEPT_REPORT_EVERY_SEC, so that it does not flood the log.
static void accept_failure_report(int err, int *last_err, time_t *last_at) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (err == *last_err && now.tv_sec - *last_at < ACCEPT_REPORT_EVERY_SEC)
        return;
    errno = err;
    perror("accept");
    *last_err = err;
    *last_at = now.tv_sec;
}

void accept_loop(int listen_fd, rcv_thread_args *args) {
    int last_err = 0;
    time_t last_at = 0;
    for (;;) {
        sockaddr_un peer;
        socklen_t peer_len = sizeof peer;
        int fd = accept4(listen_fd, (sockaddr *)&peer, &peer_len, SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (err == EINVAL)
                return;  // the socket was shut down: the service is stopping
            accept_failure_report(err, &last_err, &last_at);
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
                usleep(ACCEPT_RETRY_PAUSE_USEC);
            continue;
        }
        last_err = 0;  // a new streak of failures is reported at once
        conn_register(args, fd);
    }
}
