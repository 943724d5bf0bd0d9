// outbox.cpp -- the handshake of the receiver and the sender around the store chosen at start.
#include "outbox/outbox.h"

#include <errno.h>

#include "base/clock.h"
#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/stop.h"

// Signalled only when raised anew: the sender sleeps out its interval on the same condition,
// and a signal per pass would wake it for every pass.
static void ready_raise(outbox *box) {
    lock_take(&box->ready_lock, LOCK_RANK_READY);
    if (!box->points_ready) {
        box->points_ready = 1;
        pthread_cond_signal(&box->ready_cond);
    }
    lock_give(&box->ready_lock, LOCK_RANK_READY);
}

void outbox_start(outbox *box, const outbox_kind *kind, int64_t interval_usec) {
    pthread_mutex_init(&box->ready_lock, NULL);
    clock_cond_init(&box->ready_cond);  // its timed waits measure on the service's clock
    box->kind = kind;
    box->points_ready = 0;
    box->closed = 0;
    box->send_interval_usec = interval_usec;
    if (kind->kept_where)
        stop_keep_held();
    if (counters_held() > 0)
        ready_raise(box);  // points an earlier run left go first
}

int outbox_put(outbox *box, const halvex_mapapi_point *p) {
    bool woke = false;
    int rc = box->kind->put(p, &woke);
    if (woke)
        ready_raise(box);
    return rc;
}

int outbox_pass_end(outbox *box) {
    bool woke = false;
    int rc = box->kind->pass_end(&woke);
    if (woke)
        ready_raise(box);
    return rc;
}

int outbox_wait(outbox *box) {
    lock_take(&box->ready_lock, LOCK_RANK_READY);
    while (!box->points_ready && !box->closed)
        pthread_cond_wait(&box->ready_cond, &box->ready_lock);
    int rc = box->closed ? -1 : 0;
    if (rc == 0)
        box->points_ready = 0;
    lock_give(&box->ready_lock, LOCK_RANK_READY);
    return rc;
}

int outbox_sleep(outbox *box, int64_t usec) {
    struct timespec until = clock_timespec(clock_now_usec() + usec);
    lock_take(&box->ready_lock, LOCK_RANK_READY);
    int waited = 0;
    while (!box->closed && waited != ETIMEDOUT)
        waited = pthread_cond_timedwait(&box->ready_cond, &box->ready_lock, &until);
    int rc = box->closed ? -1 : 0;
    lock_give(&box->ready_lock, LOCK_RANK_READY);
    return rc;
}

void outbox_close(outbox *box) {
    box->kind->close();
    lock_take(&box->ready_lock, LOCK_RANK_READY);
    box->closed = 1;
    pthread_cond_broadcast(&box->ready_cond);
    lock_give(&box->ready_lock, LOCK_RANK_READY);
}
