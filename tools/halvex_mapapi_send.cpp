// halvex_mapapi_send.cpp -- send map points to the relay's local socket from scripts and shells.
//
// Each command-line argument, or else each non-empty line of standard input, is one point
// message. All go over one connection, one at a time, through the C client library: it waits
// for each reply, and sends a message again on a new connection only where the service cannot
// have read it (a restart under way).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "halvex_mapapi_client.h"

static const char PROG[] = "halvex_mapapi_send";
// The socket when -s is not given: one variable that shell, Python and C clients can all read,
// so one export points them all at a service on another path.
static const char SOCK_ENV[] = HALVEX_CLIENT_SOCKET_ENV;
// A reply normally takes microseconds; this only catches a service that has stopped answering.
static const int REPLY_TIMEOUT_DEFAULT_S = 10;
// Upper bound for -t: a day, far beyond any use, small enough for milliseconds in an int.
static const long REPLY_TIMEOUT_MAX_S = 86400;
// Exit statuses: all accepted, some refused, the service unreachable, a bad command line.
static const int EXIT_REJECTED = 1;
static const int EXIT_NO_SERVICE = 2;
static const int EXIT_USAGE = 64;

struct send_options {
    const char *sock_path = HALVEX_CLIENT_SOCKET_DEFAULT;
    int timeout_s = REPLY_TIMEOUT_DEFAULT_S;
    std::vector<const char *> messages;  // in order; none: standard input's lines
};

// The client and what is known of the outcome so far.
struct send_state {
    halvex_client *client = nullptr;
    const char *path = nullptr;
    int number = 0;         // messages handled so far; the current one's number
    bool rejected = false;  // some message was refused or could not be sent
};

static void usage_print(FILE *to) {
    fprintf(to,
            "Usage: %s [-s PATH] [-t SECONDS] [MESSAGE...]\n"
            "Send point messages to the map point relay, one at a time on one connection.\n"
            "Each MESSAGE is one JSON point, e.g. '{\"lat\":40.7128,\"lng\":-74.006}'; with\n"
            "none, each non-empty line of standard input is one (at most %d bytes).\n"
            "Options may come before, between or after the messages; -- ends them.\n\n"
            "  -s PATH      the relay's socket (default: $%s if set, else %s)\n"
            "  -t SECONDS   give up on a message after this long (default %d)\n"
            "  -h, --help   show this help\n\n"
            "Prints nothing when all are accepted; each refused one is reported on standard\n"
            "error with its number, counting from 1. Exit status: 0 all accepted, 1 some\n"
            "refused, 2 the relay could not be reached or the connection broke, 64 bad usage.\n",
            PROG, HALVEX_CLIENT_MESSAGE_MAX, SOCK_ENV, HALVEX_CLIENT_SOCKET_DEFAULT,
            REPLY_TIMEOUT_DEFAULT_S);
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

// Why a connection could not be made, with what to do about it.
static const char *connect_hint(int err) {
    if (err == EACCES || err == EPERM)
        return " (this user may not use the socket: see unix_sock_mode and unix_sock_group)";
    if (err == ENOENT || err == ECONNREFUSED)
        return " (is halvex_mapapi_server running?)";
    return "";
}

static halvex_client *service_connect(const char *path, int timeout_s) {
    halvex_client *client = halvex_client_open(path, timeout_s * 1000);
    if (!client) {
        int err = errno;
        fprintf(stderr, "%s: cannot connect to %s: %s%s\n", PROG, path, strerror(err),
                connect_hint(err));
        exit(EXIT_NO_SERVICE);
    }
    return client;
}

// The connection is of no further use: say why and end with EXIT_NO_SERVICE.
static void connection_lost(const send_state &st, const std::string &what) {
    fprintf(stderr, "%s: message %d: %s; nothing more sent\n", PROG, st.number, what.c_str());
    exit(EXIT_NO_SERVICE);
}

// A message the library could not settle, errno still its word on it.
static void unreachable_report(const send_state &st, int err) {
    if (err == ECONNRESET)
        connection_lost(st, "the service closed the connection before answering");
    if (err == EPROTO)
        connection_lost(st, "the service answered neither OK nor FAILED");
    connection_lost(st, std::string("cannot connect to ") + st.path + " again: " + strerror(err) +
                            connect_hint(err));
}

// Send one message and judge its reply; a message that cannot go out whole is not sent: the
// service takes each receive as one message, so a longer one would be answered piecemeal.
static void message_send(send_state &st, const std::string &msg, int timeout_s) {
    st.number++;
    int result = msg.empty() ? HALVEX_CLIENT_INVALID
                             : halvex_client_send_json(st.client, msg.c_str(), timeout_s * 1000);
    int err = errno;
    if (result == HALVEX_CLIENT_ACCEPTED)
        return;
    st.rejected = true;
    if (result == HALVEX_CLIENT_REFUSED)
        fprintf(stderr, "%s: message %d rejected: %s\n", PROG, st.number, msg.c_str());
    else if (result == HALVEX_CLIENT_INVALID || result == HALVEX_CLIENT_TOO_LONG)
        fprintf(
            stderr, "%s: message %d not sent: %s\n", PROG, st.number,
            msg.empty()
                ? "empty"
                : ("longer than " + std::to_string(HALVEX_CLIENT_MESSAGE_MAX) + " bytes").c_str());
    else if (result == HALVEX_CLIENT_TIMED_OUT)
        connection_lost(st, "no reply within " + std::to_string(timeout_s) + " s");
    else
        unreachable_report(st, err);
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
    st.path = o.sock_path;
    st.client = service_connect(o.sock_path, o.timeout_s);
    if (!o.messages.empty()) {
        for (const char *msg : o.messages)
            message_send(st, msg, o.timeout_s);
    } else {
        stdin_send(st, o.timeout_s);
    }
    halvex_client_close(st.client);
    return st.rejected ? EXIT_REJECTED : 0;
}
