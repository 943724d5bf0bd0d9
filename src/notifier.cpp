// notifier.cpp -- readiness, reloads, stopping, the status line and the watchdog's keep-alive for
// systemd.
//
// One thread of its own, the notifier, started only under a notification socket. It takes no
// lock: the figures it reports and the progress marks it checks are relaxed atomics, and it
// waits in poll() on the stop descriptor, so a stop ends its wait at once.
#include "notifier.h"

#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-daemon.h>

#include <atomic>

#include "base/clock.h"
#include "base/counters.h"
#include "base/figures.h"
#include "base/log.h"
#include "base/progress.h"
#include "base/stop.h"

// Room for the status message: "STATUS=" and a line of well under a hundred characters.
static const size_t STATUS_MAX = 200;

// [I] half the watchdog period, set before the notifier starts; 0: no watchdog asked for.
static int64_t keepalive_every_usec;
// Raised by main once READY=1 is out; read at a reload and at the stop.
static std::atomic<bool> notifying{false};

bool notifier_progress_stuck(int64_t now_usec, int64_t busy_usec, int64_t bound_usec) {
    return busy_usec != 0 && now_usec - busy_usec > bound_usec;
}

static bool progress_made(void) {
    int64_t now = clock_coarse_usec();
    int64_t receiver = progress_receiver_busy_usec.load(std::memory_order_relaxed);
    int64_t sender = progress_sender_busy_usec.load(std::memory_order_relaxed);
    return !notifier_progress_stuck(now, receiver, NOTIFIER_RECEIVER_STUCK_USEC) &&
           !notifier_progress_stuck(now, sender, NOTIFIER_SENDER_STUCK_USEC);
}

// "STATUS=" and the line systemctl status shows: the points and whether posting works.
static void status_format(char *out, size_t size) {
    int64_t failing_since = figures.failing_since_usec.load(std::memory_order_relaxed);
    char posting[64];
    if (failing_since != 0)
        snprintf(posting, sizeof posting, "posting fails for %lld s",
                 (long long)((clock_now_usec() - failing_since) / 1000000));
    else
        snprintf(posting, sizeof posting, "%s",
                 counter_get(counters.posts_made) ? "posting works" : "nothing posted yet");
    uint64_t accepted = counter_get(counters.points_accepted);
    snprintf(out, size, "STATUS=%llu %s accepted, %llu posted, %llu held; %s",
             (unsigned long long)accepted, log_plural(accepted, "point", "points"),
             (unsigned long long)counter_get(counters.points_posted),
             (unsigned long long)counters_held(), posting);
}

// Sent only when it differs from the last one sent (last holds that one).
static void status_send(char *last) {
    char status[STATUS_MAX];
    status_format(status, sizeof status);
    if (strcmp(status, last) == 0)
        return;
    sd_notify(0, status);
    memcpy(last, status, sizeof status);
}

// Wait up to usec; true once a stop has begun.
static bool stop_wait(int64_t usec) {
    pollfd p = {stop_fd(), POLLIN, 0};
    int ms = usec > 0 ? (int)((usec + 999) / 1000) : 0;
    return poll(&p, 1, ms) > 0;
}

static void *notifier_func(void *arg) {
    char *last = (char *)arg;
    int64_t next_status = clock_now_usec() + NOTIFIER_STATUS_EVERY_USEC, next_alive = 0;
    for (;;) {
        int64_t now = clock_now_usec();
        if (now >= next_status) {
            status_send(last);
            next_status = now + NOTIFIER_STATUS_EVERY_USEC;
        }
        if (keepalive_every_usec && now >= next_alive) {
            if (progress_made())  // a hung thread stops the keep-alive: systemd restarts
                sd_notify(0, "WATCHDOG=1");
            next_alive = now + keepalive_every_usec;
        }
        int64_t next = keepalive_every_usec && next_alive < next_status ? next_alive : next_status;
        if (stop_wait(next - now))
            return NULL;  // the stop says STOPPING=1 (notifier_stopping())
    }
}

void notifier_stopping(void) {
    if (notifying)
        sd_notify(0, "STOPPING=1\nSTATUS=Stopping: posting what is queued.");
}

void notifier_reloading(void) {
    if (notifying)
        sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%lld", (long long)clock_now_usec());
}

void notifier_reloaded(void) {
    if (notifying)
        sd_notify(0, "READY=1");
}

void notifier_ready(void) {
    const char *notify = getenv("NOTIFY_SOCKET");
    if (!notify || !notify[0])
        return;
    uint64_t watchdog_usec = 0;
    if (sd_watchdog_enabled(0, &watchdog_usec) > 0)
        keepalive_every_usec = (int64_t)(watchdog_usec / 2);
    static char last[STATUS_MAX];
    status_format(last, sizeof last);
    sd_notifyf(0, "READY=1\n%s", last);
    notifying = true;
    pthread_t thread;
    if (pthread_create(&thread, NULL, notifier_func, last) != 0) {
        log_perror("pthread_create");  // without it the watchdog would restart us anyway
        log_exit(1);
    }
    pthread_detach(thread);
}
