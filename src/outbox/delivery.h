/* delivery.h -- posting a batch and acting on how it went: retry, split, report, count; the
 * drain at a stop. */
#ifndef DELIVERY_H
#define DELIVERY_H

#include <stddef.h>
#include <stdint.h>

#include "outbox/outbox.h"
#include "outbox/point_queue.h"

/* Retries of a batch that failed in transit wait at least this long, or the send interval
 * when that is longer, doubling per failure up to DELIVERY_BACKOFF_MAX_USEC: a map service
 * that is down is not hammered, and one that is back is found within a minute. */
#define DELIVERY_BACKOFF_FIRST_USEC 1000000
#define DELIVERY_BACKOFF_MAX_USEC 60000000
/* Least spacing of two lines about refused batches, so a refusing map service cannot flood
 * the log. */
#define DELIVERY_REFUSED_EVERY_USEC 10000000
/* While draining, points whose post failed in transit go again once the send interval (or
 * the wait the map service asked for, when longer) has passed since the failure, and never
 * sooner than this: a stop does not flood a failing map service, even with a short or
 * negative interval. */
#define DELIVERY_DRAIN_RETRY_USEC 200000
/* While draining, no post is started with less time than this left before the deadline. */
#define DELIVERY_DRAIN_POST_MIN_USEC 50000

/* A limit on the points of one post learned from a 413 is kept this long after the latest 413,
 * then forgotten: a backlog is not halved from the top again while the map service's limit
 * holds, and one that was raised gets full posts again within ten minutes, at the price of
 * one round of halving. */
#define DELIVERY_POST_LIMIT_KEEP_USEC 600000000

/* Longest wait a map service's Retry-After may impose before the next try: one that asks for
 * more is tried again after this, as after the longest backoff. */
#define DELIVERY_RETRY_AFTER_MAX_USEC 60000000
/* Most points max_post_points may allow in one post (the most the queue may hold). */
#define DELIVERY_MAX_POST_POINTS_MAX POINT_QUEUE_MAX_POINTS_MAX

/* delivery_post() result when the queue was empty; otherwise a HALVEX_MAPAPI_POST_* value. */
#define DELIVERY_NOTHING (-1)

/* How posting goes. Locks: none; the sender thread alone uses it. Starts all zero. */
typedef struct delivery_state {
    int64_t backoff_usec;        /* wait before trying the held points again; 0: posting works */
    int64_t retry_after_usec;    /* the wait the map service asked for after the last failed
                                    post, at most DELIVERY_RETRY_AFTER_MAX_USEC; 0: none */
    halvex_mapapi_point *held;   /* taken from the store and not yet posted, from held_next on,
                                    ahead of the store; NULL when none is */
    size_t held_count;           /* records in held */
    size_t held_next;            /* the first of them not posted yet */
    bool more;                   /* the store held more than the last take, or the last post
                                    may go again at once: post at once */
    uint64_t failed_posts;       /* posts failed in transit since posting last worked */
    int64_t failed_usec;         /* when the latest post failed in transit (clock_now_usec) */
    int64_t refused_line_usec;   /* when the last line about refused batches went out; 0: never */
    uint64_t refused_unreported; /* batches refused since that line */
    size_t refused_latest_count; /* points in the latest refused batch */
    halvex_mapapi_post_result refused_latest; /* how the map service answered it */
    size_t post_limit;       /* most points a post carries since a 413: half the points
                                of the latest post answered 413; 0: none learned */
    int64_t post_limit_usec; /* when the latest 413 set post_limit (clock_now_usec) */
} delivery_state;

/* The wait before the next try after a post failed in transit, given the previous wait
 * (0 for the first failure) and the send interval. */
int64_t delivery_backoff_next(int64_t prev_usec, int64_t interval_usec);

/* Most points one post carries (0, the default: every queued point). Any thread: the next post
 * uses it. */
void delivery_set_max_post_points(size_t max);

/* Apply the map client settings a reload offered (client_settings_take()). Then post what is
 * held, or else take from the store (box->kind->take()), and post it, as many as
 * max_post_points and the limit learned from a 413 allow, within timeout_ms (<= 0: the
 * client's bound); the rest stays held for the next call, which the sender makes at once.
 * Accepted: counted posted, and possibly duplicated as far as an earlier post of them (in
 * this run, or in one that ended before it answered) may have reached the map service.
 * Answered 413 (too large): the limit becomes half of its points, so the next call posts its
 * first half; a single point is refused. Refused: counted and reported, not retried. Failed
 * in transit: all that is held goes back to the store, first in line, in doubt when the map
 * service may have taken it, and the next wait is set in st. Returns the outcome of the post,
 * or DELIVERY_NOTHING. Sender thread only. */
int delivery_post(outbox *box, delivery_state *st, long timeout_ms);

/* Once the outbox is closed: post what it holds, without waiting for the interval, until it is
 * empty or the stop's drain deadline (stop_drain_deadline_usec()) comes; points whose latest post
 * failed in transit go again only once the send interval (or the map service's Retry-After),
 * and at least DELIVERY_DRAIN_RETRY_USEC, has passed since. Then print the line about refused
 * batches that is still due, and say the drain is over (stop_drained_set()). Sender thread
 * only. */
void delivery_drain(outbox *box, delivery_state *st);

#endif
