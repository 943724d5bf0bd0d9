// sender.cpp -- the batch sender: waits for points, paces the posts, hands batches to the client.
#include "sender.h"

#include <pthread.h>
#include <time.h>

#include "delivery.h"
#include "point_queue.h"

int64_t sender_pause_usec(const struct timespec *prev, const struct timespec *now,
                          int64_t interval_usec) {
    if (prev->tv_sec == 0 && prev->tv_nsec == 0)
        return SENDER_COLLECT_PAUSE_USEC;
    int64_t elapsed = ((int64_t)now->tv_sec - (int64_t)prev->tv_sec) * 1000000 +
                      ((int64_t)now->tv_nsec - (int64_t)prev->tv_nsec) / 1000;
    int64_t remaining = interval_usec - elapsed;
    return remaining > 0 ? remaining : SENDER_COLLECT_PAUSE_USEC;
}

// One cycle: no lock is held here; the queue's calls take queue_lock briefly, and the post
// runs with no lock, so the receiver keeps queueing while a batch is in flight. While points
// are held after a failed post, the sender waits out the backoff instead of new points.
void *sending_thread_func(void *arg) {
    point_queue *queue = (point_queue *)arg;
    delivery_state state = {0, 0, 0, 0};
    struct timespec prev = {0, 0};
    for (;;) {
        if (state.backoff_usec == 0 && queue_wait(queue) != 0)
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        int64_t pause = state.backoff_usec
                            ? state.backoff_usec
                            : sender_pause_usec(&prev, &now, queue->send_interval_usec);
        if (queue_sleep(queue, pause) != 0)
            break;
        prev = now;  // the wake-up time, read before the pause
        delivery_post(queue, &state, 0);
    }
    // The queue is closed: the service is stopping. Nobody joins this thread; main exits as
    // soon as the drain is over.
    pthread_detach(pthread_self());
    delivery_drain(queue, &state);
    return NULL;
}
