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
#include "log.h"

// Set before the signal thread starts, then only read.
static const char *stop_sock_path;
static int stop_listen_fd = -1;
// When the first stop signal came (queue_now_usec); 0 before. Written by the signal thread.
static std::atomic<int64_t> stop_requested_usec{0};
// Points posted before the queue was closed, for the stop line.
static std::atomic<uint64_t> stop_posted_before{0};
// Raised by whoever prints the stop lines first; the other thread then prints nothing.
static std::atomic<bool> stop_reported{false};

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

// Whatever has not been posted or refused by now is lost. Prints the stop and counters lines
// once, whichever thread comes first, and writes them out within flush_ms.
static void stop_report(int flush_ms) {
    if (stop_reported.exchange(true))
        return;
    uint64_t lost = counters_held();
    counters.points_lost.fetch_add(lost, std::memory_order_relaxed);
    uint64_t posted = counter_get(counters.points_posted) - stop_posted_before.load();
    log_printf("Stopped: %llu points posted, %llu lost.", (unsigned long long)posted,
               (unsigned long long)lost);
    counters_print();
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
            stop_requested_usec.store(queue_now_usec());
            stop_posted_before.store(counter_get(counters.points_posted));
            unlink(stop_sock_path);               // no client finds the service from now on
            shutdown(stop_listen_fd, SHUT_RDWR);  // and the accept loop ends
        } else if (sig == SIGINT || sig == SIGTERM) {
            stop_report(STOP_REPORT_USEC / 1000);  // asked twice: stop now
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

void service_stop(point_queue *q) {
    int64_t start = stop_requested_usec.load();
    if (start == 0)
        start = queue_now_usec();
    int64_t deadline = start + STOP_DEADLINE_USEC - STOP_REPORT_USEC;
    queue_close(q, deadline);
    queue_wait_drained(q, deadline);
    stop_report(STOP_REPORT_USEC / 1000);
    fflush(stdout);
    _exit(0);
}
