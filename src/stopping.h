/* stopping.h -- the signals the service acts on, and the stop that drains the queue first. */
#ifndef STOPPING_H
#define STOPPING_H

#include "point_queue.h"

/* From SIGINT or SIGTERM to the end of the process: a service manager waits this long before
 * it kills, and the queued points get what is left after the last lines are out. */
#define STOP_DEADLINE_USEC 5000000
/* Kept back from the deadline for the stop and counters lines to be written. */
#define STOP_REPORT_USEC 300000
/* Of that, waited for the post in flight, which the client cuts at the drain's deadline within
 * HALVEX_MAPAPI_DEADLINE_CHECK_MS, so that its outcome is counted before the lines go out. */
#define STOP_CUT_WAIT_USEC 100000

/* Block SIGINT, SIGTERM and SIGUSR1 in the calling thread, and so in every thread it starts
 * later: only the signal thread takes them. Call first thing in main. */
void signals_block(void);

/* Start the signal thread. SIGUSR1 prints the counters line. The first SIGINT or SIGTERM
 * ends the accept loop at once (listener_stop(): a socket the service made is removed at
 * sock_path and shut down, one systemd passed stays listening) and sets the client's deadline, which cuts a post in flight when the drain must end.
 * The second prints the stop and counters lines (or waits for them when they are being
 * printed), writes them out within STOP_REPORT_USEC and ends the process with status 0. Both
 * are kept for the life of the process. */
void signals_start(const char *sock_path, int listen_fd);

/* After the accept loop has ended: close the queue, let the sender drain it until the
 * deadline, print the stop and counters lines and end the process with status 0. */
void service_stop(point_queue *q);

#endif
