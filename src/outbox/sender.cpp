// sender.cpp -- the batch sender: waits for points, paces the posts, hands batches to the client.
#include "outbox/sender.h"

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "base/clock.h"
#include "base/progress.h"
#include "outbox/delivery.h"
#include "outbox/outbox.h"

// Locks: none. [A] atomic: set at start and at a reload, read by the sender.
static std::atomic<int64_t> collect_pause_usec{SENDER_COLLECT_PAUSE_USEC};  // [A]

void sender_set_collect_pause_usec(int64_t usec) {
    collect_pause_usec.store(usec, std::memory_order_relaxed);
}

int64_t sender_pause_usec(int64_t prev_usec, int64_t now_usec, int64_t interval_usec) {
    int64_t collect = collect_pause_usec.load(std::memory_order_relaxed);
    if (prev_usec == 0)
        return collect;
    // A negative interval of any size gives the collect pause: nothing is subtracted from it.
    int64_t elapsed = now_usec > prev_usec ? now_usec - prev_usec : 0;
    if (interval_usec <= 0 || elapsed >= interval_usec)
        return collect;
    return interval_usec - elapsed;  // 0 <= elapsed < interval: no overflow
}

// One cycle: no lock is held here; the store's calls take its lock briefly, and the post runs
// with no lock, so the receiver keeps storing while a batch is in flight. While points are
// held after a failed post, the sender waits out the backoff instead of new points; while the
// rest of a batch cut at max_post_points or at the limit a 413 taught is held, or the store
// held more than one take took, it posts that at once.
void *sending_thread_func(void *arg) {
    outbox *box = (outbox *)arg;
    delivery_state state = {};
    int64_t prev = 0;
    for (;;) {
        bool rest_held = state.held != NULL || state.more;
        if (state.backoff_usec == 0 && !rest_held && outbox_wait(box) != 0)
            break;
        int64_t now = clock_now_usec();
        int64_t pause = state.backoff_usec;
        if (pause == 0 && !rest_held)
            pause = sender_pause_usec(prev, now, box->send_interval_usec);
        if (outbox_sleep(box, pause) != 0)
            break;
        prev = clock_now_usec();  // the interval runs from the start of this post
        progress_mark(progress_sender_busy_usec, true);  // the watchdog's mark: a post at most
        delivery_post(box, &state, 0);
        progress_mark(progress_sender_busy_usec, false);
    }
    // The outbox is closed: the service is stopping. Nobody joins this thread; main exits as
    // soon as the drain is over.
    pthread_detach(pthread_self());
    delivery_drain(box, &state);
    return NULL;
}
