/* progress.h -- whether the receiver and the sender move: each marks when it became busy, and
 * the notifier keeps the watchdog fed only while neither has been busy for too long. */
#ifndef PROGRESS_H
#define PROGRESS_H

#include <stdint.h>

#include <atomic>

#include "base/clock.h"

/* When the thread became busy, clock_coarse_usec(); 0 while it waits for work. Locks: none;
 * one writing thread each, read with relaxed loads. [R] receiver, [S] sender. */
inline std::atomic<int64_t> progress_receiver_busy_usec; /* [R] */
inline std::atomic<int64_t> progress_sender_busy_usec;   /* [S] */

/* The calling thread starts work (busy true) or goes back to waiting for it: one relaxed
 * store, so that marking costs the receive path nothing it could measure. */
inline void progress_mark(std::atomic<int64_t> &mark, bool busy) {
    mark.store(busy ? clock_coarse_usec() : 0, std::memory_order_relaxed);
}

#endif
