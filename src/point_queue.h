/* point_queue.h -- the queue of accepted points between the receiver and the sender. */
#ifndef POINT_QUEUE_H
#define POINT_QUEUE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "halvex_mapapi.h"

/* Send interval used when the configuration gives none, in microseconds. */
#define POINT_QUEUE_DEFAULT_INTERVAL_USEC 1000000

/* Locks: [q] queue_lock, [I] set before the threads start, then only read. */
typedef struct point_queue {
    pthread_mutex_t queue_lock;
    halvex_mapapi_point *points; /* [q] arrival order; the records own their colours */
    size_t count;                /* [q] records held */
    size_t capacity;             /* [q] records the array has room for */
    int points_ready;            /* [q] raised when the queue goes from empty to one point */
    pthread_cond_t ready_cond;   /* signalled when points_ready is raised */
    int64_t send_interval_usec;  /* [I] least spacing of the sender's wake-ups */
} point_queue;

/* Empty queue, points_ready lowered, interval POINT_QUEUE_DEFAULT_INTERVAL_USEC. */
void queue_create(point_queue *q);

/* Add *p at the tail; the queue takes over its colours. Raises points_ready when the queue
 * now holds exactly one point. Returns 0, or -1 when memory runs out (then the caller keeps
 * the colours). Takes queue_lock. */
int queue_append(point_queue *q, const halvex_mapapi_point *p);

/* Block until points_ready is raised, then lower it. Takes queue_lock. */
void queue_wait(point_queue *q);

/* Move every queued record, in arrival order, into a malloc()ed batch that the caller owns
 * (with the records' colours) and frees with points_release(); the queue is left empty.
 * Returns the count and stores the batch in *batch; returns 0 with *batch NULL when the
 * queue was empty (points_ready is then left as it was). Takes queue_lock. */
size_t queue_drain(point_queue *q, halvex_mapapi_point **batch);

/* Free the colours of points[0..count) and then the array itself. */
void points_release(halvex_mapapi_point *points, size_t count);

/* Free the two colours of one record and mark them absent. */
void point_colours_release(halvex_mapapi_point *p);

#endif
