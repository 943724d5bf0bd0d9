/* clock.h -- the service's one clock: monotonic microseconds, sleeps, deadlines and timed
 * waits on it. A change of the date moves none of them. */
#ifndef CLOCK_H
#define CLOCK_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

/* Monotonic clock in microseconds: the clock of every deadline and timed wait. */
int64_t clock_now_usec(void);

/* The same clock read coarsely: a few milliseconds of resolution, no system call, for marks
 * taken on the receive path. */
int64_t clock_coarse_usec(void);

/* The wall clock (the date) in microseconds of the epoch, read coarsely: for times that must
 * hold across restarts and reboots, never for waits. */
int64_t clock_wall_usec(void);

/* The run clock, in microseconds of the epoch: the wall clock as it read when the process
 * started, plus the monotonic time since. Within a run it never jumps with the date, so ages
 * measured on it are true; across runs it agrees with the wall clock as each run began. For
 * times stored to hold across restarts, such as when a point was answered OK. */
int64_t clock_run_usec(void);

/* The time usec microseconds of the clock as a timespec, for a timed wait's absolute deadline
 * (usec >= 0). */
struct timespec clock_timespec(int64_t usec);

/* Sleep usec microseconds (nothing for usec <= 0), also when a signal interrupts the sleep. */
void clock_sleep_usec(int64_t usec);

/* Initialise cond so that its timed waits measure on this clock. */
void clock_cond_init(pthread_cond_t *cond);

#endif
