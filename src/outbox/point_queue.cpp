// point_queue.cpp -- accepted points wait here in memory, in arrival order, until the sender
// takes them: the store without a spool.
#include "outbox/point_queue.h"

#include <stdlib.h>
#include <string.h>

#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"

// Locks: [q] queue_lock, [I] set at open before the threads start. The ledger's held figure,
// counters.points_held, is written only under queue_lock.
static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static halvex_mapapi_point *points;  // [q] arrival order; the records own their colours
static size_t count;                 // [q] records held in the array
static size_t capacity;              // [q] records the array has room for
static size_t max_points;            // [I] most points held, queued and in flight together
static size_t in_flight;             // [q] points the sender has taken and not yet settled
static int full_reported;            // [q] the "full" line is out and the "room" line is not
static int closed;                   // [q] stopping: no more points
static int ended;                    // [q] the stop has given up what was held

// queue_lock held.
static void held_move(int64_t by) {
    if (!ended)
        counters.points_held.store((uint64_t)((int64_t)counters_held() + by),
                                   std::memory_order_relaxed);
}

// Whether one more point fits, counting the batch in flight. queue_lock held.
static int room_check(int *report_full) {
    if (closed)
        return OUTBOX_REFUSED;
    if (count + in_flight >= max_points) {
        *report_full = !full_reported;
        full_reported = 1;
        return OUTBOX_REFUSED;
    }
    return points_room(&points, &capacity, count + 1) == 0 ? OUTBOX_HELD : -2;
}

// The array takes over the point's colours; a point refused has them freed here.
static int memory_put(const halvex_mapapi_point *p, bool *woke) {
    int report_full = 0;
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    int rc = room_check(&report_full);
    if (rc == OUTBOX_HELD) {
        points[count++] = *p;
        held_move(1);
        *woke = count == 1;  // from empty to one: later points find the sender woken
    }
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
    if (rc == OUTBOX_HELD)
        return rc;
    halvex_mapapi_point dropped = *p;
    point_colours_release(&dropped);
    if (report_full)
        log_warnf("The point queue is full (%zu %s); new points are answered FAILED.", max_points,
                  log_plural(max_points, "point", "points"));
    else if (rc == -2)
        log_warnf("Out of memory.");
    return OUTBOX_REFUSED;
}

static int memory_pass_end(bool *) {
    return OUTBOX_HELD;
}

// The array itself changes hands, so a take moves no record and the store keeps no memory
// between batches: an idle store holds nothing.
static size_t memory_take(halvex_mapapi_point **batch, bool *more) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    size_t n = count;
    *batch = n ? points : NULL;
    if (n) {
        points = NULL;
        count = 0;
        capacity = 0;
        in_flight = n;
    }
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
    *more = false;
    return n;
}

static void memory_posting(size_t) {}

static uint64_t memory_settle(size_t n, bool) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    n = n < in_flight ? n : in_flight;
    in_flight -= n;
    held_move(-(int64_t)n);
    int report_room = full_reported && count + in_flight < max_points;
    if (report_room)
        full_reported = 0;
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
    if (report_room)
        log_line("The point queue has room again.");
    return 0;
}

// The batch's array grows to hold what arrived since, which moves behind it. Points answered
// OK are never dropped for room: the batch was counted in flight, so this stays within bounds.
static int memory_put_back(halvex_mapapi_point *batch, size_t n, size_t) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    size_t cap = n;
    int rc = points_room(&batch, &cap, n + count);
    if (rc == 0) {
        if (count)
            memcpy(batch + n, points, count * sizeof *batch);
        free(points);
        points = batch;
        count += n;
        capacity = cap;
    } else {
        held_move(-(int64_t)n);
    }
    in_flight = 0;
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
    if (rc != 0)
        points_release(batch, n);
    return rc;
}

static void memory_close(void) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    closed = 1;
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
}

static void memory_finish(int64_t) {}

// What is still held dies with the process: a post that has not answered may have carried the
// first in_doubt of it.
static void memory_end(uint64_t in_doubt, uint64_t *lost, uint64_t *unconfirmed, uint64_t *kept) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    uint64_t held = counters_held();
    *unconfirmed = in_doubt < held ? in_doubt : held;
    *lost = held - *unconfirmed;
    *kept = 0;
    counters.points_unconfirmed.fetch_add(*unconfirmed, std::memory_order_relaxed);
    counters.points_lost.fetch_add(*lost, std::memory_order_relaxed);
    counters.points_held.store(0, std::memory_order_relaxed);
    ended = 1;
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
}

static const char *memory_refusing(void) {
    return counters_held() >= max_points ? "the queue is full" : NULL;
}

static void memory_age_limit_set(int64_t) {}

static const outbox_kind memory_kind = {
    memory_put,    memory_pass_end, memory_take,          memory_posting,
    memory_settle, memory_put_back, memory_close,         memory_finish,
    memory_end,    memory_refusing, memory_age_limit_set, NULL,
};

const outbox_kind *queue_store_open(size_t most) {
    lock_take(&queue_lock, LOCK_RANK_QUEUE);
    points_release(points, count);
    points = NULL;
    count = capacity = in_flight = 0;
    max_points = most;
    full_reported = closed = ended = 0;
    counters.points_held.store(0, std::memory_order_relaxed);
    counters.store_limit_points.store(most, std::memory_order_relaxed);
    lock_give(&queue_lock, LOCK_RANK_QUEUE);
    return &memory_kind;
}
