/* sd_service.h -- telling systemd how the service does: ready, stopping, a status line and the
 * watchdog's keep-alive.
 *
 * Everything here happens only when systemd started the service with a notification socket
 * (NOTIFY_SOCKET set): without it no thread starts and nothing is sent. The receiver and the
 * sender mark when they became busy; the notifier thread sends the keep-alive only while
 * neither has been busy for longer than its bound, so that a thread that hangs lets the
 * watchdog restart the service, while one that waits for work never does.
 */
#ifndef SD_SERVICE_H
#define SD_SERVICE_H

#include <stdint.h>
#include <time.h>

#include <atomic>

/* Longest legitimate pass of the receiver: it reads, queues and answers the messages ready at
 * once, in microseconds of work, so half a minute busy means it hangs. */
#define SD_RECEIVER_STUCK_USEC 30000000
/* Longest legitimate post is bounded at HALVEX_MAPAPI_POST_TIMEOUT_SEC (60 s); 15 s more for
 * the queue work around it. The unit's WatchdogSec= must not be shorter than this. */
#define SD_SENDER_STUCK_USEC 75000000
/* Least spacing of two status lines sent to systemd. */
#define SD_STATUS_EVERY_USEC 5000000

/* When the thread became busy, on the coarse monotonic clock in microseconds; 0 while it
 * waits for work. Locks: none; one writing thread each, read with relaxed loads by the
 * notifier. [R] receiver, [S] sender. */
extern std::atomic<int64_t> sd_receiver_busy_usec; /* [R] */
extern std::atomic<int64_t> sd_sender_busy_usec;   /* [S] */

/* Coarse monotonic clock in microseconds: a few milliseconds of resolution, no system call. */
inline int64_t sd_coarse_now_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* The calling thread starts work (busy true) or goes back to waiting for it: one relaxed
 * store, so that marking costs the receive path nothing it could measure. */
inline void sd_progress_mark(std::atomic<int64_t> &mark, bool busy) {
    mark.store(busy ? sd_coarse_now_usec() : 0, std::memory_order_relaxed);
}

/* Whether a thread that became busy at busy_usec (0: waiting for work, never stuck) has been
 * busy at now_usec for longer than bound_usec. */
bool sd_progress_stuck(int64_t now_usec, int64_t busy_usec, int64_t bound_usec);

/* Tell systemd the service is ready (READY=1 with a first status line) and start the notifier
 * thread: a status line at most every SD_STATUS_EVERY_USEC and, when systemd asked for a
 * watchdog, the keep-alive at half its period while the receiver and the sender make
 * progress, until a stop begins (listener_stop_fd()). Call once the socket listens and the
 * receiver and the sender run. Without NOTIFY_SOCKET does nothing: no thread starts. */
void sd_service_ready(void);

/* A stop begins: STOPPING=1, once sd_service_ready() has said READY=1. Main calls it once the
 * accept loop has ended, before the drain, so that the message goes out before the process
 * ends and no client is accepted after it. */
void sd_service_stopping(void);

#endif
