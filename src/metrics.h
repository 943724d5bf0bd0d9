/* metrics.h -- the opt-in HTTP endpoint: the counters for Prometheus at /metrics, a verdict at
 * /health.
 *
 * The endpoint runs on threads of its own and reads what the service counts with relaxed
 * loads when it is asked; the receiver and the sender never wait for it. The map key appears
 * in neither answer.
 */
#ifndef METRICS_H
#define METRICS_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

struct outbox; /* outbox/outbox.h */

/* Posts failing in transit this long (or one post waiting this long for its answer) make
 * /health answer 503: a map service that restarts or blips for a few seconds does not turn
 * the service unhealthy, one that stays away for half a minute does. */
#define METRICS_HEALTH_FAILING_USEC 30000000

/* This many posts refused in a row (none accepted between) make /health answer 503, naming
 * the status: a wrong map key refuses every post, and points answered OK are then dropped. A
 * single refused batch (one bad point) does not. */
#define METRICS_HEALTH_REFUSED_POSTS 3

/* Longest /health body, its line break included. */
#define METRICS_HEALTH_BODY_MAX 256

/* Descriptors the endpoint may hold at once, its listening socket excepted: one per worker
 * thread and per accepted connection waiting for one. Beyond that, connections wait in the
 * kernel's backlog, so a flood of scrapers cannot use up the descriptors clients need. */
#define METRICS_FDS_MAX 10

/* Where the endpoint listens: an IPv4 address and a port. (The HTTP server Debian ships is
 * built without IPv6.) */
typedef struct metrics_address {
    char host[INET_ADDRSTRLEN]; /* dotted quad, as written */
    int port;                   /* 1 to 65535 */
} metrics_address;

/* Read "ADDRESS:PORT": an IPv4 address in dotted form and a port from 1 to 65535, as
 * 127.0.0.1:9464; no names, nothing else around it. Returns 0 and fills *out, or -1. */
int metrics_listen_parse(const char *text, metrics_address *out);

/* Serve /metrics and /health at *addr, read from text (a metrics_listen value, named in the
 * line on failure); an empty text does nothing. box is the outbox, whose store says why it
 * refuses points. An address that cannot be bound prints one line and ends the process with
 * status 1. Call once, before the receiver and the sender start. */
void metrics_start(const char *text, const metrics_address *addr, const struct outbox *box);

/* Descriptors to keep free for the endpoint: METRICS_FDS_MAX once it runs, else 0. */
int metrics_fds_reserved(void);

/* What /health judges by. */
typedef struct health_facts {
    int64_t now_usec;
    int64_t failing_since_usec; /* posting began to fail, or the post in flight began; 0: neither */
    uint64_t held;              /* points held */
    const char *refusing;       /* why the store answers new points FAILED; NULL: it does not */
    uint64_t refused_streak;    /* posts refused since the last one accepted */
    long refused_status;        /* the HTTP status of the latest refused post */
    uint64_t limit_points;      /* the store's bound in points; 0: it has none */
    const char *files;          /* the store's files ("spool"); NULL: none */
    uint64_t bytes, limit_bytes; /* what its files take, and their bound */
} health_facts;

/* The /health verdict: 503 while the store refuses new points, while posting has not worked
 * for METRICS_HEALTH_FAILING_USEC with points held, or while the map service has refused the
 * last METRICS_HEALTH_REFUSED_POSTS posts; else 200. Writes a one-line JSON body (line break
 * included) with the points held and the store's bound into body and returns the status. */
int metrics_health_judge(const health_facts *f, char *body, size_t size);

#endif
