// loadgen.cpp -- closed-loop load on the point socket: messages per second and reply latency.
//
// N active connections are spread over M threads; each connection has one message in flight
// and sends the next as soon as its reply is in. K idle connections can be held open beside
// them. Every reply must be exactly "OK\n"; anything else counts as an error. Latencies go
// into a log-linear histogram, so no sample is stored whatever the run length.
//
// A thread with a single connection uses blocking send/recv (two calls per message); a thread
// with several waits on its own epoll set. With --client-lib every connection is a client of
// the C client library: a thread with one sends through halvex_client_send_json(), one with
// several starts each message and takes its reply once epoll says it is in.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "halvex_mapapi_client.h"
#include "intake/protocol.h"

// Histogram layout: values below 2^HIST_SUB_BITS ns have a bucket each; every power of two
// above is split into HIST_HALF buckets, so a bucket is at most 1/64 (1.6%) wide relative to
// its values. (64 - HIST_SUB_BITS + 2) * HIST_HALF buckets cover every 64-bit value.
static const int HIST_SUB_BITS = 7;
static const uint64_t HIST_HALF = 1u << (HIST_SUB_BITS - 1);
static const int HIST_BUCKETS = (64 - HIST_SUB_BITS + 2) * (int)HIST_HALF;
// Longest reply kept while waiting for its newline; "FAILED\n" fits, anything longer is junk.
static const size_t REPLY_MAX = 16;
// Events taken per epoll wait; more than the connections of any thread in practice.
static const int EVENTS_MAX = 256;
// A reply that has not come this long after the run's end is given up as lost (ns); it
// also bounds each wait so the end of the run is noticed.
static const uint64_t REPLY_GRACE_NS = 5000000000ull;
static const int WAIT_SLICE_MS = 100;
static const uint64_t NS_PER_SEC = 1000000000ull;

struct histogram {
    uint64_t counts[HIST_BUCKETS];
    uint64_t total;
    uint64_t max;
};

struct loadgen_options {
    std::string socket_path = HALVEX_DEFAULT_SOCK_PATH;
    std::string message = "{\"lat\":40.7128,\"lng\":-74.006}";
    int conns = 1;
    int threads = 1;
    int idle = 0;
    double duration_s = 3.0;
    double warmup_s = 0.5;
    int64_t messages = 0;  // > 0: stop after this many messages instead of after a time
    bool kv = false;
    bool client_lib = false;  // each connection a halvex_client on a thread of its own
};

// One active connection: its descriptor, when its message left, and the reply so far.
struct conn_state {
    int fd;
    halvex_client *client;  // with --client-lib, instead of fd
    uint64_t sent_ns;
    char reply[REPLY_MAX];
    size_t reply_len;
    bool busy;  // a message is in flight
};

// One thread's share of the connections and what it measured.
struct worker_state {
    std::vector<conn_state> conns;
    histogram hist;
    uint64_t done;     // replies counted in the measured window
    uint64_t errors;   // wrong replies, closed or failed connections, lost replies
    size_t in_flight;  // connections waiting for a reply
};

static loadgen_options opts;
static uint64_t window_start_ns;  // replies before this are warm-up and not counted
static uint64_t window_end_ns;    // no message is sent from here on
static std::atomic<int64_t> messages_left;
static std::atomic<uint64_t> last_reply_ns;

static uint64_t now_ns(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * NS_PER_SEC + (uint64_t)ts.tv_nsec;
}

// ---- histogram ---------------------------------------------------------------------------

static int hist_index(uint64_t v) {
    if (v < (1u << HIST_SUB_BITS))
        return (int)v;
    int shift = 63 - __builtin_clzll(v) - HIST_SUB_BITS + 1;
    return (int)((uint64_t)(shift + 1) * HIST_HALF + ((v >> shift) - HIST_HALF));
}

// The highest value that falls into bucket idx.
static uint64_t hist_bucket_high(int idx) {
    if (idx < (1 << HIST_SUB_BITS))
        return (uint64_t)idx;
    int shift = idx / (int)HIST_HALF - 1;
    uint64_t top = (uint64_t)idx % HIST_HALF + HIST_HALF;
    return ((top + 1) << shift) - 1;
}

static void hist_record(histogram *h, uint64_t v) {
    h->counts[hist_index(v)]++;
    h->total++;
    if (v > h->max)
        h->max = v;
}

static void hist_merge(histogram *into, const histogram *from) {
    for (int i = 0; i < HIST_BUCKETS; i++)
        into->counts[i] += from->counts[i];
    into->total += from->total;
    if (from->max > into->max)
        into->max = from->max;
}

// The value at quantile q: the top of the bucket holding that rank, never above the maximum.
static uint64_t hist_quantile(const histogram *h, double q) {
    if (h->total == 0)
        return 0;
    uint64_t rank = (uint64_t)(q * (double)h->total + 0.999999);
    if (rank < 1)
        rank = 1;
    uint64_t seen = 0;
    for (int i = 0; i < HIST_BUCKETS; i++) {
        seen += h->counts[i];
        if (seen >= rank)
            return hist_bucket_high(i) < h->max ? hist_bucket_high(i) : h->max;
    }
    return h->max;
}

// ---- connections -------------------------------------------------------------------------

static int socket_connect(const char *path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

// As many descriptors as the hard limit allows: a thousand idle connections need them.
static void fd_limit_raise(void) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Take one more message from the budget of a counted run; timed runs always may send.
static bool budget_take(void) {
    if (opts.messages <= 0)
        return true;
    return messages_left.fetch_sub(1, std::memory_order_relaxed) > 0;
}

// Send the next message unless the run is over. False when nothing went out.
static bool message_send(worker_state *w, conn_state *c) {
    uint64_t t = now_ns();
    if (t >= window_end_ns || !budget_take())
        return false;
    c->sent_ns = t;
    c->reply_len = 0;
    ssize_t n = send(c->fd, opts.message.data(), opts.message.size(), MSG_NOSIGNAL);
    if (n == (ssize_t)opts.message.size()) {
        c->busy = true;
        w->in_flight++;
        return true;
    }
    w->errors++;
    return false;
}

// A complete reply is in: check it, record its latency, and send again.
static void reply_finish(worker_state *w, conn_state *c) {
    uint64_t t = now_ns();
    c->busy = false;
    w->in_flight--;
    if (c->reply_len != sizeof REPLY_OK - 1 || memcmp(c->reply, REPLY_OK, c->reply_len) != 0)
        w->errors++;
    if (c->sent_ns >= window_start_ns) {
        hist_record(&w->hist, t - c->sent_ns);
        w->done++;
        last_reply_ns.store(t, std::memory_order_relaxed);
    }
    message_send(w, c);
}

// Take what has arrived on c. False when the connection is finished with (closed or failed).
static bool reply_read(worker_state *w, conn_state *c, int flags) {
    ssize_t n = recv(c->fd, c->reply + c->reply_len, REPLY_MAX - c->reply_len, flags);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        w->errors++;  // the server closed or the wait ran out: the reply is lost
        if (c->busy)
            w->in_flight--;
        c->busy = false;
        return false;
    }
    if (!c->busy) {
        w->errors++;  // bytes nobody asked for
        return true;
    }
    c->reply_len += (size_t)n;
    if (memchr(c->reply, '\n', c->reply_len) || c->reply_len == REPLY_MAX)
        reply_finish(w, c);
    return true;
}

// ---- worker loops ------------------------------------------------------------------------

// One connection: send, block for the reply, again. A receive time-out ends a hung run.
static void worker_run_blocking(worker_state *w) {
    conn_state *c = &w->conns[0];
    timeval tv = {(time_t)(REPLY_GRACE_NS / NS_PER_SEC), 0};
    setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    message_send(w, c);
    while (c->busy && reply_read(w, c, 0)) {
    }
}

static int epoll_setup(worker_state *w) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < w->conns.size(); i++) {
        epoll_event ev;
        memset(&ev, 0, sizeof ev);
        ev.events = EPOLLIN;
        ev.data.ptr = &w->conns[i];
        epoll_ctl(ep, EPOLL_CTL_ADD, w->conns[i].fd, &ev);
    }
    return ep;
}

// Several connections on one epoll set, until none has a message in flight.
static void worker_run_epoll(worker_state *w) {
    int ep = epoll_setup(w);
    for (conn_state &c : w->conns)
        message_send(w, &c);
    epoll_event events[EVENTS_MAX];
    while (w->in_flight > 0) {
        int ready = epoll_wait(ep, events, EVENTS_MAX, WAIT_SLICE_MS);
        for (int i = 0; i < ready; i++) {
            conn_state *c = (conn_state *)events[i].data.ptr;
            if (!reply_read(w, c, MSG_DONTWAIT))
                epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);  // closed: would report for ever
        }
        if (ready == 0 && now_ns() >= window_end_ns + REPLY_GRACE_NS) {
            w->errors += w->in_flight;  // replies that never came
            break;
        }
    }
    close(ep);
}

// The reply to c's message through the C client library has come (or the call waited for it):
// count it.
static void client_reply_count(worker_state *w, conn_state *c, int result) {
    uint64_t done = now_ns();
    if (result != HALVEX_CLIENT_ACCEPTED)
        w->errors++;
    if (c->sent_ns >= window_start_ns) {
        hist_record(&w->hist, done - c->sent_ns);
        w->done++;
        last_reply_ns.store(done, std::memory_order_relaxed);
    }
}

// Start c's next message through the library, watched on ep; false when the run is over.
static bool client_start(worker_state *w, conn_state *c, int ep) {
    c->sent_ns = now_ns();
    if (c->sent_ns >= window_end_ns || !budget_take())
        return false;
    if (halvex_client_send_start(c->client, opts.message.c_str(), 0) != HALVEX_CLIENT_PENDING) {
        w->errors++;
        return false;
    }
    if (halvex_client_fd(c->client) != c->fd) {  // a new connection
        c->fd = halvex_client_fd(c->client);
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev);
    }
    w->in_flight++;
    return true;
}

// Connections through the C client library: one sends and waits in each call; several start
// their messages and take each reply once epoll says it is in.
static void worker_run_client(worker_state *w) {
    const int timeout_ms = (int)(REPLY_GRACE_NS / 1000000);
    conn_state *one = &w->conns[0];
    if (w->conns.size() == 1) {
        while ((one->sent_ns = now_ns()) < window_end_ns && budget_take())
            client_reply_count(
                w, one, halvex_client_send_json(one->client, opts.message.c_str(), timeout_ms));
        return;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (conn_state &c : w->conns)
        client_start(w, &c, ep);
    epoll_event events[EVENTS_MAX];
    while (w->in_flight > 0) {
        int ready = epoll_wait(ep, events, EVENTS_MAX, WAIT_SLICE_MS);
        for (int i = 0; i < ready; i++) {
            conn_state *c = (conn_state *)events[i].data.ptr;
            w->in_flight--;
            client_reply_count(w, c, halvex_client_send_wait(c->client, timeout_ms));
            client_start(w, c, ep);
        }
    }
    close(ep);
}

static void worker_thread_func(worker_state *w) {
    if (opts.client_lib)
        worker_run_client(w);
    else if (w->conns.size() == 1)
        worker_run_blocking(w);
    else
        worker_run_epoll(w);
}

// ---- command line and report -------------------------------------------------------------

static void usage_exit(void) {
    fputs(
        "Usage: loadgen [--socket PATH] [--conns N] [--threads M] [--idle K]\n"
        "               [--message TEXT] [--duration SEC] [--warmup SEC] [--messages N] [--kv]\n"
        "               [--client-lib]\n"
        "Closed loop: each of N connections keeps one message in flight; K more connections\n"
        "stay open and silent. --messages N stops after N messages (no warm-up) instead of\n"
        "after --duration. --kv prints one line of key=value pairs. --client-lib sends\n"
        "through the C client library.\n",
        stderr);
    exit(64);
}

static bool option_apply(const std::string &name, const char *v) {
    if (name == "--socket")
        opts.socket_path = v;
    else if (name == "--message")
        opts.message = v;
    else if (name == "--conns")
        opts.conns = atoi(v);
    else if (name == "--threads")
        opts.threads = atoi(v);
    else if (name == "--idle")
        opts.idle = atoi(v);
    else if (name == "--duration")
        opts.duration_s = atof(v);
    else if (name == "--warmup")
        opts.warmup_s = atof(v);
    else if (name == "--messages")
        opts.messages = atoll(v);
    else
        return false;
    return true;
}

static void options_parse(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--kv")
            opts.kv = true;
        else if (name == "--client-lib")
            opts.client_lib = true;
        else if (i + 1 >= argc || !option_apply(name, argv[++i]))
            usage_exit();
    }
    if (opts.conns < 0 || opts.threads < 1 || opts.idle < 0 || opts.message.empty())
        usage_exit();
    if (opts.threads > opts.conns && opts.conns > 0)
        opts.threads = opts.conns;
}

static void report_print(const histogram *h, uint64_t done, uint64_t errors, double secs) {
    double us = 1e-3;
    double rate = secs > 0 ? (double)done / secs : 0;
    const char *fmt = opts.kv ? "conns=%d threads=%d idle=%d secs=%.3f msgs=%llu errors=%llu "
                                "msgs_per_s=%.0f p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f\n"
                              : "connections %d (threads %d, idle %d), %.3f s: %llu messages, "
                                "%llu errors\n%.0f msgs/s  latency p50 %.1f us  p99 %.1f us  "
                                "p99.9 %.1f us  max %.1f us\n";
    printf(fmt, opts.conns, opts.threads, opts.idle, secs, (unsigned long long)done,
           (unsigned long long)errors, rate, hist_quantile(h, 0.5) * us,
           hist_quantile(h, 0.99) * us, hist_quantile(h, 0.999) * us, h->max * us);
}

// Deal the active connections out to the threads in turn; no connection, no thread.
static std::vector<worker_state *> workers_create(void) {
    std::vector<worker_state *> workers;
    for (int t = 0; t < opts.threads && t < opts.conns; t++)
        workers.push_back(new worker_state());  // value-initialised: empty histogram
    for (int i = 0; i < opts.conns; i++) {
        conn_state c;
        memset(&c, 0, sizeof c);
        c.fd = opts.client_lib ? -1 : socket_connect(opts.socket_path.c_str());
        c.client = opts.client_lib ? halvex_client_open(opts.socket_path.c_str(), 0) : nullptr;
        if (opts.client_lib && !c.client) {
            perror("halvex_client_open");
            exit(1);
        }
        workers[(size_t)i % workers.size()]->conns.push_back(c);
    }
    return workers;
}

// A timed run counts from the end of the warm-up; a counted run from its first message.
static void window_set(void) {
    uint64_t start = now_ns();
    if (opts.messages > 0) {
        messages_left.store(opts.messages);
        window_start_ns = start;
        window_end_ns = UINT64_MAX - REPLY_GRACE_NS;
    } else {
        window_start_ns = start + (uint64_t)(opts.warmup_s * 1e9);
        window_end_ns = window_start_ns + (uint64_t)(opts.duration_s * 1e9);
    }
}

// Run every worker to its end, then add up what they measured. Returns the error count.
static uint64_t workers_run(std::vector<worker_state *> &workers) {
    std::vector<std::thread> threads;
    for (worker_state *w : workers)
        threads.emplace_back(worker_thread_func, w);
    histogram *total = new histogram();
    uint64_t done = 0, errors = 0;
    for (size_t t = 0; t < threads.size(); t++) {
        threads[t].join();
        hist_merge(total, &workers[t]->hist);
        done += workers[t]->done;
        errors += workers[t]->errors;
    }
    uint64_t end = opts.messages > 0 ? last_reply_ns.load() : window_end_ns;
    double secs = end > window_start_ns ? (double)(end - window_start_ns) / 1e9 : 0;
    report_print(total, done, errors, secs);
    return errors;
}

int main(int argc, char **argv) {
    options_parse(argc, argv);
    fd_limit_raise();
    std::vector<int> idle_fds;  // held open, silent, until the process ends
    for (int i = 0; i < opts.idle; i++)
        idle_fds.push_back(socket_connect(opts.socket_path.c_str()));
    std::vector<worker_state *> workers = workers_create();
    window_set();
    if (opts.conns == 0)
        usleep((useconds_t)((opts.warmup_s + opts.duration_s) * 1e6));
    return workers_run(workers) == 0 ? 0 : 1;
}
