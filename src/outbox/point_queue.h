/* point_queue.h -- the point queue: the outbox's store in memory, used without a spool. Points
 * live in one array in arrival order; a crash or a kill loses them, and a stop posts what it
 * can and gives up the rest. */
#ifndef POINT_QUEUE_H
#define POINT_QUEUE_H

#include <stddef.h>

#include "outbox/outbox.h"

/* Send interval used when the configuration gives none, in microseconds. */
#define POINT_QUEUE_DEFAULT_INTERVAL_USEC 1000000

/* Largest bound max_queued_points may set: ten million points take about 1 GB to 2 GB. */
#define POINT_QUEUE_MAX_POINTS_MAX 10000000

/* Points held at most when the configuration gives no bound. */
#define POINT_QUEUE_DEFAULT_MAX_POINTS 100000

/* The queue, empty and open, holding at most max_points points, the batch being posted
 * included; a point beyond them is refused, with one line when that starts and one when a
 * settled post has made room. Its bound goes to counters.store_limit_points. Start-up, before
 * the threads (a test may open it again). */
const outbox_kind *queue_store_open(size_t max_points);

#endif
