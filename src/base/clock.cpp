// clock.cpp -- the service's one clock: monotonic microseconds, sleeps and timed waits.
#include "base/clock.h"

static int64_t timespec_usec(const struct timespec *ts) {
    return (int64_t)ts->tv_sec * 1000000 + ts->tv_nsec / 1000;
}

int64_t clock_now_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timespec_usec(&ts);
}

int64_t clock_coarse_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return timespec_usec(&ts);
}

int64_t clock_wall_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);  // milliseconds are plenty for these
    return timespec_usec(&ts);
}

// The wall and monotonic clocks read together when the process starts (static initialisation,
// before main and its threads).
static const int64_t run_wall_base = clock_wall_usec();
static const int64_t run_mono_base = clock_coarse_usec();

int64_t clock_run_usec(void) {
    return run_wall_base + (clock_coarse_usec() - run_mono_base);
}

struct timespec clock_timespec(int64_t usec) {
    struct timespec ts;
    ts.tv_sec = (time_t)(usec / 1000000);
    ts.tv_nsec = (long)(usec % 1000000) * 1000;
    return ts;
}

void clock_sleep_usec(int64_t usec) {
    if (usec <= 0)
        return;
    struct timespec ts = clock_timespec(usec);
    while (nanosleep(&ts, &ts) != 0) {
        // interrupted: sleep the rest
    }
}

void clock_cond_init(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}
