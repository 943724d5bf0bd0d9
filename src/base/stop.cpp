// stop.cpp -- the stop's one home: its start, its descriptor, its deadline, the drain's end.
#include "base/stop.h"

#include <errno.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>

#include "base/clock.h"
#include "base/lock_rank.h"
#include "base/log.h"

// Locks: [s] stop_lock, [I] set before the threads start, [A] atomic.
static int stop_event_fd = -1;                // [I] an eventfd, written once
static std::atomic<int64_t> stop_start_usec;  // [A] when the stop began; 0 before
static pthread_mutex_t stop_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stop_drained_cond;  // [I] signalled when stop_drained is raised
static bool stop_drained;                 // [s] the sender has finished draining
static bool stop_held_kept;               // [I] a spool keeps what is held: nothing is posted

void stop_keep_held(void) {
    stop_held_kept = true;
}

void stop_create(void) {
    clock_cond_init(&stop_drained_cond);
    stop_event_fd = eventfd(0, EFD_CLOEXEC);
    if (stop_event_fd < 0) {
        log_perror("eventfd");
        log_exit(1);
    }
}

int stop_fd(void) {
    return stop_event_fd;
}

int stop_begin(void) {
    int64_t none = 0;
    if (!stop_start_usec.compare_exchange_strong(none, clock_now_usec()))
        return 0;
    uint64_t one = 1;
    if (write(stop_event_fd, &one, sizeof one) != (ssize_t)sizeof one)
        log_perror("write");
    return 1;
}

int64_t stop_began_usec(void) {
    return stop_start_usec.load();
}

int64_t stop_drain_deadline_usec(void) {
    int64_t start = stop_start_usec.load();
    if (!start || stop_held_kept)
        return start;
    return start + STOP_DEADLINE_USEC - STOP_REPORT_USEC;
}

int64_t stop_deadline_usec(void) {
    int64_t start = stop_start_usec.load();
    return start ? start + (stop_held_kept ? STOP_HELD_DEADLINE_USEC : STOP_DEADLINE_USEC) : 0;
}

void stop_drained_set(void) {
    lock_take(&stop_lock, LOCK_RANK_STOP);
    stop_drained = true;
    pthread_cond_broadcast(&stop_drained_cond);
    lock_give(&stop_lock, LOCK_RANK_STOP);
}

int stop_drained_wait(int64_t until_usec) {
    struct timespec until = clock_timespec(until_usec);
    lock_take(&stop_lock, LOCK_RANK_STOP);
    int waited = 0;
    while (!stop_drained && waited != ETIMEDOUT)
        waited = pthread_cond_timedwait(&stop_drained_cond, &stop_lock, &until);
    int done = stop_drained;
    lock_give(&stop_lock, LOCK_RANK_STOP);
    return done;
}
