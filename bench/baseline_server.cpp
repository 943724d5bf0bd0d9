// baseline_server.cpp -- the least a point server can do: one thread, epoll, "OK\n" per receive.
//
// It reads nothing into its messages and keeps nothing: every receive of up to
// MESSAGE_MAX_BYTES is answered "OK\n" at once. Measured with the same load generator as the
// relay, it gives the practical limit of the message exchange on this machine.
//
// With --parse it also parses each message with the JSON library's default reader before
// answering: the least any server can do that reads points with that library, so it shows how
// much of the relay's distance from the bare exchange is the library's own parse.
// Usage: baseline_server [--parse] SOCKET_PATH.
#include <errno.h>
#include <json/reader.h>
#include <json/value.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "intake/protocol.h"

// The reply's length, without its terminating NUL.
static const ssize_t REPLY_OK_LEN = sizeof REPLY_OK - 1;
// Events taken per wait; level-triggered, so more ready descriptors wait for the next pass.
static const int EVENTS_MAX = 256;
// Pending connections the kernel keeps before refusing; a thousand idle ones arrive at once.
static const int BACKLOG = 4096;

static int epoll_fd = -1;
static int listen_fd = -1;
static bool parse_each = false;  // --parse: run every message through the JSON reader

static void die_perror(const char *call) {
    perror(call);
    exit(1);
}

static void listen_start(const char *path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd < 0)
        die_perror("socket");
    unlink(path);
    if (bind(listen_fd, (sockaddr *)&addr, sizeof addr) != 0)
        die_perror("bind");
    if (listen(listen_fd, BACKLOG) != 0)
        die_perror("listen");
}

static void fd_watch(int fd) {
    epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0)
        die_perror("epoll_ctl");
}

static void conns_accept(void) {
    for (;;) {
        int fd = accept4(listen_fd, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                perror("accept");
            return;
        }
        fd_watch(fd);
    }
}

// Parse the text and throw the document away; the reader is kept, as the relay keeps its own.
static void message_parse(const char *text, size_t len) {
    static Json::Reader reader;
    Json::Value doc;
    try {
        reader.parse(text, text + len, doc, false);
    } catch (const std::exception &) {
        // too deeply nested: the answer is the same
    }
}

static void conn_serve(int fd) {
    static char buffer[MESSAGE_MAX_BYTES];  // one receive is one message, as in the relay
    ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) {
        close(fd);  // closing also takes it out of the epoll set
        return;
    }
    if (got > 0 && parse_each)
        message_parse(buffer, (size_t)got);
    if (got > 0 && send(fd, REPLY_OK, REPLY_OK_LEN, MSG_DONTWAIT | MSG_NOSIGNAL) != REPLY_OK_LEN)
        perror("send");
}

int main(int argc, char **argv) {
    parse_each = argc == 3 && strcmp(argv[1], "--parse") == 0;
    if (argc != 2 && !parse_each) {
        fputs("Usage: baseline_server [--parse] SOCKET_PATH\n", stderr);
        return 64;
    }
    listen_start(argv[argc - 1]);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0)
        die_perror("epoll_create1");
    fd_watch(listen_fd);
    epoll_event events[EVENTS_MAX];
    for (;;) {
        int ready = epoll_wait(epoll_fd, events, EVENTS_MAX, -1);
        for (int i = 0; i < ready; i++) {
            if (events[i].data.fd == listen_fd)
                conns_accept();
            else
                conn_serve(events[i].data.fd);
        }
    }
}
