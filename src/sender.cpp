// sender.cpp -- the batch sender: waits for points, paces the posts, hands batches to the client.
#include "sender.h"

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "delivery.h"
#include "point_queue.h"
#include "sd_service.h"

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

// One cycle: no lock is held here; the queue's calls take queue_lock briefly, and the post
// runs with no lock, so the receiver keeps queueing while a batch is in flight. While points
// are held after a failed post, the sender waits out the backoff instead of new points; while
// the rest of a batch cut at max_post_points is held, it posts that at once.
void *sending_thread_func(void *arg) {
    point_queue *queue = (point_queue *)arg;
    delivery_state state = {};
    struct timespec prev = {0, 0};
    for (;;) {
        bool rest_held = state.held != NULL;
        if (state.backoff_usec == 0 && !rest_held && queue_wait(queue) != 0)
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        int64_t pause = state.backoff_usec;
        if (pause == 0 && !rest_held)
            pause = sender_pause_usec(&prev, &now, queue->send_interval_usec);
        if (queue_sleep(queue, pause) != 0)
            break;
        prev = now;  // the wake-up time, read before the pause
        sd_progress_mark(sd_sender_busy_usec, true);  // the watchdog's mark: a post at most
        delivery_post(queue, &state, 0);
        sd_progress_mark(sd_sender_busy_usec, false);
    }
    // The queue is closed: the service is stopping. Nobody joins this thread; main exits as
    // soon as the drain is over.
    pthread_detach(pthread_self());
    delivery_drain(queue, &state);
    return NULL;
}
