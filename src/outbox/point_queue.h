/* point_queue.h -- the queue of accepted points between the receiver and the sender. */
#ifndef POINT_QUEUE_H
#define POINT_QUEUE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "mapapi/halvex_mapapi.h"
#include "outbox/points.h"

/* Send interval used when the configuration gives none, in microseconds. */
#define POINT_QUEUE_DEFAULT_INTERVAL_USEC 1000000

/* Largest bound max_queued_points may set: ten million points take about 1 GB to 2 GB. */
#define POINT_QUEUE_MAX_POINTS_MAX 10000000

/* Points held at most when the configuration gives no bound. */
#define POINT_QUEUE_DEFAULT_MAX_POINTS 100000

/* Results of queue_append(). */
#define QUEUE_APPEND_OK 0
#define QUEUE_APPEND_NO_MEMORY (-1)
#define QUEUE_APPEND_FULL (-2)   /* max_points are held, counting the batch in flight */
#define QUEUE_APPEND_CLOSED (-3) /* the service is stopping */

/* Locks: [q] queue_lock, [I] set before the threads start, then only read; [A] atomic, set at
 * start and at a reload. */
typedef struct point_queue {
    pthread_mutex_t queue_lock;
    halvex_mapapi_point *points; /* [q] arrival order; the records own their colours */
    size_t count;                /* [q] records held */
    size_t capacity;             /* [q] records the array has room for */
    int points_ready;            /* [q] raised when the queue goes from empty to one point */
    pthread_cond_t ready_cond;   /* signalled when points_ready is raised or on closing */
    size_t max_points;           /* [I] most points held, queued and in flight together */
    size_t in_flight;            /* [q] points the sender has taken and not yet settled */
    int full_reported;           /* [q] the "full" line is out and the "room" line is not */
    int closed;                  /* [q] stopping: no more appends; the sender drains */
    /* [A] least spacing of two posts' starts */
    std::atomic<int64_t> send_interval_usec;
} point_queue;

/* Empty queue, points_ready lowered, interval POINT_QUEUE_DEFAULT_INTERVAL_USEC, bound
 * POINT_QUEUE_DEFAULT_MAX_POINTS, open. */
void queue_create(point_queue *q);

/* Add *p at the tail; the queue takes over its colours. Raises points_ready when the queue
 * now holds exactly one point. Returns QUEUE_APPEND_OK, or QUEUE_APPEND_NO_MEMORY,
 * QUEUE_APPEND_FULL or QUEUE_APPEND_CLOSED (then the caller keeps the colours). The first
 * refusal for want of room prints one line; queue_settle() prints one when room is back.
 * Takes queue_lock. */
int queue_append(point_queue *q, const halvex_mapapi_point *p);

/* Block until points_ready is raised, then lower it, and return 0; or return -1 at once when
 * the queue is closed. Takes queue_lock. */
int queue_wait(point_queue *q);

/* Sleep usec microseconds and return 0, or return -1 as soon as the queue is closed. */
int queue_sleep(point_queue *q, int64_t usec);

/* Move every queued record, in arrival order, into a malloc()ed batch that the caller owns
 * (with the records' colours) and frees with points_release(); the queue is left empty.
 * Returns the count and stores the batch in *batch; returns 0 with *batch NULL when the
 * queue was empty (points_ready is then left as it was). The records still count towards
 * max_points, as in flight, until queue_settle() or queue_requeue(). With a spool
 * (spool_on()) the batch is the oldest points of its files not yet done, at most max_points
 * (spool_take()). Takes queue_lock. */
size_t queue_drain(point_queue *q, halvex_mapapi_point **batch);

/* count points of the batch in flight have left for good (posted or refused): they no longer
 * count towards max_points; with a spool they are done on disk (spool_settle()). Takes
 * queue_lock. */
void queue_settle(point_queue *q, size_t count);

/* Put the batch in flight, batch[0..count), back at the head of the queue, in order, ahead of
 * what arrived since; the queue takes over the array and the colours. Returns 0, or -1 when
 * memory runs out: then the points are released and the caller counts them lost. With a
 * spool the points are released and the next drain reads them again from its files
 * (spool_rewind()). Takes queue_lock. */
int queue_requeue(point_queue *q, halvex_mapapi_point *batch, size_t count);

/* Raise points_ready, waking the sender: the receiver has written points to the spool, or
 * start-up found points held there. Takes queue_lock. */
void queue_ready_raise(point_queue *q);

/* Sender thread: whether the spool holds points that the last drain left for want of room
 * under max_points, to be posted at once. */
int queue_backlog(void);

/* Stop taking points: from now on queue_append() refuses and queue_wait() and queue_sleep()
 * return -1, those waiting at once. Takes queue_lock. */
void queue_close(point_queue *q);

#endif
