// metrics.cpp -- the opt-in HTTP endpoint: counters for Prometheus at /metrics, a verdict at
// /health.
//
// The endpoint is the Prometheus client's pull exposer, a small embedded HTTP server with a
// master thread that accepts and a few worker threads that answer. /metrics is read through
// one collectable whose Collect() turns the service's relaxed counters into metric families
// at scrape time; /health is answered before the exposer's own handling, in the HTTP
// server's begin_request callback. Neither takes a lock that the receiver or the sender takes:
// the only state shared with them is relaxed atomics, so a scraper that stalls a worker
// stalls only that worker.
//
// The post duration histogram is kept in the figures' relaxed atomics, written by the sender
// alone, rather than in the client's Histogram, whose Observe() takes a mutex that a scrape
// holds.
#include "metrics.h"

#include <CivetServer.h>
#include <arpa/inet.h>
#include <civetweb.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/counters.h"
#include "base/figures.h"
#include "base/log.h"
#include "outbox/outbox.h"

// Worker threads. Each holds one connection until its request is in and answered, and
// connections take their turn in order: peers that trickle their requests hold a worker each
// for METRICS_REQUEST_TIMEOUT_MS, so eight workers get through 32 of them a second, and a
// probe waits behind at most the backlog and the queue, well under a second.
static const char METRICS_THREADS[] = "8";
// Accepted connections waiting for a worker (METRICS_FDS_MAX counts them with the workers).
static const char METRICS_QUEUE[] = "2";
// Connections the kernel holds before the endpoint accepts them.
static const char METRICS_BACKLOG[] = "16";
// A scrape's request head is one small packet, sent as the connection opens, and its answer a
// few kilobytes that the socket takes at once: a peer that takes longer than this to send its
// request head or take the answer is cut off (milliseconds), so that peers that trickle a
// request byte by byte cannot hold the workers that /health needs.
static const char METRICS_REQUEST_TIMEOUT_MS[] = "250";
// Largest request head read; a larger one is refused without reading the rest.
static const char METRICS_REQUEST_MAX_BYTES[] = "8192";

// Locks: none. [I] set before the endpoint starts.
static const outbox *metrics_box;          // [I] whose store says why it refuses points
static std::atomic<bool> metrics_running;  // set once the endpoint runs

int metrics_listen_parse(const char *text, metrics_address *out) {
    const char *colon = strchr(text, ':');
    if (!colon)
        return -1;
    std::string host(text, (size_t)(colon - text));
    in_addr addr;
    if (host.size() >= sizeof out->host || inet_pton(AF_INET, host.c_str(), &addr) != 1)
        return -1;
    const char *digits = colon + 1;
    if (strspn(digits, "0123456789") != strlen(digits) || strlen(digits) == 0 || strlen(digits) > 5)
        return -1;
    out->port = atoi(digits);
    if (out->port < 1 || out->port > 65535)
        return -1;
    memcpy(out->host, host.c_str(), host.size() + 1);
    return 0;
}

int metrics_fds_reserved(void) {
    return metrics_running ? METRICS_FDS_MAX : 0;
}

// The store's bound as the body shows it: points, or its files' bytes.
static std::string bound_shown(const health_facts *f) {
    char part[128];
    if (f->limit_bytes && f->files)
        snprintf(part, sizeof part, ",\"%s_bytes\":%llu,\"%s_limit_bytes\":%llu", f->files,
                 (unsigned long long)f->bytes, f->files, (unsigned long long)f->limit_bytes);
    else
        snprintf(part, sizeof part, ",\"queue_limit_points\":%llu",
                 (unsigned long long)f->limit_points);
    return part;
}

// Why the service is not healthy, each reason joined by "; "; "" when it is.
static std::string reasons(const health_facts *f) {
    std::string why = f->refusing ? f->refusing : "";
    // Nothing held: posting has nothing to do, whatever the last post did.
    int64_t failing =
        f->held > 0 && f->failing_since_usec > 0 ? f->now_usec - f->failing_since_usec : 0;
    char part[96];
    if (failing >= METRICS_HEALTH_FAILING_USEC) {
        snprintf(part, sizeof part, "posting has not worked for %lld s",
                 (long long)(failing / 1000000));
        why += (why.empty() ? "" : "; ") + std::string(part);
    }
    if (f->refused_streak >= METRICS_HEALTH_REFUSED_POSTS) {
        snprintf(part, sizeof part, "the map service refused the last %llu posts (HTTP status %ld)",
                 (unsigned long long)f->refused_streak, f->refused_status);
        why += (why.empty() ? "" : "; ") + std::string(part);
    }
    return why;
}

int metrics_health_judge(const health_facts *f, char *body, size_t size) {
    std::string why = reasons(f), bound = bound_shown(f);
    if (why.empty()) {
        snprintf(body, size, "{\"status\":\"ok\",\"queue_points\":%llu%s}\n",
                 (unsigned long long)f->held, bound.c_str());
        return 200;
    }
    snprintf(body, size, "{\"status\":\"unavailable\",\"reason\":\"%s\",\"queue_points\":%llu%s}\n",
             why.c_str(), (unsigned long long)f->held, bound.c_str());
    return 503;
}

// Answer GET /health here and leave every other request to the exposer (return 0).
static int health_request(struct mg_connection *conn) {
    const mg_request_info *req = mg_get_request_info(conn);
    if (!req || !req->local_uri || strcmp(req->local_uri, "/health") != 0 ||
        strcmp(req->request_method, "GET") != 0)
        return 0;
    health_facts f = {clock_now_usec(),
                      figures_failing_or_flight_usec(),
                      counters_held(),
                      metrics_box->kind->refusing(),
                      counter_get(figures.refused_streak),
                      figures.refused_status.load(std::memory_order_relaxed),
                      counter_get(counters.store_limit_points),
                      counters.store_name.load(std::memory_order_relaxed),
                      counter_get(counters.store_bytes),
                      counter_get(counters.store_limit_bytes)};
    char body[METRICS_HEALTH_BODY_MAX];
    int status = metrics_health_judge(&f, body, sizeof body);
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n%s",
              status, status == 200 ? "OK" : "Service Unavailable", strlen(body), body);
    return status;
}

// ---- /metrics ----------------------------------------------------------------------------

static prometheus::MetricFamily family_make(const char *name, const char *help,
                                            prometheus::MetricType type) {
    prometheus::MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

static void counter_family_add(std::vector<prometheus::MetricFamily> &out, const char *name,
                               const char *help, uint64_t value) {
    prometheus::MetricFamily f = family_make(name, help, prometheus::MetricType::Counter);
    f.metric.resize(1);
    f.metric[0].counter.value = (double)value;
    out.push_back(std::move(f));
}

static void gauge_family_add(std::vector<prometheus::MetricFamily> &out, const char *name,
                             const char *help, double value) {
    prometheus::MetricFamily f = family_make(name, help, prometheus::MetricType::Gauge);
    f.metric.resize(1);
    f.metric[0].gauge.value = value;
    out.push_back(std::move(f));
}

// Posts by outcome: a post answered 413 and split is too_large, neither accepted nor refused.
static void posts_family_add(std::vector<prometheus::MetricFamily> &out) {
    const uint64_t values[] = {
        counter_get(counters.posts_accepted), counter_get(counters.posts_failed),
        counter_get(counters.posts_refused), counter_get(counters.posts_too_large)};
    const char *outcomes[] = {"accepted", "failed", "refused", "too_large"};
    prometheus::MetricFamily f =
        family_make("halvex_mapapi_posts_total", "Posts to the map service, by outcome.",
                    prometheus::MetricType::Counter);
    for (int i = 0; i < 4; i++) {
        prometheus::ClientMetric m;
        m.label.push_back({"outcome", outcomes[i]});
        m.counter.value = (double)values[i];
        f.metric.push_back(m);
    }
    out.push_back(std::move(f));
}

// Count is the sum of the buckets read, so that the +Inf bucket always equals it.
static void post_duration_family_add(std::vector<prometheus::MetricFamily> &out) {
    prometheus::MetricFamily f =
        family_make("halvex_mapapi_post_duration_seconds",
                    "Time from the start of a post to the map service to its outcome.",
                    prometheus::MetricType::Histogram);
    prometheus::ClientMetric m;
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= FIGURES_POST_BUCKETS; i++) {
        cumulative += counter_get(figures.post_counts[i]);
        double bound = i < FIGURES_POST_BUCKETS ? figures_post_buckets_sec[i]
                                                : std::numeric_limits<double>::infinity();
        m.histogram.bucket.push_back({cumulative, bound});
    }
    m.histogram.sample_count = cumulative;
    m.histogram.sample_sum = (double)counter_get(figures.post_usec_sum) / 1e6;
    f.metric.push_back(m);
    out.push_back(std::move(f));
}

// One row per counter of service_counters that is shown as it is: a new counter goes here. The
// ledger: carried in + accepted = posted + refused + lost + expired + unconfirmed + set aside +
// held (halvex_mapapi_queue_points).
static void point_families_add(std::vector<prometheus::MetricFamily> &out) {
    uint64_t accepted = counter_get(counters.points_accepted);
    uint64_t rejected = counter_get(counters.points_rejected);
    counter_family_add(out, "halvex_mapapi_points_received_total",
                       "Point messages read from clients.", accepted + rejected);
    counter_family_add(out, "halvex_mapapi_points_accepted_total",
                       "Points answered OK and held for the map service.", accepted);
    counter_family_add(out, "halvex_mapapi_points_rejected_total",
                       "Point messages answered FAILED.", rejected);
    gauge_family_add(out, "halvex_mapapi_points_carried_in",
                     "Points an earlier run left held in the spool's files, found at start.",
                     (double)counter_get(counters.points_carried_in));
    counter_family_add(out, "halvex_mapapi_points_posted_total",
                       "Points in batches the map service accepted.",
                       counter_get(counters.points_posted));
    counter_family_add(out, "halvex_mapapi_points_refused_total",
                       "Points in batches the map service refused (not sent again).",
                       counter_get(counters.points_refused));
    counter_family_add(out, "halvex_mapapi_points_lost_total",
                       "Points answered OK and then lost: given up on, or their records damaged "
                       "or removed.",
                       counter_get(counters.points_lost));
    counter_family_add(out, "halvex_mapapi_points_expired_total",
                       "Points held longer than spool_max_age_sec: not posted.",
                       counter_get(counters.points_expired));
    counter_family_add(
        out, "halvex_mapapi_points_unconfirmed_total",
        "Points given up on at a stop after a post that may have reached the map service.",
        counter_get(counters.points_unconfirmed));
    gauge_family_add(out, "halvex_mapapi_points_set_aside",
                     "Points in the spool's files that this run does not post: of another map "
                     "id, or in files that cannot be read.",
                     (double)counter_get(counters.points_set_aside));
}

// Points that may be at the map service twice, and why.
static void doubt_families_add(std::vector<prometheus::MetricFamily> &out) {
    counter_family_add(out, "halvex_mapapi_points_possibly_duplicated_total",
                       "Points posted again and accepted after an earlier post of them may "
                       "have reached the map service.",
                       counter_get(counters.points_possibly_duplicated));
    counter_family_add(out, "halvex_mapapi_points_replayed_total",
                       "Of the possibly duplicated, those an earlier run had in a post that had "
                       "not answered when it ended.",
                       counter_get(counters.points_replayed));
    counter_family_add(out, "halvex_mapapi_points_damaged_total",
                       "Of the lost, those whose records in the spool were damaged or cut short.",
                       counter_get(counters.points_damaged));
}

// What holds the points, and the bound that refuses them: points in memory, or the bytes of
// the spool's files.
static void store_families_add(std::vector<prometheus::MetricFamily> &out) {
    uint64_t held = counters_held(), limit = counter_get(counters.store_limit_points);
    const char *files = counters.store_name.load(std::memory_order_relaxed);
    gauge_family_add(out, "halvex_mapapi_queue_points",
                     "Points held: answered OK (or carried in) and not yet posted, refused, "
                     "lost, expired, unconfirmed or set aside.",
                     (double)held);
    if (limit > 0)
        gauge_family_add(out, "halvex_mapapi_queue_limit_points",
                         "Most points the queue holds; beyond it points are answered FAILED.",
                         (double)limit);
    if (!files || counter_get(counters.store_limit_bytes) == 0)
        return;
    std::string name = std::string("halvex_mapapi_") + files;
    gauge_family_add(out, (name + "_points").c_str(), "Points held in the spool's files.",
                     (double)held);
    gauge_family_add(out, (name + "_bytes").c_str(),
                     "Bytes the spool's files take on disk, files set aside included.",
                     (double)counter_get(counters.store_bytes));
    gauge_family_add(out, (name + "_limit_bytes").c_str(),
                     "spool_max_bytes: beyond it new points are answered FAILED.",
                     (double)counter_get(counters.store_limit_bytes));
}

static std::vector<prometheus::MetricFamily> metrics_collect(void) {
    std::vector<prometheus::MetricFamily> out;
    point_families_add(out);
    doubt_families_add(out);
    posts_family_add(out);
    post_duration_family_add(out);
    store_families_add(out);
    gauge_family_add(out, "halvex_mapapi_clients", "Open client connections.",
                     (double)figures.clients_open.load(std::memory_order_relaxed));
    gauge_family_add(out, "halvex_mapapi_last_accepted_post_timestamp_seconds",
                     "When the map service last accepted a post (Unix time; 0: never).",
                     (double)figures.last_accepted_unix_usec.load(std::memory_order_relaxed) / 1e6);
    counter_family_add(out, "halvex_mapapi_log_lines_dropped_total",
                       "Log lines dropped because standard output was not read in time.",
                       log_dropped_count());
    return out;
}

// The exposer takes collectables as objects of the client's interface: this one only forwards.
struct metrics_collectable : prometheus::Collectable {
    std::vector<prometheus::MetricFamily> Collect() const override { return metrics_collect(); }
};

// ---- start -------------------------------------------------------------------------------

// The HTTP server's first complaint while it starts, e.g. that the port is taken: the reason
// given when the start fails. Afterwards it says nothing: a hostile peer could otherwise fill
// the log. [I] written by the starting HTTP server before its threads run.
static char start_complaint[LOG_LINE_MAX / 2];

static int server_complaint_take(const struct mg_connection *, const char *message) {
    if (!metrics_running && !start_complaint[0])
        snprintf(start_complaint, sizeof start_complaint, "%s", message);
    return 1;  // handled: not written anywhere else
}

static std::vector<std::string> server_options(const metrics_address *a) {
    return {"listening_ports",    std::string(a->host) + ":" + std::to_string(a->port),
            "num_threads",        METRICS_THREADS,
            "connection_queue",   METRICS_QUEUE,
            "listen_backlog",     METRICS_BACKLOG,
            "request_timeout_ms", METRICS_REQUEST_TIMEOUT_MS,
            "max_request_size",   METRICS_REQUEST_MAX_BYTES,
            "enable_keep_alive",  "no"};
}

// Anyone who can reach the endpoint can read the figures, and slow peers can keep its workers
// busy: off loopback (127.0.0.0/8), say so once.
static void loopback_warn(const char *text, const metrics_address *addr) {
    in_addr a;
    if (inet_pton(AF_INET, addr->host, &a) == 1 && (ntohl(a.s_addr) >> 24) == IN_LOOPBACKNET)
        return;
    log_warnf(
        "Warning: metrics_listen = %s is not a loopback address: anyone who can reach it can "
        "read the figures and slow its answers down.",
        text);
}

// The exposer and its collectable live until the process ends; they are never destroyed, so
// that exit() does not wait for the HTTP server's threads.
void metrics_start(const char *text, const metrics_address *addr, const outbox *box) {
    if (!text[0])
        return;
    metrics_box = box;
    static CivetCallbacks callbacks;
    callbacks.begin_request = health_request;
    callbacks.log_message = server_complaint_take;
    static prometheus::Exposer *exposer;
    try {
        exposer = new prometheus::Exposer(server_options(addr), &callbacks);
    } catch (const std::exception &e) {
        log_errorf("Cannot serve metrics (metrics_listen = %s): %s", text,
                   start_complaint[0] ? start_complaint : e.what());
        log_exit(1);
    }
    static std::shared_ptr<metrics_collectable> *collectable =
        new std::shared_ptr<metrics_collectable>(new metrics_collectable);
    exposer->RegisterCollectable(*collectable);
    metrics_running = true;
    loopback_warn(text, addr);
}
