// stopping.cpp -- the signal thread, and the stop that posts what is queued before exiting.
//
// No signal handler runs: SIGINT, SIGTERM and SIGUSR1 stay blocked in every thread and the
// signal thread takes them with sigwaitinfo(), so what follows a signal is ordinary code.
#include "stopping.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "counters.h"
#include "delivery.h"
#include "halvex_mapapi.h"
#include "listener.h"
#include "log.h"

// Set before the signal thread starts, then only read.
static const char *stop_sock_path;
static int stop_listen_fd = -1;
// When the first stop signal came (queue_now_usec); 0 before. Written by the signal thread.
static std::atomic<int64_t> stop_requested_usec{0};
// Points posted before the queue was closed, for the stop line.
static std::atomic<uint64_t> stop_posted_before{0};
// Held while the stop lines are printed, so that a second signal waits for lines begun.
static pthread_mutex_t stop_report_lock = PTHREAD_MUTEX_INITIALIZER;
// [stop_report_lock] raised by whoever prints the stop lines first; nobody prints them again.
static bool stop_reported;

static void signals_set(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGUSR1);
}

void signals_block(void) {
    sigset_t set;
    signals_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
}

// The drain ends by then: what is left of the stop after the lines are out.
static int64_t stop_drain_deadline(int64_t start_usec) {
    return start_usec + STOP_DEADLINE_USEC - STOP_REPORT_USEC;
}

// Whatever is still held is given up on: unconfirmed when a post that has not answered carried
// it, lost otherwise. Prints the stop and counters lines once, whichever thread comes first
// (one that comes while they are being printed waits), and writes them out within flush_ms.
static void stop_report(int flush_ms) {
    pthread_mutex_lock(&stop_report_lock);
    if (!stop_reported) {
        stop_reported = true;
        uint64_t held = counters_held(), in_doubt = counter_get(counters.points_in_doubt);
        uint64_t unconfirmed = in_doubt < held ? in_doubt : held, lost = held - unconfirmed;
        counters.points_unconfirmed.fetch_add(unconfirmed, std::memory_order_relaxed);
        counters.points_lost.fetch_add(lost, std::memory_order_relaxed);
        uint64_t posted = counter_get(counters.points_posted) - stop_posted_before.load();
        log_printf("Stopped: %llu points posted while stopping, %llu lost, %llu unconfirmed.",
                   (unsigned long long)posted, (unsigned long long)lost,
                   (unsigned long long)unconfirmed);
        counters_print();
    }
    pthread_mutex_unlock(&stop_report_lock);
    log_flush(flush_ms);
}

static void *signal_thread_func(void *) {
    sigset_t set;
    signals_set(&set);
    for (;;) {
        int sig = sigwaitinfo(&set, NULL);
        if (sig == SIGUSR1) {
            counters_print();
        } else if ((sig == SIGINT || sig == SIGTERM) && stop_requested_usec.load() == 0) {
            int64_t now = queue_now_usec();
            halvex_mapapi_set_deadline(stop_drain_deadline(now));  // cuts the post in flight
            stop_requested_usec.store(now);
            stop_posted_before.store(counter_get(counters.points_posted));
            listener_stop(stop_sock_path, stop_listen_fd);  // the accept loop ends
        } else if (sig == SIGINT || sig == SIGTERM) {
            stop_report(STOP_REPORT_USEC / 1000);  // asked twice: stop once the lines are out
            _exit(0);
        }
    }
    return NULL;
}

void signals_start(const char *sock_path, int listen_fd) {
    stop_sock_path = sock_path;
    stop_listen_fd = listen_fd;
    pthread_t thread;
    if (pthread_create(&thread, NULL, signal_thread_func, NULL) != 0) {
        log_perror("pthread_create");
        _exit(1);
    }
    pthread_detach(thread);
}

// The lines get what is left of the stop once the drain is over, and at least the time kept
// back for them.
void service_stop(point_queue *q) {
    int64_t start = stop_requested_usec.load();
    if (start == 0) {
        start = queue_now_usec();
        halvex_mapapi_set_deadline(stop_drain_deadline(start));
    }
    int64_t deadline = stop_drain_deadline(start);
    delivery_drain_deadline_set(deadline);  // before the sender can see the queue closed
    queue_close(q);
    delivery_drained_wait(deadline + STOP_CUT_WAIT_USEC);
    int64_t left = start + STOP_DEADLINE_USEC - queue_now_usec();
    if (left < STOP_REPORT_USEC - STOP_CUT_WAIT_USEC)
        left = STOP_REPORT_USEC - STOP_CUT_WAIT_USEC;
    stop_report((int)(left / 1000));
    fflush(stdout);
    _exit(0);
}
