// sender.cpp -- the batch sender: waits for points, paces the posts, hands batches to the client.
#include "sender.h"

#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include "halvex_mapapi.h"
#include "point_queue.h"

// Microseconds from prev to now, never negative and never overflowing: a gap too long to count
// is as good as forever.
static int64_t elapsed_usec(const struct timespec *prev, const struct timespec *now) {
    int64_t sec = (int64_t)now->tv_sec - (int64_t)prev->tv_sec;
    if (sec < 0)
        return 0;
    if (sec >= INT64_MAX / 1000000 - 1)
        return INT64_MAX;
    int64_t usec = sec * 1000000 + ((int64_t)now->tv_nsec - (int64_t)prev->tv_nsec) / 1000;
    return usec > 0 ? usec : 0;
}

int64_t sender_pause_usec(const struct timespec *prev, const struct timespec *now,
                          int64_t interval_usec) {
    if (prev->tv_sec == 0 && prev->tv_nsec == 0)
        return SENDER_COLLECT_PAUSE_USEC;
    // A negative interval of any size gives the collect pause: nothing is subtracted from it.
    int64_t elapsed = elapsed_usec(prev, now);
    if (interval_usec <= 0 || elapsed >= interval_usec)
        return SENDER_COLLECT_PAUSE_USEC;
    return interval_usec - elapsed;  // 0 <= elapsed < interval: no overflow
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

// One cycle: no lock is held here; queue_wait and queue_drain take queue_lock briefly, and
// the post runs with no lock, so the receiver keeps queueing while a batch is in flight.
void *sending_thread_func(void *arg) {
    point_queue *queue = (point_queue *)arg;
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
