/* halvex_mapapi_client.c -- the C client of the local point socket: connect, send, judge the
 * reply, reconnect where the message cannot have been read. */
#define _GNU_SOURCE
#include "halvex_mapapi_client.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <math.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* The service's two replies. */
static const char REPLY_OK[] = "OK\n";
static const char REPLY_FAILED[] = "FAILED\n";
/* Room for a reply: the longer one, and a byte that shows a longer text is no reply. */
#define REPLY_ROOM 8
/* Waits between tries to connect while the socket is missing, refuses or is full: short at
 * first, as a restart makes the socket anew within milliseconds, and never so long that a
 * service back a moment ago waits for a client. */
#define RECONNECT_PAUSE_FIRST_MS 5
#define RECONNECT_PAUSE_MAX_MS 100
/* SO_RCVTIMEO set on the connection may outlast the call's deadline by this much, so that
 * calls with the same time-out set it once per connection, not once per message. */
#define RCVTIMEO_SLACK_USEC 2000
/* Digits that write every double so that it reads back the same; fewer are tried first. */
#define DIGITS_SHORT 15
#define DIGITS_EXACT 17

struct halvex_client {
    int fd;                /* the connection, or -1 */
    int wait_restart;      /* a connection worked since the last UNREACHABLE: a missing or
                              refusing socket is a restart, and is waited for */
    int64_t rcvtimeo_usec; /* SO_RCVTIMEO on fd; 0: none set */
    dev_t sock_dev;        /* the socket file fd was connected through */
    ino_t sock_ino;
    int pending; /* msg went out by halvex_client_send_start(); its reply is due */
    size_t msg_len;
    char msg[HALVEX_CLIENT_MESSAGE_MAX]; /* the message in hand, kept to be sent again */
    char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
};

/* The outcome of one exchange on a connection. */
enum exchange_end { EXCHANGE_DONE, EXCHANGE_UNREAD };

static int64_t now_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static int64_t deadline_from(int timeout_ms) {
    return now_usec() + (int64_t)(timeout_ms > 0 ? timeout_ms : HALVEX_CLIENT_TIMEOUT_MS) * 1000;
}

static void pause_usec(int64_t usec) {
    struct timespec ts = {(time_t)(usec / 1000000), (long)(usec % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* ---- the connection ----------------------------------------------------------------- */

static void connection_drop(halvex_client *c) {
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    c->rcvtimeo_usec = 0;
}

/* One try, without blocking: a Unix socket whose service has its queue of new connections
 * full answers EAGAIN instead of making the caller wait. 0, or the errno. */
static int connect_once(halvex_client *c) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, c->path, strlen(c->path));
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    struct stat st;
    c->fd = fd;
    c->sock_dev = stat(c->path, &st) == 0 ? st.st_dev : 0;
    c->sock_ino = c->sock_dev ? st.st_ino : 0;
    return 0;
}

static int connect_retried(int err, int wait_restart) {
    return err == EAGAIN || err == EINTR ||
           (wait_restart && (err == ENOENT || err == ECONNREFUSED));
}

/* Connect before the deadline: a full queue is tried again, and with c->wait_restart a
 * missing or refusing socket too. 0, or -1 with errno. */
static int connect_until(halvex_client *c, int64_t deadline) {
    int64_t pause = RECONNECT_PAUSE_FIRST_MS * 1000;
    for (;;) {
        int err = connect_once(c);
        if (err == 0) {
            c->wait_restart = 1;
            return 0;
        }
        int64_t left = deadline - now_usec();
        if (!connect_retried(err, c->wait_restart) || left <= 0) {
            errno = err == EAGAIN || err == EINTR ? ETIMEDOUT : err;
            return -1;
        }
        pause_usec(pause < left ? pause : left);
        pause =
            pause * 2 < RECONNECT_PAUSE_MAX_MS * 1000 ? pause * 2 : RECONNECT_PAUSE_MAX_MS * 1000;
    }
}

/* ---- one message and its reply -------------------------------------------------------- */

/* Bound the next receive by the time left, setting SO_RCVTIMEO only when the one set would
 * outlast the deadline by more than the slack (or end before it). 0, or -1 with errno. */
static int receive_bound(halvex_client *c, int64_t left) {
    if (c->rcvtimeo_usec >= left && c->rcvtimeo_usec - left <= RCVTIMEO_SLACK_USEC)
        return 0;
    struct timeval tv = {(time_t)(left / 1000000), (suseconds_t)(left % 1000000)};
    if (setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return -1;
    c->rcvtimeo_usec = left;
    return 0;
}

/* The connection is of no further use: drop it and say why. */
static enum exchange_end exchange_fail(halvex_client *c, int result, int err, int *out) {
    connection_drop(c);
    *out = result;
    errno = err;
    return EXCHANGE_DONE;
}

/* The service that answered has begun to stop: a stop removes the socket file before it
 * answers FAILED to every point, and a restart makes a new one. */
static int service_stopping(const halvex_client *c) {
    struct stat st;
    if (stat(c->path, &st) != 0)
        return errno == ENOENT;
    return st.st_dev != c->sock_dev || st.st_ino != c->sock_ino;
}

/* A whole reply is in: which one it is. A FAILED from a stopping service did not judge the
 * point: it is sent again to the service that comes next. */
static enum exchange_end reply_judge(halvex_client *c, const char *reply, size_t n, int *out) {
    if (n == sizeof REPLY_OK - 1 && memcmp(reply, REPLY_OK, n) == 0)
        *out = HALVEX_CLIENT_ACCEPTED;
    else if (n == sizeof REPLY_FAILED - 1 && memcmp(reply, REPLY_FAILED, n) == 0 &&
             service_stopping(c))
        return connection_drop(c), EXCHANGE_UNREAD;
    else if (n == sizeof REPLY_FAILED - 1 && memcmp(reply, REPLY_FAILED, n) == 0)
        *out = HALVEX_CLIENT_REFUSED;
    else
        return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, EPROTO, out);
    return EXCHANGE_DONE;
}

/* Receive until the reply's line end. The connection ending before any byte of it means the
 * service never read the message: EXCHANGE_UNREAD, and so does a FAILED while it stops. */
static enum exchange_end reply_read(halvex_client *c, int64_t deadline, int *out) {
    char reply[REPLY_ROOM];
    size_t got = 0;
    while (got < sizeof reply) {
        int64_t left = deadline - now_usec();
        if (left <= 0)
            return exchange_fail(c, HALVEX_CLIENT_TIMED_OUT, ETIMEDOUT, out);
        if (receive_bound(c, left) != 0)
            return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, errno, out);
        ssize_t n = recv(c->fd, reply + got, sizeof reply - got, 0);
        if (n > 0 && memchr(reply + got, '\n', (size_t)n))
            return reply_judge(c, reply, got + (size_t)n, out);
        if (n > 0)
            got += (size_t)n;
        else if ((n == 0 || errno == ECONNRESET) && got == 0)
            return connection_drop(c), EXCHANGE_UNREAD;
        else if (n == 0)
            return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, EPROTO, out);
        else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, errno, out);
    }
    return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, EPROTO, out);
}

/* Send the message in hand whole in one call (a Unix stream socket queues up to this size at
 * once, and no earlier message is left unread): HALVEX_CLIENT_PENDING once it is out. */
static enum exchange_end message_write(halvex_client *c, int *out) {
    ssize_t n;
    while ((n = send(c->fd, c->msg, c->msg_len, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN))
        return connection_drop(c), EXCHANGE_UNREAD;
    if (n < 0)
        return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, errno, out);
    if ((size_t)n != c->msg_len)
        return exchange_fail(c, HALVEX_CLIENT_UNREACHABLE, EIO, out);
    *out = HALVEX_CLIENT_PENDING;
    return EXCHANGE_DONE;
}

/* The message in hand ended unread: try again after *pause (at once the first time, then
 * growing, so that a peer that keeps closing is not hammered), or -1 past the deadline. */
static int unread_again(halvex_client *c, int64_t deadline, int64_t *pause) {
    c->wait_restart = 1;  // it closed under the message: a restart may be under way
    if (deadline - now_usec() <= *pause) {
        c->wait_restart = 0;
        errno = ECONNRESET;
        return -1;
    }
    pause_usec(*pause);
    *pause = *pause ? *pause * 2 : RECONNECT_PAUSE_FIRST_MS * 1000;
    if (*pause > RECONNECT_PAUSE_MAX_MS * 1000)
        *pause = RECONNECT_PAUSE_MAX_MS * 1000;
    return 0;
}

/* Send the message in hand, connecting first, until it is out (HALVEX_CLIENT_PENDING) or a
 * result ends it. */
static int message_out(halvex_client *c, int64_t deadline, int64_t *pause) {
    for (;;) {
        if (c->fd < 0 && connect_until(c, deadline) != 0) {
            c->wait_restart = 0;
            return HALVEX_CLIENT_UNREACHABLE;
        }
        int result;
        if (message_write(c, &result) == EXCHANGE_DONE)
            return result;
        if (unread_again(c, deadline, pause) != 0)
            return HALVEX_CLIENT_UNREACHABLE;
    }
}

/* Wait for the reply to the message that is out; where it went unread, send it again. */
static int message_settle(halvex_client *c, int64_t deadline) {
    int64_t pause = 0;
    for (;;) {
        int result;
        if (reply_read(c, deadline, &result) == EXCHANGE_DONE)
            return result;
        if (unread_again(c, deadline, &pause) != 0)
            return HALVEX_CLIENT_UNREACHABLE;
        result = message_out(c, deadline, &pause);
        if (result != HALVEX_CLIENT_PENDING)
            return result;
    }
}

/* Take json as the message in hand; a result that ends the send at once, or 0. */
static int message_take(halvex_client *c, const char *json) {
    size_t len = json ? strlen(json) : 0;
    if (!c || len == 0 || c->pending) {
        errno = EINVAL;
        return HALVEX_CLIENT_INVALID;
    }
    if (len > HALVEX_CLIENT_MESSAGE_MAX) {
        errno = EMSGSIZE;
        return HALVEX_CLIENT_TOO_LONG;
    }
    memcpy(c->msg, json, len);
    c->msg_len = len;
    return 0;
}

/* ---- points as text ------------------------------------------------------------------- */

static locale_t c_locale;
static pthread_once_t c_locale_once = PTHREAD_ONCE_INIT;

static void c_locale_make(void) {
    c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
}

/* d in the fewest digits from DIGITS_SHORT up that read back as d. */
static void number_write(char *out, size_t size, double d) {
    for (int digits = DIGITS_SHORT; digits <= DIGITS_EXACT; digits++) {
        snprintf(out, size, "%.*g", digits, d);
        if (strtod(out, NULL) == d)
            return;
    }
}

/* Append a member to text (HALVEX_CLIENT_POINT_JSON_MAX bytes: room for every member of a
 * point), after a comma unless it is the first; returns the new length. */
static size_t member_add(char *text, size_t at, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (at > 1)
        text[at++] = ',';
    int n = vsnprintf(text + at, HALVEX_CLIENT_POINT_JSON_MAX - at, fmt, ap);
    va_end(ap);
    return n > 0 ? at + (size_t)n : at;
}

/* The given fields as a JSON object into text; its length. Call in the C locale: a program's
 * own locale may write a decimal comma. */
static size_t point_write(const halvex_client_point *p, char *text) {
    char lat[32], lng[32];
    size_t at = 1;
    text[0] = '{';
    if (p->given & HALVEX_CLIENT_LATLNG) {
        number_write(lat, sizeof lat, p->lat);
        number_write(lng, sizeof lng, p->lng);
        at = member_add(text, at, "\"lat\":%s,\"lng\":%s", lat, lng);
    }
    if (p->given & HALVEX_CLIENT_ZIPCODE)
        at = member_add(text, at, "\"zipcode\":%d", (int)p->zipcode);
    if (p->given & HALVEX_CLIENT_R)
        at = member_add(text, at, "\"r\":%u", (unsigned)p->r);
    if (p->given & HALVEX_CLIENT_C)
        at = member_add(text, at, "\"c\":\"#%06x\"", (unsigned)p->c);
    if (p->given & HALVEX_CLIENT_C2)
        at = member_add(text, at, "\"c2\":\"#%06x\"", (unsigned)p->c2);
    if (p->given & HALVEX_CLIENT_DELAY)
        at = member_add(text, at, "\"delay\":%u", (unsigned)p->delay);
    if (p->given & HALVEX_CLIENT_VISIBLE_TIME)
        at = member_add(text, at, "\"visible_time\":%u", (unsigned)p->visible_time);
    memcpy(text + at, "}", 2);
    return at + 1;
}

static int point_valid(const halvex_client_point *p) {
    const unsigned known = HALVEX_CLIENT_LATLNG | HALVEX_CLIENT_ZIPCODE | HALVEX_CLIENT_R |
                           HALVEX_CLIENT_C | HALVEX_CLIENT_C2 | HALVEX_CLIENT_DELAY |
                           HALVEX_CLIENT_VISIBLE_TIME;
    if ((p->given & ~known) != 0)
        return 0;
    if ((p->given & HALVEX_CLIENT_LATLNG) && (!isfinite(p->lat) || !isfinite(p->lng)))
        return 0;
    if ((p->given & HALVEX_CLIENT_R) && p->r > HALVEX_CLIENT_R_MAX)
        return 0;
    return !((p->given & HALVEX_CLIENT_C) && p->c > HALVEX_CLIENT_COLOUR_MAX) &&
           !((p->given & HALVEX_CLIENT_C2) && p->c2 > HALVEX_CLIENT_COLOUR_MAX);
}

EXPORT int halvex_client_point_json(const halvex_client_point *point, char *out, size_t out_size) {
    if (!point || !out || !point_valid(point)) {
        errno = EINVAL;
        return -1;
    }
    char text[HALVEX_CLIENT_POINT_JSON_MAX];
    pthread_once(&c_locale_once, c_locale_make);
    locale_t before = c_locale ? uselocale(c_locale) : (locale_t)0;
    size_t n = point_write(point, text);
    if (before)
        uselocale(before);
    if (n >= out_size) {
        errno = EMSGSIZE;
        return -1;
    }
    memcpy(out, text, n + 1);
    return (int)n;
}

/* ---- the interface -------------------------------------------------------------------- */

EXPORT halvex_client *halvex_client_open(const char *path, int timeout_ms) {
    if (!path || !*path)
        path = getenv(HALVEX_CLIENT_SOCKET_ENV);
    if (!path || !*path)
        path = HALVEX_CLIENT_SOCKET_DEFAULT;
    halvex_client *c = calloc(1, sizeof *c);
    if (!c)
        return NULL;
    c->fd = -1;
    if (strlen(path) >= sizeof c->path) {
        free(c);
        errno = ENAMETOOLONG;
        return NULL;
    }
    strcpy(c->path, path);
    if (connect_until(c, deadline_from(timeout_ms)) != 0) {
        int err = errno;
        free(c);
        errno = err;
        return NULL;
    }
    return c;
}

EXPORT void halvex_client_close(halvex_client *client) {
    if (!client)
        return;
    connection_drop(client);
    free(client);
}

EXPORT const char *halvex_client_socket_path(const halvex_client *client) {
    return client ? client->path : NULL;
}

EXPORT int halvex_client_send_json(halvex_client *client, const char *json, int timeout_ms) {
    int result = message_take(client, json);
    if (result != 0)
        return result;
    int64_t deadline = deadline_from(timeout_ms), pause = 0;
    result = message_out(client, deadline, &pause);
    return result == HALVEX_CLIENT_PENDING ? message_settle(client, deadline) : result;
}

EXPORT int halvex_client_send_start(halvex_client *client, const char *json, int timeout_ms) {
    int result = message_take(client, json);
    if (result != 0)
        return result;
    int64_t pause = 0;
    result = message_out(client, deadline_from(timeout_ms), &pause);
    client->pending = result == HALVEX_CLIENT_PENDING;
    return result;
}

EXPORT int halvex_client_send_wait(halvex_client *client, int timeout_ms) {
    if (!client || !client->pending) {
        errno = EINVAL;
        return HALVEX_CLIENT_INVALID;
    }
    client->pending = 0;
    return message_settle(client, deadline_from(timeout_ms));
}

EXPORT int halvex_client_fd(const halvex_client *client) {
    return client ? client->fd : -1;
}

EXPORT int halvex_client_send_point(halvex_client *client, const halvex_client_point *point,
                                    int timeout_ms) {
    char text[HALVEX_CLIENT_POINT_JSON_MAX];
    if (halvex_client_point_json(point, text, sizeof text) < 0) {
        errno = EINVAL;
        return HALVEX_CLIENT_INVALID;
    }
    return halvex_client_send_json(client, text, timeout_ms);
}

EXPORT const char *halvex_client_result_name(int result) {
    switch (result) {
        case HALVEX_CLIENT_ACCEPTED:
            return "accepted";
        case HALVEX_CLIENT_REFUSED:
            return "refused";
        case HALVEX_CLIENT_TOO_LONG:
            return "too long";
        case HALVEX_CLIENT_UNREACHABLE:
            return "unreachable";
        case HALVEX_CLIENT_TIMED_OUT:
            return "timed out";
        case HALVEX_CLIENT_INVALID:
            return "invalid";
        case HALVEX_CLIENT_PENDING:
            return "pending";
        default:
            return "unknown";
    }
}
