// lifecycle.cpp -- the signal thread, and the stop's steps from the signal to the exit.
//
// No signal handler runs: SIGINT, SIGTERM, SIGUSR1 and SIGHUP stay blocked in every thread and
// the signal thread takes them with sigwaitinfo(), so what follows a signal is ordinary code.
#include "lifecycle.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/clock.h"
#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "base/stop.h"
#include "intake/receiver.h"
#include "mapapi/halvex_mapapi.h"
#include "notifier.h"
#include "reload.h"

// Points posted before the stop began, for the stop line. Written by the signal thread.
static std::atomic<uint64_t> posted_before_stop{0};
// [I] where the points wait, set before the signal thread starts.
static outbox *stop_box;
// Held while the stop lines are printed, so that a second signal waits for lines begun.
static pthread_mutex_t stop_report_lock = PTHREAD_MUTEX_INITIALIZER;
// [stop_report_lock] raised by whoever prints the stop lines first; nobody prints them again.
static bool stop_reported;

static void signals_set(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGHUP);
}

void lifecycle_signals_block(void) {
    sigset_t set;
    signals_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
}

// Whatever is still held is given up on, unconfirmed when a post that has not answered carried
// it, lost otherwise, or kept by a store that keeps it for the next start (kind->end()).
// Prints the stop and counters lines once, whichever thread comes first (one that comes while
// they are being printed waits), and writes them out within flush_ms. No message is read from
// then on, so the lines count exactly the replies clients got.
static void stop_report(int flush_ms) {
    rcv_reading_stop();  // takes conn_lock, which ranks with stop_report_lock: before it
    lock_take(&stop_report_lock, LOCK_RANK_STOP_REPORT);
    if (!stop_reported) {
        stop_reported = true;
        uint64_t lost = 0, unconfirmed = 0, held = 0;
        stop_box->kind->end(counter_get(counters.points_in_doubt), &lost, &unconfirmed, &held);
        std::string kept;
        if (stop_box->kind->kept_where)
            kept = ", " + std::to_string(held) + " held " + stop_box->kind->kept_where;
        uint64_t posted = counter_get(counters.points_posted) - posted_before_stop.load();
        log_printf("Stopped: %llu %s posted while stopping, %llu lost, %llu unconfirmed%s.",
                   (unsigned long long)posted, log_plural(posted, "point", "points"),
                   (unsigned long long)lost, (unsigned long long)unconfirmed, kept.c_str());
        counters_print();
    }
    lock_give(&stop_report_lock, LOCK_RANK_STOP_REPORT);
    log_flush(flush_ms);
}

// The first stop signal begins the stop; the client cuts the post in flight at the drain's end.
static void stop_on_signal(void) {
    posted_before_stop.store(counter_get(counters.points_posted));
    if (stop_begin())
        halvex_mapapi_set_deadline(stop_drain_deadline_usec());
}

static void *signal_thread_func(void *) {
    sigset_t set;
    signals_set(&set);
    for (;;) {
        int sig = sigwaitinfo(&set, NULL);
        if (sig == SIGUSR1) {
            counters_print();
        } else if (sig == SIGHUP && stop_began_usec() == 0) {
            reload_run();
        } else if (sig == SIGHUP) {
            log_line("Reload ignored: the service is stopping.");
        } else if ((sig == SIGINT || sig == SIGTERM) && stop_began_usec() == 0) {
            stop_on_signal();
        } else if (sig == SIGINT || sig == SIGTERM) {
            stop_report(STOP_REPORT_USEC / 1000);  // asked twice: stop once the lines are out
            _exit(0);
        }
    }
    return NULL;
}

void lifecycle_signals_start(outbox *box) {
    stop_box = box;
    pthread_t thread;
    if (pthread_create(&thread, NULL, signal_thread_func, NULL) != 0) {
        log_perror("pthread_create");
        _exit(1);
    }
    pthread_detach(thread);
}

// The lines get what is left of the stop once the drain is over, and at least the time kept
// back for them. With a store that keeps what it holds the drain posts nothing and the post in
// flight is cut at once; the store then makes what it holds durable.
void lifecycle_stop(void) {
    if (stop_began_usec() == 0)  // the accept loop ended without a signal
        stop_on_signal();
    notifier_stopping();     // accepting no more: STOPPING=1 under systemd
    outbox_close(stop_box);  // the sender drains until stop_drain_deadline_usec()
    stop_drained_wait(stop_drain_deadline_usec() + STOP_CUT_WAIT_USEC);
    rcv_reading_stop();  // no pass stores into the store from now on
    stop_box->kind->finish(stop_deadline_usec() - STOP_REPORT_USEC);
    int64_t left = stop_deadline_usec() - clock_now_usec();
    if (left < STOP_REPORT_USEC - STOP_CUT_WAIT_USEC)
        left = STOP_REPORT_USEC - STOP_CUT_WAIT_USEC;
    stop_report((int)(left / 1000));
    fflush(stdout);
    _exit(0);
}
