/* figures.h -- live figures of the service beside its counters: open clients, the post in
 * flight, the failing streak, post durations. The threads that do the work write them; the
 * metrics endpoint and the notifier read them, with relaxed loads, and nobody waits. */
#ifndef FIGURES_H
#define FIGURES_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

/* Upper bounds of the post duration buckets, in seconds; a post is bounded at 60 s. */
#define FIGURES_POST_BUCKETS 13
extern const double figures_post_buckets_sec[FIGURES_POST_BUCKETS];

/* Locks: none; relaxed atomics. [S] written by the sender only, [c] written under conn_lock. */
typedef struct service_figures {
    std::atomic<int> clients_open;                /* [c] open client connections */
    std::atomic<int64_t> post_started_usec;       /* [S] the post in flight began; 0: none */
    std::atomic<int64_t> failing_since_usec;      /* [S] first post of the failing streak; 0:
                                                     the map service answers */
    std::atomic<int64_t> last_accepted_unix_usec; /* [S] wall clock; 0: none yet */
    std::atomic<uint64_t> post_counts[FIGURES_POST_BUCKETS + 1]; /* [S] per bucket, +Inf last */
    std::atomic<uint64_t> post_usec_sum;                         /* [S] durations, summed */
    std::atomic<uint64_t> refused_streak; /* [S] posts refused since the last accepted one */
    std::atomic<long> refused_status;     /* [S] the HTTP status of the latest refused post */
} service_figures;

extern service_figures figures;

inline void figures_clients_set(int open) {
    figures.clients_open.store(open, std::memory_order_relaxed);
}

/* The sender, around each post: begin returns its start (clock_now_usec()); end takes that
 * start, whether the post failed in transit and whether it was accepted. */
int64_t figures_post_begin(void);
void figures_post_end(int64_t start_usec, bool failed_in_transit, bool accepted);

/* The earlier of the failing streak's start and the post in flight's start; 0: neither. */
int64_t figures_failing_or_flight_usec(void);

#endif
