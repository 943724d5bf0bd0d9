/* counters.h -- the ledger of points and the counts of posts, for the counters line and the
 * metrics.
 *
 * Every point the service took is in exactly one state, and at every moment
 *
 *   carried in + accepted = posted + refused + lost + expired + unconfirmed + set aside + held
 *
 * where carried in are the points the store held from an earlier run when this one started.
 * Each figure is read on its own with a relaxed load, so a reading taken while points move
 * between states may be off by those points; once they rest (at the stop's line) it adds up. */
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
    std::atomic<uint64_t> points_carried_in;  /* [I] held from an earlier run at start */
    std::atomic<uint64_t> points_posted;      /* [S] in batches the map service accepted */
    std::atomic<uint64_t> points_refused;     /* [S] in batches the map service refused */
    std::atomic<uint64_t> points_lost;        /* [*] answered OK, then gone unposted: given up
                                                 on, or their records damaged or removed */
    std::atomic<uint64_t> points_expired;     /* [S] held longer than the age limit: not
                                                 posted */
    std::atomic<uint64_t> points_unconfirmed; /* [*] given up on after a post that may have
                                                 reached the map service */
    std::atomic<uint64_t> points_set_aside;   /* [*] in files this run does not post (another
                                                 map id's, or files that cannot be read): kept
                                                 on disk, not held */
    std::atomic<uint64_t> points_held;        /* [*] in the store now, in memory or in files,
                                                 the batch being posted included; the store
                                                 keeps it */
    std::atomic<uint64_t> points_in_doubt;    /* [S] held now, and posted in a post that has
                                                 not answered (in flight, or failed after the
                                                 body went out): the stop counts them
                                                 unconfirmed, not lost */
    std::atomic<uint64_t> points_possibly_duplicated; /* [S] in batches the map service
                                                 accepted after an earlier post of them may
                                                 have reached it too */
    std::atomic<uint64_t> points_replayed;    /* [S] of those, the ones whose earlier post was
                                                 one of an earlier run that had not answered when
                                                 that run ended */
    std::atomic<uint64_t> points_damaged;     /* [*] of the lost, those whose records were found
                                                 damaged or cut short */
    std::atomic<uint64_t> posts_made;         /* [S] posts tried */
    std::atomic<uint64_t> posts_accepted;     /* [S] posts the map service accepted */
    std::atomic<uint64_t> posts_failed;       /* [S] posts that failed in transit */
    std::atomic<uint64_t> posts_refused;      /* [S] posts the map service refused */
    std::atomic<uint64_t> posts_too_large;    /* [S] posts answered 413 and split, not refused */
    std::atomic<uint64_t> store_bytes;        /* [*] bytes the store's files take; 0 in memory */
    std::atomic<uint64_t> store_limit_bytes;  /* [I] most bytes they may take (0: no files) */
    std::atomic<uint64_t> store_limit_points; /* [I] most points held (0: bound by bytes) */
    std::atomic<const char *> store_name;     /* [I] "spool" for files; NULL in memory */
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

/* Points answered OK (or carried in) that are held now: in memory or in the store's files. */
uint64_t counters_held(void);

/* Print the counters line on standard output; with files, it ends with their bytes. */
void counters_print(void);

#endif
