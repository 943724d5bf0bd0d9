/* stop.h -- the stop's one home: when it began, the descriptor every wait polls to see it, the
 * deadline of the drain, and the drain's handshake with the life cycle.
 *
 * A stop begins once (stop_begin()) and never ends; the process exits at its end. Everything
 * here may be called from any thread once stop_create() has run. */
#ifndef STOP_H
#define STOP_H

#include <stdint.h>

/* From SIGINT or SIGTERM to the end of the process: a service manager waits this long before
 * it kills, and the queued points get what is left after the last lines are out. */
#define STOP_DEADLINE_USEC 5000000
/* Kept back from the deadline for the stop and counters lines to be written. */
#define STOP_REPORT_USEC 300000
/* Of that, waited for the post in flight, which the client cuts at the drain's deadline within
 * HALVEX_MAPAPI_DEADLINE_CHECK_MS, so that its outcome is counted before the lines go out. */
#define STOP_CUT_WAIT_USEC 100000

/* With a spool the stop posts nothing: what is held stays in its files for the next start, the
 * post in flight is cut at once, and the process ends within this. */
#define STOP_HELD_DEADLINE_USEC 1000000

/* Start-up, before the threads: the stop keeps what is held instead of posting it. */
void stop_keep_held(void);

/* Create the stop descriptor. Start-up, before any thread that waits for a stop; on failure
 * reports it and ends the process with status 1. */
void stop_create(void);

/* Readable (POLLIN) from the moment a stop begins, for good: every wait that must end at a
 * stop polls it. */
int stop_fd(void);

/* Begin the stop now: note the time and make stop_fd() readable. Returns 1 the first time,
 * 0 when the stop had begun already (nothing changes then). */
int stop_begin(void);

/* When the stop began (clock_now_usec()); 0 before. */
int64_t stop_began_usec(void);

/* The drain ends by then: the stop's start, plus STOP_DEADLINE_USEC less STOP_REPORT_USEC;
 * the stop's start itself when held points are kept. 0 before the stop began. */
int64_t stop_drain_deadline_usec(void);

/* The process ends by then: the stop's start plus STOP_DEADLINE_USEC, or plus
 * STOP_HELD_DEADLINE_USEC when held points are kept. 0 before the stop began. */
int64_t stop_deadline_usec(void);

/* The sender: the drain is over. Takes stop_lock. */
void stop_drained_set(void);

/* Wait until the drain is over or until_usec (clock_now_usec()) has come; 1 if it is over.
 * Takes stop_lock. */
int stop_drained_wait(int64_t until_usec);

#endif
