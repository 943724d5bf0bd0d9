/* sender.h -- the thread that posts held points to the map service in batches. */
#ifndef SENDER_H
#define SENDER_H

#include <stdint.h>

/* Pause after the first point of a batch, when the interval allows a post at once, so that
 * points sent close together travel in one post (usec): collect_pause_usec's default and
 * bounds. 0 posts such a point at once. */
#define SENDER_COLLECT_PAUSE_USEC 50000
#define SENDER_COLLECT_PAUSE_MAX_USEC 1000000

/* Set the collect pause, 0 to SENDER_COLLECT_PAUSE_MAX_USEC. Any thread: the next wake-up uses
 * it. */
void sender_set_collect_pause_usec(int64_t usec);

/* How long to sleep after waking at now_usec when the previous post started at prev_usec (0:
 * none yet), both clock_now_usec(): the rest of interval_usec since prev_usec if positive, else
 * the collect pause. So under steady load posts start once per interval, and the first point
 * after a quiet spell longer than the interval leaves after the collect pause. */
int64_t sender_pause_usec(int64_t prev_usec, int64_t now_usec, int64_t interval_usec);

/* Thread entry, on an outbox*: wait for points, pause, drain, post, each post starting at
 * least send_interval_usec after the start of the one before; after a post that
 * failed in transit, wait out the backoff and post the held points again; what a post left
 * held for want of room under max_post_points, or under the limit a 413 taught, goes at once,
 * without a pause. Once the outbox is
 * closed, drain it without waiting for the interval (delivery_drain) and return. */
void *sending_thread_func(void *box);

#endif
