// point_queue.cpp -- accepted points wait here, in arrival order, until the sender drains them.
#include "outbox/point_queue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "base/clock.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "outbox/spool.h"

// Room for this many records when the first point arrives after a drain; grows by doubling.
static const size_t QUEUE_FIRST_CAPACITY = 64;

void queue_create(point_queue *q) {
    pthread_mutex_init(&q->queue_lock, NULL);
    clock_cond_init(&q->ready_cond);  // its timed waits measure on the service's clock
    q->points = NULL;
    q->count = 0;
    q->capacity = 0;
    q->points_ready = 0;
    q->send_interval_usec = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
    q->max_points = POINT_QUEUE_DEFAULT_MAX_POINTS;
    q->in_flight = 0;
    q->full_reported = 0;
    q->closed = 0;
}

// Make room for one more record. Called with queue_lock held.
static int queue_grow(point_queue *q) {
    if (q->count < q->capacity)
        return 0;
    size_t cap = q->capacity ? q->capacity * 2 : QUEUE_FIRST_CAPACITY;
    void *grown = realloc(q->points, cap * sizeof *q->points);
    if (!grown)
        return -1;
    q->points = (halvex_mapapi_point *)grown;
    q->capacity = cap;
    return 0;
}

// Whether one more point fits, counting the batch in flight. Called with queue_lock held.
static int queue_room_check(point_queue *q, int *report_full) {
    if (q->closed)
        return QUEUE_APPEND_CLOSED;
    if (q->count + q->in_flight < q->max_points)
        return queue_grow(q);
    *report_full = !q->full_reported;
    q->full_reported = 1;
    return QUEUE_APPEND_FULL;
}

int queue_append(point_queue *q, const halvex_mapapi_point *p) {
    int report_full = 0;
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    int rc = queue_room_check(q, &report_full);
    if (rc == 0) {
        q->points[q->count++] = *p;
        if (q->count == 1) {
            q->points_ready = 1;
            pthread_cond_signal(&q->ready_cond);
        }
    }
    size_t max = q->max_points;
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    if (report_full)
        log_warnf("The point queue is full (%zu %s); new points are answered FAILED.", max,
                  log_plural(max, "point", "points"));
    return rc;
}

int queue_wait(point_queue *q) {
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    while (!q->points_ready && !q->closed)
        pthread_cond_wait(&q->ready_cond, &q->queue_lock);
    int rc = q->closed ? -1 : 0;
    if (rc == 0)
        q->points_ready = 0;
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    return rc;
}

int queue_sleep(point_queue *q, int64_t usec) {
    struct timespec until = clock_timespec(clock_now_usec() + usec);
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    int waited = 0;
    while (!q->closed && waited != ETIMEDOUT)
        waited = pthread_cond_timedwait(&q->ready_cond, &q->queue_lock, &until);
    int rc = q->closed ? -1 : 0;
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    return rc;
}

// The array itself changes hands, so a drain moves no record and the queue keeps no memory
// between batches: an idle queue holds nothing. With a spool the points come from its files,
// at most max_points of them, the bound on what is held in memory.
size_t queue_drain(point_queue *q, halvex_mapapi_point **batch) {
    if (spool_on()) {
        size_t n = spool_take(batch, q->max_points);
        lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
        q->in_flight = n;
        lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
        return n;
    }
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    size_t n = q->count;
    *batch = n ? q->points : NULL;
    if (n) {
        q->points = NULL;
        q->count = 0;
        q->capacity = 0;
        q->in_flight = n;
    }
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    return n;
}

void queue_settle(point_queue *q, size_t count) {
    if (spool_on())
        spool_settle(count);
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    q->in_flight -= count < q->in_flight ? count : q->in_flight;
    int report_room = q->full_reported && q->count < q->max_points;
    if (report_room)
        q->full_reported = 0;
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    if (report_room)
        log_line("The point queue has room again.");
}

// The batch's array grows to hold what arrived since, which moves behind it. Points answered
// OK are never dropped for room: the batch was counted in flight, so this stays within bounds.
// With a spool they are in its files still, and the next drain reads them again.
int queue_requeue(point_queue *q, halvex_mapapi_point *batch, size_t count) {
    if (spool_on()) {
        spool_rewind();
        points_release(batch, count);
        lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
        q->in_flight = 0;
        lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
        return 0;
    }
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    size_t total = count + q->count;
    size_t cap = total > QUEUE_FIRST_CAPACITY ? total : QUEUE_FIRST_CAPACITY;
    void *grown = realloc(batch, cap * sizeof *batch);
    int rc = grown ? 0 : -1;
    if (grown) {
        batch = (halvex_mapapi_point *)grown;
        if (q->count)
            memcpy(batch + count, q->points, q->count * sizeof *batch);
        free(q->points);
        q->points = batch;
        q->count = total;
        q->capacity = cap;
    }
    q->in_flight = 0;
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
    if (rc != 0)
        points_release(batch, count);
    return rc;
}

// Signalled only when raised anew, as an append to an empty queue does: the sender sleeps out
// its interval on the same condition, and a signal per pass would wake it for every pass.
void queue_ready_raise(point_queue *q) {
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    if (!q->points_ready) {
        q->points_ready = 1;
        pthread_cond_signal(&q->ready_cond);
    }
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
}

int queue_backlog(void) {
    return spool_on() && spool_backlog();
}

void queue_close(point_queue *q) {
    lock_take(&q->queue_lock, LOCK_RANK_QUEUE);
    q->closed = 1;
    pthread_cond_broadcast(&q->ready_cond);
    lock_give(&q->queue_lock, LOCK_RANK_QUEUE);
}
