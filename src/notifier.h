/* notifier.h -- telling systemd how the service does: ready, reloading, stopping, a status line
 * and the watchdog's keep-alive.
 *
 * Everything here happens only when systemd started the service with a notification socket
 * (NOTIFY_SOCKET set): without it no thread starts and nothing is sent. The receiver and the
 * sender mark when they became busy; the notifier thread sends the keep-alive only while
 * neither has been busy for longer than its bound, so that a thread that hangs lets the
 * watchdog restart the service, while one that waits for work never does.
 */
#ifndef NOTIFIER_H
#define NOTIFIER_H

#include <stdint.h>

#include "mapapi/halvex_mapapi.h"

/* Longest legitimate pass of the receiver: it reads, queues and answers the messages ready at
 * once, in microseconds of work, so half a minute busy means it hangs. */
#define NOTIFIER_RECEIVER_STUCK_USEC 30000000
/* Longest legitimate post is bounded at HALVEX_MAPAPI_POST_TIMEOUT_SEC; 15 s more for the
 * queue work around it. The unit's WatchdogSec= must not be shorter than this. */
#define NOTIFIER_SENDER_STUCK_USEC (HALVEX_MAPAPI_POST_TIMEOUT_SEC * 1000000LL + 15000000)
/* Least spacing of two status lines sent to systemd. */
#define NOTIFIER_STATUS_EVERY_USEC 5000000

/* Whether a thread that became busy at busy_usec (0: waiting for work, never stuck) has been
 * busy at now_usec for longer than bound_usec. */
bool notifier_progress_stuck(int64_t now_usec, int64_t busy_usec, int64_t bound_usec);

/* Tell systemd the service is ready (READY=1 with a first status line) and start the notifier
 * thread: a status line at most every NOTIFIER_STATUS_EVERY_USEC and, when systemd asked for a
 * watchdog, the keep-alive at half its period while the receiver and the sender make
 * progress, until a stop begins (stop_fd()). Call once the socket listens and the
 * receiver and the sender run. Without NOTIFY_SOCKET does nothing: no thread starts. */
void notifier_ready(void);

/* A stop begins: STOPPING=1, once notifier_ready() has said READY=1. The stop calls it once the
 * accept loop has ended, before the drain, so that the message goes out before the process
 * ends and no client is accepted after it. */
void notifier_stopping(void);

/* A reload begins: RELOADING=1 (with the time, as systemd asks), once notifier_ready() has said
 * READY=1. Signal thread. */
void notifier_reloading(void);

/* The reload is over, taken or refused: READY=1 again. Signal thread. */
void notifier_reloaded(void);

#endif
