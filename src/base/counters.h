/* counters.h -- what the service has done with points and posts, for the counters line. */
#ifndef COUNTERS_H
#define COUNTERS_H

#include <stdint.h>

#include <atomic>

/* Locks: none. Each counter has one writing thread, named in its tag, and is read by any
 * thread with relaxed loads: a figure may be a moment old, never torn. [R] receiver,
 * [S] sender, [*] any thread (added atomically), [I] set before the threads start. */
typedef struct service_counters {
    std::atomic<uint64_t> points_accepted;    /* [R] answered "OK\n" */
    std::atomic<uint64_t> points_rejected;    /* [R] answered "FAILED\n" */
    std::atomic<uint64_t> points_posted;      /* [S] in batches the map service accepted */
    std::atomic<uint64_t> points_refused;     /* [S] in batches the map service refused */
    std::atomic<uint64_t> points_lost;        /* [*] answered OK, then given up on unposted */
    std::atomic<uint64_t> points_unconfirmed; /* [*] given up on after a post that may have
                                                 reached the map service */
    std::atomic<uint64_t> points_in_doubt;    /* [S] held now, and posted in a post that has
                                                 not answered (in flight, or failed after the
                                                 body went out): the stop counts them
                                                 unconfirmed, not lost */
    std::atomic<uint64_t> points_possibly_duplicated; /* [S] in batches the map service
                                                 accepted after an earlier post of them may
                                                 have reached it too */
    std::atomic<uint64_t> posts_made;                 /* [S] posts tried */
    std::atomic<uint64_t> posts_accepted;             /* [S] posts the map service accepted */
    std::atomic<uint64_t> posts_failed;               /* [S] posts that failed in transit */
    std::atomic<uint64_t> posts_refused;              /* [S] posts the map service refused */
    std::atomic<uint64_t> posts_too_large; /* [S] posts answered 413 and split, not refused */
    std::atomic<uint64_t> points_replayed; /* [S] posted from the spool again after a restart:
                                              a run before had them in a post that never
                                              answered */
    std::atomic<uint64_t> points_expired;  /* [S] held in the spool longer than its age limit:
                                              not posted */
    std::atomic<uint64_t> points_damaged;  /* [S] records of the spool found damaged and passed
                                              over (start-up counts too) */
    std::atomic<int> spool_on;             /* [I] a spool holds the points (spool_dir is set) */
    std::atomic<uint64_t> spool_points;    /* [*] points held in its files, not done yet */
    std::atomic<uint64_t> spool_bytes;     /* [*] bytes of its files of this map */
    std::atomic<int> spool_refusing;       /* [*] why new points are answered FAILED: 0 they
                                              are not, else a SPOOL_REFUSING_* value */
} service_counters;

extern service_counters counters;

/* Add n to a counter that only the calling thread writes: a plain load and store, so the
 * receive path pays no locked instruction. */
inline void counter_add(std::atomic<uint64_t> &c, uint64_t n) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline uint64_t counter_get(const std::atomic<uint64_t> &c) {
    return c.load(std::memory_order_relaxed);
}

/* Points answered OK that have not yet been posted, refused, lost or given up unconfirmed;
 * with a spool, the points held in its files, from this run and earlier ones. */
uint64_t counters_held(void);

/* Print the counters line on standard output; with a spool it ends with the spool's figures. */
void counters_print(void);

#endif
