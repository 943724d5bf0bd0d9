// sender.cpp -- the batch sender: waits for points, paces the posts, hands batches to the client.
#include "sender.h"

#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include "halvex_mapapi.h"
#include "point_queue.h"

// Blocks from this size up get a mapping of their own, returned to the system when freed:
// the allocator's default starting value, held fixed.
static const int ALLOC_MMAP_THRESHOLD = 128 * 1024;
// Free memory above this at the top of a heap is returned to the system: the default, fixed.
static const int ALLOC_TRIM_THRESHOLD = 128 * 1024;

int64_t sender_pause_usec(const struct timespec *prev, const struct timespec *now,
                          int64_t interval_usec) {
    if (prev->tv_sec == 0 && prev->tv_nsec == 0)
        return SENDER_COLLECT_PAUSE_USEC;
    int64_t elapsed = ((int64_t)now->tv_sec - (int64_t)prev->tv_sec) * 1000000 +
                      ((int64_t)now->tv_nsec - (int64_t)prev->tv_nsec) / 1000;
    int64_t remaining = interval_usec - elapsed;
    return remaining > 0 ? remaining : SENDER_COLLECT_PAUSE_USEC;
}

// usleep() takes at most a second on some systems; sleep the whole pause in steps.
static void pause_sleep(int64_t usec) {
    struct timespec ts;
    ts.tv_sec = (time_t)(usec / 1000000);
    ts.tv_nsec = (long)(usec % 1000000) * 1000;
    while (nanosleep(&ts, &ts) != 0) {
        // interrupted: sleep the rest
    }
}

// A busy second's queue array and body run to megabytes. With the allocator's default
// sliding thresholds, freeing them once raises the mmap threshold to their size, and every
// later one is carved from the threads' heaps and kept there after it is freed, so the
// service stays at its busiest size for good. Fixed thresholds keep large blocks mapped on
// their own and unmapped when freed, and let the heaps shrink, so an idle service returns to
// its idle size.
static void allocator_bound(void) {
    mallopt(M_MMAP_THRESHOLD, ALLOC_MMAP_THRESHOLD);
    mallopt(M_TRIM_THRESHOLD, ALLOC_TRIM_THRESHOLD);
}

// One cycle: no lock is held here; queue_wait and queue_drain take queue_lock briefly, and
// the post runs with no lock, so the receiver keeps queueing while a batch is in flight.
void *sending_thread_func(void *arg) {
    point_queue *queue = (point_queue *)arg;
    allocator_bound();
    struct timespec prev = {0, 0};
    for (;;) {
        queue_wait(queue);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        pause_sleep(sender_pause_usec(&prev, &now, queue->send_interval_usec));
        prev = now;  // the wake-up time, read before the pause
        halvex_mapapi_point *batch;
        size_t count = queue_drain(queue, &batch);
        if (count == 0)
            continue;
        // The result is not used: a batch is posted once, whatever the answer.
        halvex_mapapi_send_map_points(batch, (int)count);
        points_release(batch, count);
    }
    return NULL;
}
