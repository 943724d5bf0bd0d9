// halvex_mapapi_send.cpp -- send map points to the relay's local socket from scripts and shells.
//
// Each command-line argument, or else each non-empty line of standard input, is one point
// message. All go over one connection, one at a time: the protocol has no framing, so a
// message is sent only after the reply to the one before it has arrived.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "intake/protocol.h"

static const char PROG[] = "halvex_mapapi_send";
// The socket when -s is not given: one variable that shell, Python and C clients can all read,
// so one export points them all at a service on another path.
static const char SOCK_ENV[] = "HALVEX_MAPAPI_SOCKET";
// A reply normally takes microseconds; this only catches a service that has stopped answering.
static const int REPLY_TIMEOUT_DEFAULT_S = 10;
// Upper bound for -t: a day, far beyond any use, small enough for milliseconds in an int.
static const long REPLY_TIMEOUT_MAX_S = 86400;
// Exit statuses: all accepted, some refused, the service unreachable, a bad command line.
static const int EXIT_REJECTED = 1;
static const int EXIT_NO_SERVICE = 2;
static const int EXIT_USAGE = 64;

struct send_options {
    const char *sock_path = HALVEX_DEFAULT_SOCK_PATH;
    int timeout_s = REPLY_TIMEOUT_DEFAULT_S;
    std::vector<const char *> messages;  // in order; none: standard input's lines
};

// The connection and what is known of its outcome so far.
struct send_state {
    int fd = -1;
    int number = 0;         // messages handled so far; the current one's number
    bool rejected = false;  // some message was refused or could not be sent
    std::string pending;    // bytes received after the last reply, if any
};

static void usage_print(FILE *to) {
    fprintf(to,
            "Usage: %s [-s PATH] [-t SECONDS] [MESSAGE...]\n"
            "Send point messages to the map point relay, one at a time on one connection.\n"
            "Each MESSAGE is one JSON point, e.g. '{\"lat\":40.7128,\"lng\":-74.006}'; with\n"
            "none, each non-empty line of standard input is one (at most %d bytes).\n"
            "Options may come before, between or after the messages; -- ends them.\n\n"
            "  -s PATH      the relay's socket (default: $%s if set, else %s)\n"
            "  -t SECONDS   give up when a reply takes longer (default %d)\n"
            "  -h, --help   show this help\n\n"
            "Prints nothing when all are accepted; each refused one is reported on standard\n"
            "error with its number, counting from 1. Exit status: 0 all accepted, 1 some\n"
            "refused, 2 the relay could not be reached or the connection broke, 64 bad usage.\n",
            PROG, MESSAGE_MAX_BYTES, SOCK_ENV, HALVEX_DEFAULT_SOCK_PATH, REPLY_TIMEOUT_DEFAULT_S);
}

static void usage_fail(const char *what, const char *arg) {
    fprintf(stderr, "%s: %s%s\nTry '%s --help'.\n", PROG, what, arg, PROG);
    exit(EXIT_USAGE);
}

static int timeout_parse(const char *text) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > REPLY_TIMEOUT_MAX_S) {
        std::string why = text + std::string(" (whole seconds, 1 to ") +
                          std::to_string(REPLY_TIMEOUT_MAX_S) + ")";
        usage_fail("bad reply time-out: ", why.c_str());
    }
    return (int)v;
}

// Options anywhere, as "halvex_mapapi_send MSG -s PATH" is written as often as the other way
// round; every other argument, and every one after "--", is a message. A point message is a
// JSON object, so only a message that is not one can look like an option.
static send_options options_parse(int argc, char **argv) {
    send_options o;
    const char *env_path = getenv(SOCK_ENV);
    if (env_path && env_path[0] != '\0')
        o.sock_path = env_path;
    bool options_over = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_over || a[0] != '-' || a.size() == 1) {
            o.messages.push_back(argv[i]);
        } else if (a == "--") {
            options_over = true;
        } else if (a == "-h" || a == "--help") {
            usage_print(stdout);
            exit(0);
        } else if ((a == "-s" || a == "-t") && i + 1 >= argc) {
            usage_fail("missing value for ", argv[i]);
        } else if (a == "-s") {
            o.sock_path = argv[++i];
        } else if (a == "-t") {
            o.timeout_s = timeout_parse(argv[++i]);
        } else {
            usage_fail("unknown option: ", argv[i]);
        }
    }
    if (strlen(o.sock_path) >= sizeof(((sockaddr_un *)0)->sun_path))
        usage_fail("socket path too long: ", o.sock_path);
    return o;
}

static int service_connect(const char *path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "%s: socket: %s\n", PROG, strerror(errno));
        exit(EXIT_NO_SERVICE);
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        int err = errno;
        const char *hint = "";
        if (err == EACCES || err == EPERM)
            hint = " (this user may not use the socket: see unix_sock_mode and unix_sock_group)";
        else if (err == ENOENT || err == ECONNREFUSED)
            hint = " (is halvex_mapapi_server running?)";
        fprintf(stderr, "%s: cannot connect to %s: %s%s\n", PROG, path, strerror(err), hint);
        exit(EXIT_NO_SERVICE);
    }
    return fd;
}

// The connection is of no further use: say why and end with EXIT_NO_SERVICE.
static void connection_lost(const send_state &st, const char *what) {
    fprintf(stderr, "%s: message %d: %s; nothing more sent\n", PROG, st.number, what);
    exit(EXIT_NO_SERVICE);
}

static void message_write(const send_state &st, const std::string &msg) {
    size_t off = 0;
    while (off < msg.size()) {
        ssize_t n = send(st.fd, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::string what = std::string("connection broke: ") + strerror(errno);
            connection_lost(st, what.c_str());
        }
        off += (size_t)n;
    }
}

static long clock_ms(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Receive until a whole reply line is held, within the time-out; returns it with its '\n'.
static std::string reply_read(send_state &st, int timeout_s) {
    long deadline = clock_ms() + timeout_s * 1000L;
    size_t nl;
    while ((nl = st.pending.find('\n')) == std::string::npos) {
        pollfd p = {st.fd, POLLIN, 0};
        long left = deadline - clock_ms();
        int r = left > 0 ? poll(&p, 1, (int)left) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            std::string what = "no reply within " + std::to_string(timeout_s) + " s";
            connection_lost(st, what.c_str());
        }
        char buf[256];
        ssize_t n = r < 0 ? -1 : recv(st.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            connection_lost(st, "the service closed the connection");
        if (n < 0)
            connection_lost(st, (std::string("receive: ") + strerror(errno)).c_str());
        st.pending.append(buf, (size_t)n);
    }
    std::string reply = st.pending.substr(0, nl + 1);
    st.pending.erase(0, nl + 1);
    return reply;
}

// Send one message and judge its reply; a message that cannot go out whole is not sent: the
// service takes each receive as one message, so a longer one would be answered piecemeal.
static void message_send(send_state &st, const std::string &msg, int timeout_s) {
    st.number++;
    if (msg.empty() || msg.size() > (size_t)MESSAGE_MAX_BYTES) {
        std::string why = "longer than " + std::to_string(MESSAGE_MAX_BYTES) + " bytes";
        fprintf(stderr, "%s: message %d not sent: %s\n", PROG, st.number,
                msg.empty() ? "empty" : why.c_str());
        st.rejected = true;
        return;
    }
    message_write(st, msg);
    std::string reply = reply_read(st, timeout_s);
    if (reply == REPLY_OK)
        return;
    if (reply != REPLY_FAILED) {
        reply.pop_back();
        connection_lost(st, ("unexpected reply \"" + reply + "\"").c_str());
    }
    fprintf(stderr, "%s: message %d rejected: %s\n", PROG, st.number, msg.c_str());
    st.rejected = true;
}

// Each non-empty line of standard input, without its line end, is one message.
static void stdin_send(send_state &st, int timeout_s) {
    char *line = NULL;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) >= 0) {
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            n--;
        if (n > 0)
            message_send(st, std::string(line, (size_t)n), timeout_s);
    }
    free(line);
}

int main(int argc, char **argv) {
    send_options o = options_parse(argc, argv);
    send_state st;
    st.fd = service_connect(o.sock_path);
    if (!o.messages.empty()) {
        for (const char *msg : o.messages)
            message_send(st, msg, o.timeout_s);
    } else {
        stdin_send(st, o.timeout_s);
    }
    close(st.fd);
    return st.rejected ? EXIT_REJECTED : 0;
}
