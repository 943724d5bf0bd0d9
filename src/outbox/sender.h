/* sender.h -- the thread that posts queued points to the map service in batches. */
#ifndef SENDER_H
#define SENDER_H

#include <stdint.h>

/* Pause after a wake-up so that points sent close together travel in one post (usec). */
#define SENDER_COLLECT_PAUSE_USEC 50000

/* How long to sleep after waking at now_usec when the previous wake-up was at prev_usec (0:
 * none yet), both clock_coarse_usec(): the rest of interval_usec since prev_usec if positive,
 * else the collect pause. */
int64_t sender_pause_usec(int64_t prev_usec, int64_t now_usec, int64_t interval_usec);

/* Thread entry, on a point_queue*: wait for points, pause, drain, post; after a post that
 * failed in transit, wait out the backoff and post the held points again; what a post left
 * held for want of room under max_post_points goes at once, without a pause. Once the queue is
 * closed, drain it without waiting for the interval (delivery_drain) and return. */
void *sending_thread_func(void *queue);

#endif
