// delivery.cpp -- what the sender does with a batch: post it, then count, retry or report.
#include "outbox/delivery.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "base/clock.h"
#include "base/counters.h"
#include "base/figures.h"
#include "base/log.h"
#include "base/stop.h"
#include "mapapi/halvex_mapapi.h"
#include "outbox/client_settings.h"

// The map service's answer to a body too large for it.
static const long HTTP_PAYLOAD_TOO_LARGE = 413;

// Locks: none. [A] atomic: set at start and at a reload, read by the sender.
static std::atomic<size_t> max_post_points{0};  // [A] most points one post carries; 0: no bound

void delivery_set_max_post_points(size_t max) {
    max_post_points.store(max, std::memory_order_relaxed);
}

int64_t delivery_backoff_next(int64_t prev_usec, int64_t interval_usec) {
    int64_t next = prev_usec > 0 ? prev_usec * 2 : DELIVERY_BACKOFF_FIRST_USEC;
    if (next > DELIVERY_BACKOFF_MAX_USEC)
        next = DELIVERY_BACKOFF_MAX_USEC;
    return next < interval_usec ? interval_usec : next;  // never sooner than the interval
}

// The next count held points have left for good: their colours go, and the store holds them
// no more; the array goes once all of it has. Returns how many of them a run that ended before
// its post of them answered had posted.
static uint64_t held_settle(outbox *box, delivery_state *st, size_t count, bool accepted) {
    for (size_t i = 0; i < count; i++)
        point_colours_release(&st->held[st->held_next + i]);
    st->held_next += count;
    uint64_t replayed = box->kind->settle(count, accepted);
    if (st->held_next == st->held_count) {
        free(st->held);
        st->held = NULL;
    }
    return replayed;
}

// The first in_doubt of the count points posted had been in an earlier post of this run that
// may have reached the map service, and the first of them an earlier run's: they may be there
// twice now. Both are heads of the batch, so the longer says how many.
static void delivery_accepted(outbox *box, delivery_state *st, size_t count, uint64_t in_doubt) {
    uint64_t replayed = held_settle(box, st, count, true);
    uint64_t twice = in_doubt < count ? in_doubt : count;
    counter_add(counters.points_possibly_duplicated, replayed > twice ? replayed : twice);
    counter_add(counters.points_posted, count);  // last: a line showing them shows the rest
    counter_add(counters.posts_accepted, 1);
    figures.refused_streak.store(0, std::memory_order_relaxed);
    if (st->failed_posts > 0) {
        log_printf("Posting to the map service works again: %zu %s posted after %llu failed %s.",
                   count, log_plural(count, "point", "points"),
                   (unsigned long long)st->failed_posts,
                   log_plural(st->failed_posts, "post", "posts"));
    }
    st->failed_posts = 0;
    st->backoff_usec = 0;
    st->retry_after_usec = 0;
}

// The line about the batches refused since the line before, showing the latest.
static void refused_line_print(delivery_state *st, int64_t now) {
    const halvex_mapapi_post_result *r = &st->refused_latest;
    log_warnf(
        "The map service refused %llu %s since the last such line (not sent again); latest: "
        "%zu %s, HTTP status %ld, %s: \"%s\".",
        (unsigned long long)st->refused_unreported,
        log_plural(st->refused_unreported, "batch", "batches"), st->refused_latest_count,
        log_plural(st->refused_latest_count, "point", "points"), r->http_status, r->reason,
        r->answer_start);
    st->refused_line_usec = now;
    st->refused_unreported = 0;
}

// At most one line per DELIVERY_REFUSED_EVERY_USEC; the drain prints the one still due.
static void delivery_refused(outbox *box, delivery_state *st, size_t count,
                             const halvex_mapapi_post_result *r) {
    counter_add(counters.points_refused, count);
    counter_add(counters.posts_refused, 1);
    held_settle(box, st, count, false);
    figures.refused_status.store(r->http_status, std::memory_order_relaxed);
    counter_add(figures.refused_streak, 1);
    st->failed_posts = 0;  // the map service answers: the held points went with this batch
    st->backoff_usec = 0;
    st->retry_after_usec = 0;
    st->refused_unreported++;
    st->refused_latest = *r;
    st->refused_latest_count = count;
    int64_t now = clock_now_usec();
    if (st->refused_line_usec && now - st->refused_line_usec < DELIVERY_REFUSED_EVERY_USEC)
        return;
    refused_line_print(st, now);
}

// The wait a failed post's answer asked for, within DELIVERY_RETRY_AFTER_MAX_USEC.
static int64_t retry_after_usec(const halvex_mapapi_post_result *r) {
    if (r->retry_after_sec <= 0)
        return 0;
    if (r->retry_after_sec >= DELIVERY_RETRY_AFTER_MAX_USEC / 1000000)
        return DELIVERY_RETRY_AFTER_MAX_USEC;
    return (int64_t)r->retry_after_sec * 1000000;
}

// The first failure's line names the wait when the map service asked for one, or that the
// points go again at once on a new connection.
static void failing_line_print(const delivery_state *st, const halvex_mapapi_post_result *r) {
    char wait[96] = "";
    if (r->retry_at_once)
        snprintf(wait, sizeof wait, " at once on a new connection");
    else if (st->retry_after_usec)
        snprintf(wait, sizeof wait, " in %lld s (the map service asked to wait %lld s)",
                 (long long)(st->backoff_usec / 1000000),
                 (long long)(st->retry_after_usec / 1000000));
    log_warnf("Posting to the map service fails (%s%s%s%s); the points are held and retried%s.",
              r->reason, r->answer_start[0] ? ", answer \"" : "", r->answer_start,
              r->answer_start[0] ? "\"" : "", wait);
}

// Every held point goes back to the store, first in line, in order. Their head, in_doubt
// points, has been in a post that may have reached the map service; the count just posted has
// too when this post may have. A post whose idle kept connection its peer closed as it began
// goes again at once, on a new connection, without a backoff.
static void delivery_failed(outbox *box, delivery_state *st, size_t count, uint64_t in_doubt,
                            const halvex_mapapi_post_result *r) {
    counter_add(counters.posts_failed, 1);
    st->failed_usec = clock_now_usec();
    if (r->unconfirmed && in_doubt < count)
        in_doubt = count;
    counters.points_in_doubt.store(in_doubt, std::memory_order_relaxed);
    size_t rest = st->held_count - st->held_next;
    memmove(st->held, st->held + st->held_next, rest * sizeof *st->held);
    if (box->kind->put_back(st->held, rest, in_doubt) != 0) {
        counters.points_in_doubt.store(0, std::memory_order_relaxed);
        counters.points_unconfirmed.fetch_add(in_doubt, std::memory_order_relaxed);
        counters.points_lost.fetch_add(rest - in_doubt, std::memory_order_relaxed);
        log_warnf("Out of memory: lost %zu %s that failed to post.", rest,
                  log_plural(rest, "point", "points"));
    }
    st->held = NULL;
    bool at_once = r->retry_at_once && st->backoff_usec == 0;
    st->backoff_usec =
        at_once ? 0 : delivery_backoff_next(st->backoff_usec, box->send_interval_usec);
    st->retry_after_usec = retry_after_usec(r);
    if (st->backoff_usec < st->retry_after_usec)
        st->backoff_usec = st->retry_after_usec;
    st->more = st->more || at_once;
    if (st->failed_posts++ == 0)
        failing_line_print(st, r);
}

// A 413 at count points: the map service takes at most half as many, until a later 413 says
// less or the limit is forgotten. It answers: the first half goes at once, with no backoff.
static void post_limit_learn(delivery_state *st, size_t count) {
    counter_add(counters.posts_too_large, 1);
    st->post_limit = count / 2;
    st->post_limit_usec = clock_now_usec();
    st->backoff_usec = 0;
    st->retry_after_usec = 0;
}

// Post the next count held points. A 413 says the body is too large, not that the points are
// wrong: they stay held, and the next post, at once, carries the first half of them; only a
// single point is refused for it.
static int held_post(outbox *box, delivery_state *st, size_t count, long timeout_ms) {
    // Until it has answered, this post may reach the map service; a head of the held points
    // may have already, in an earlier post that failed.
    uint64_t in_doubt = counter_get(counters.points_in_doubt);
    counters.points_in_doubt.store(in_doubt > count ? in_doubt : count, std::memory_order_relaxed);
    box->kind->posting(count);
    halvex_mapapi_post_result r;
    int64_t post_start = figures_post_begin();
    int outcome =
        halvex_mapapi_post_map_points(st->held + st->held_next, (int)count, timeout_ms, &r);
    figures_post_end(post_start, outcome == HALVEX_MAPAPI_POST_FAILED,
                     outcome == HALVEX_MAPAPI_POST_ACCEPTED);
    counter_add(counters.posts_made, 1);
    if (outcome == HALVEX_MAPAPI_POST_FAILED) {
        delivery_failed(box, st, count, in_doubt, &r);
        return outcome;
    }
    if (outcome == HALVEX_MAPAPI_POST_REFUSED && r.http_status == HTTP_PAYLOAD_TOO_LARGE &&
        count > 1) {
        counters.points_in_doubt.store(in_doubt, std::memory_order_relaxed);  // answered: not sent
        post_limit_learn(st, count);
        return outcome;
    }
    counters.points_in_doubt.store(in_doubt > count ? in_doubt - count : 0,
                                   std::memory_order_relaxed);
    if (outcome == HALVEX_MAPAPI_POST_ACCEPTED)
        delivery_accepted(box, st, count, in_doubt);
    else
        delivery_refused(box, st, count, &r);
    return outcome;
}

// Most points the next post may carry: max_post_points and the limit a 413 taught, while it
// is kept; 0: no bound.
static size_t post_points_max(delivery_state *st) {
    if (st->post_limit && clock_now_usec() - st->post_limit_usec >= DELIVERY_POST_LIMIT_KEEP_USEC)
        st->post_limit = 0;
    size_t most = max_post_points.load(std::memory_order_relaxed);
    if (st->post_limit && (most == 0 || st->post_limit < most))
        return st->post_limit;
    return most;
}

int delivery_post(outbox *box, delivery_state *st, long timeout_ms) {
    client_settings_take();  // a reload's map client settings, held points included
    if (!st->held) {
        st->held_count = box->kind->take(&st->held, &st->more);
        st->held_next = 0;
        if (st->held_count == 0) {
            // Nothing is held to retry (a spool's held points may all have expired): the sender
            // waits for new points, not out a backoff, so that they leave at once.
            st->backoff_usec = 0;
            st->retry_after_usec = 0;
            return DELIVERY_NOTHING;
        }
    }
    size_t count = st->held_count - st->held_next, most = post_points_max(st);
    if (most > 0 && count > most)
        count = most;
    return held_post(box, st, count, timeout_ms);
}

// While the held points' latest post failed in transit (a backoff is set), wait until they
// are due again: the send interval after the failure, or the wait the map service asked for
// when longer, at least DELIVERY_DRAIN_RETRY_USEC, and no later than the deadline. The failure
// may be the sender's last post before the stop.
static void drain_retry_wait(const outbox *box, const delivery_state *st, int64_t deadline) {
    if (st->backoff_usec == 0)
        return;
    int64_t spacing = DELIVERY_DRAIN_RETRY_USEC;
    if (spacing < box->send_interval_usec)
        spacing = box->send_interval_usec;
    if (spacing < st->retry_after_usec)
        spacing = st->retry_after_usec;
    int64_t due = st->failed_usec + spacing < deadline ? st->failed_usec + spacing : deadline;
    int64_t wait = due - clock_now_usec();
    if (wait > 0)
        clock_sleep_usec(wait);
}

void delivery_drain(outbox *box, delivery_state *st) {
    int64_t deadline = stop_drain_deadline_usec();
    for (;;) {
        drain_retry_wait(box, st, deadline);
        int64_t left = deadline - clock_now_usec();
        if (left < DELIVERY_DRAIN_POST_MIN_USEC)
            break;
        if (delivery_post(box, st, (long)(left / 1000)) == DELIVERY_NOTHING)
            break;
    }
    if (st->refused_unreported)
        refused_line_print(st, clock_now_usec());
    stop_drained_set();
}
