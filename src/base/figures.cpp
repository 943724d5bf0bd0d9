// figures.cpp -- the live figures: the post in flight, the failing streak, post durations.
#include "base/figures.h"

#include "base/clock.h"
#include "base/counters.h"

const double figures_post_buckets_sec[FIGURES_POST_BUCKETS] = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1,
                                                               2.5,  5,     10,   20,  30,   60};

service_figures figures;

int64_t figures_post_begin(void) {
    int64_t now = clock_now_usec();
    figures.post_started_usec.store(now, std::memory_order_relaxed);
    return now;
}

static void post_duration_count(int64_t usec) {
    size_t i = 0;
    while (i < FIGURES_POST_BUCKETS && (double)usec > figures_post_buckets_sec[i] * 1e6)
        i++;
    counter_add(figures.post_counts[i], 1);
    counter_add(figures.post_usec_sum, (uint64_t)usec);
}

void figures_post_end(int64_t start_usec, bool failed_in_transit, bool accepted) {
    post_duration_count(clock_now_usec() - start_usec);
    if (failed_in_transit) {
        if (figures.failing_since_usec.load(std::memory_order_relaxed) == 0)
            figures.failing_since_usec.store(start_usec, std::memory_order_relaxed);
    } else {
        figures.failing_since_usec.store(0, std::memory_order_relaxed);  // the map service answered
    }
    if (accepted)
        figures.last_accepted_unix_usec.store(clock_wall_usec(), std::memory_order_relaxed);
    figures.post_started_usec.store(0, std::memory_order_relaxed);
}

int64_t figures_failing_or_flight_usec(void) {
    int64_t failing = figures.failing_since_usec.load(std::memory_order_relaxed);
    int64_t flight = figures.post_started_usec.load(std::memory_order_relaxed);
    if (failing == 0 || (flight != 0 && flight < failing))
        return flight;
    return failing;
}
