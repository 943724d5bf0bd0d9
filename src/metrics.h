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

/* Posts failing in transit this long (or one post waiting this long for its answer) make
 * /health answer 503: a map service that restarts or blips for a few seconds does not turn
 * the service unhealthy, one that stays away for half a minute does. */
#define METRICS_HEALTH_FAILING_USEC 30000000

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
 * line on failure); an empty text does nothing. queue_limit_points is the queue's bound. An
 * address that cannot be bound prints one line and ends the process with status 1. Call once,
 * before the receiver and the sender start. */
void metrics_start(const char *text, const metrics_address *addr, size_t queue_limit_points);

/* Descriptors to keep free for the endpoint: METRICS_FDS_MAX once it runs, else 0. */
int metrics_fds_reserved(void);

/* The /health verdict at now_usec: failing_since_usec is when posting began to fail or the
 * post in flight began (0: neither), held and limit_points the queue's points and bound.
 * With a spool, spool_refusing says why it answers new points FAILED (NULL: it does not), and
 * the queue's bound says nothing. Writes a one-line JSON body (line break included) into body
 * and returns 200 or 503. */
int metrics_health_judge(int64_t now_usec, int64_t failing_since_usec, uint64_t held,
                         uint64_t limit_points, char *body, size_t size,
                         const char *spool_refusing = NULL, bool spool = false);

#endif
