/* lifecycle.h -- the service's life after start-up: the signals it acts on, and the stop's
 * steps from the signal to the exit, with the lines that report it. */
#ifndef LIFECYCLE_H
#define LIFECYCLE_H

#include "outbox/outbox.h"

/* Block SIGINT, SIGTERM, SIGUSR1 and SIGHUP in the calling thread, and so in every thread it
 * starts later: only the signal thread takes them. Call first thing in main. */
void lifecycle_signals_block(void);

/* Start the signal thread for the service whose points wait in box; stop_create() and
 * reload_setup() must have run. SIGUSR1 prints the
 * counters line; SIGHUP reloads the configuration (reload_run()), unless a stop has begun. The
 * first SIGINT or SIGTERM begins the stop (stop_begin(): the accept loop ends at once) and sets
 * the client's deadline to the drain's, which cuts a post in flight when the drain must end.
 * The second prints the stop and counters lines (or waits for them while they are being
 * printed), writes them out within STOP_REPORT_USEC and ends the process with status 0. */
void lifecycle_signals_start(outbox *box);

/* The stop's steps once the accept loop has ended: STOPPING=1 under systemd, close the outbox,
 * let the sender drain it until the deadline, end the receiver's reading, let the store make
 * what it keeps durable, print the stop and counters lines and end the process with status 0.
 * Main thread. */
void lifecycle_stop(void) __attribute__((noreturn));

#endif
