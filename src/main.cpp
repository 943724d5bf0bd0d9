// main.cpp -- start-up of the map point relay: configuration, socket, threads, accept loop.
//
// DESIGN
// ------
//
// Points travel down the folders of src/: intake/ takes each message from a local client,
// checks it and answers at once; outbox/ holds the accepted points and posts them in batches,
// paced by the send interval; mapapi/ is the map service's client, which knows nothing of the
// service. base/ (log, counters, clock, the stop) serves all of them. The top of src/ starts
// and stops the service: configuration, signals, metrics, systemd. A client never waits for
// the map service: no lock is held while posting, and the log is written by a thread of its
// own.
//
// THE STORE: the points answered OK wait in the outbox (outbox/outbox.h), a store of one of
// two kinds chosen once, here, at start (store_choose()): the point queue in memory, or with
// spool_dir the spool's files. The receiver puts points into it, the sender takes, settles and
// puts back batches, the stop closes it and asks what it keeps, a reload sets its age limit,
// the metrics ask why it refuses points: none of them asks which kind it is. Every point is in
// one state of the ledger (base/counters.h): carried in + accepted = posted + refused + lost +
// expired + unconfirmed + set aside + held.
//
// THREADS (in the order main starts them; none is joined)
//
//   log writer -- base/log.cpp, before the configuration is read: writes every line, so no
//                 other thread waits for standard output.
//   spool sync -- outbox/spool_write.cpp, with spool_dir and spool_sync_usec > 0, started when
//                 the store is chosen: syncs what was written every spool_sync_usec, and a
//                 file the receiver has finished at once, then closes it.
//   signal     -- lifecycle.cpp, once the socket, the stop descriptor and the outbox exist:
//                 takes SIGINT, SIGTERM, SIGUSR1 and SIGHUP (blocked everywhere else), begins
//                 the stop, or reloads the configuration (reload.cpp).
//   exposer    -- metrics.cpp, with metrics_listen: the HTTP server's threads; read atomics,
//                 and ask the store why it refuses points (no lock of the receiver's or the
//                 sender's).
//   sender     -- outbox/sender.cpp: waits for points, pauses (what is left of the interval,
//                 else collect_pause_usec), takes a batch from the store that it owns and
//                 posts it with no lock held (outbox/delivery.cpp); with a spool the take
//                 reads the batch back from the spool's files. Before each post
//                 it applies the map client settings a reload offered; once posting has begun
//                 no other thread sets the client up.
//   receiver   -- intake/receiver.cpp: owns the epoll set and closes every connection; reads
//                 one message per ready connection, puts it into the store (with a spool:
//                 stores it into the spool's file) and answers it at once; returns when the
//                 stop ends its reading.
//   notifier   -- notifier.cpp, under systemd only: STATUS= when it changed, WATCHDOG=1 while
//                 the receiver and the sender make progress.
//   reach      -- reach.cpp, after the start line: tries the map service once, prints whether
//                 it answers and ends; holds a reload's client settings back meanwhile.
//   main       -- the accept loop (intake/listener.cpp), then the stop (lifecycle.cpp).
//
// LOCKS, always in this order: conn_lock (the connection list) -> queue_lock (the point
// queue) -> log_lock (the log's buffer); conn_lock -> spool_lock (the spool's files, never
// with queue_lock) -> log_lock; conn_lock -> ready_lock (the outbox's handshake, taken alone
// beside the store's lock); stop_report_lock -> log_lock; stop_lock (base/stop.cpp) is taken
// alone; settings_lock (outbox/client_settings.cpp: the client settings a reload offers) ->
// log_lock. Debug builds check the order at every lock (base/lock_rank.h).
// Counters and figures are atomics that nobody waits on, and so are the four settings a
// reload changes in place: the send interval, the collect pause, max_post_points and the
// store's age limit.
//
// THE START: every key is read and checked through one table (config_values.cpp: reader,
// default, what a reload does with it, what it needs from the system), and what the keys need
// (the CA file's certificates, the socket's folder and path, its group, the metrics port, the
// spool's folder) is looked at before anything is made; --check runs the same and ends there.
// Then config_apply() hands the keys on, and the spool, the socket and the threads are made.
//
// THE RELOAD: SIGHUP reads the file the start read again (config_check(), the CA file's
// certificates checked); one that cannot be used is refused whole. Otherwise the keys the
// table says change in place go through config_apply() (the interval, the collect pause and
// max_post_points at once, the client's settings offered to the sender) and the store's age
// limit is set; the keys that need a new socket or listener, max_queued_points and the spool's
// other keys keep their values.
//
// THE WAKE PIPE carries one byte from the accept loop to the receiver per new connection; its
// read end is the last node of the connection list and sits in the receiver's epoll set.
//
// THE STOP: SIGINT or SIGTERM begins it (base/stop.cpp: its time, its descriptor, and a
// deadline that cuts the post in flight); the accept loop sees the descriptor, removes the
// socket it made and returns; main runs lifecycle_stop(): STOPPING=1, the outbox closed (the
// store refuses new points), the sender's drain until the deadline, the receiver's reading
// ended (its pass in progress answered), the store's finish, the stop and counters lines,
// exit 0 within 5 s. A second signal ends the reading and prints those lines at once, and
// exits. A store that keeps what it holds (the spool) makes the stop post nothing: the post
// in flight is cut at once, what was written is synced, and it exits within 1 s.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/counters.h"
#include "base/log.h"
#include "base/stop.h"
#include "config.h"
#include "config_apply.h"
#include "intake/listener.h"
#include "intake/receiver.h"
#include "lifecycle.h"
#include "mapapi/halvex_mapapi.h"
#include "metrics.h"
#include "notifier.h"
#include "outbox/outbox.h"
#include "outbox/point_queue.h"
#include "outbox/sender.h"
#include "outbox/spool.h"
#include "reach.h"
#include "reload.h"

// Blocks from this size up get a mapping of their own, returned to the system when freed.
static const int ALLOC_MMAP_THRESHOLD = 128 * 1024;
// Free memory above this at the top of a heap is returned to the system.
static const int ALLOC_TRIM_THRESHOLD = 128 * 1024;

// A busy second's queue array and batch body run to megabytes. With the allocator's default
// sliding thresholds, freeing them once raises the mmap threshold to their size, and every
// later one is carved from the threads' heaps and kept there after it is freed, so the
// service would stay at its busiest size for good. Fixed thresholds (the allocator's own
// starting values) keep large blocks mapped on their own and unmapped when freed, and let the
// heaps shrink, so an idle service returns to its idle size.
static void allocator_bound(void) {
    mallopt(M_MMAP_THRESHOLD, ALLOC_MMAP_THRESHOLD);
    mallopt(M_TRIM_THRESHOLD, ALLOC_TRIM_THRESHOLD);
}

// Started with descriptor 0, 1 or 2 closed, the process would hand that number to the first
// file it opens: the listening socket could become standard output, and the log would write
// into it. Each one closed gets /dev/null (the lowest free number, so the one that is missing).
static void std_fds_fill(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
}

// Status of a run given arguments it cannot take (EX_USAGE of sysexits.h).
static const int USAGE_STATUS = 64;
static const char USAGE[] =
    "Usage: halvex_mapapi_server [-c FILE | --config FILE] [--check]\n"
    "       halvex_mapapi_server [-h | --help | --version]\n";

// The options of a run.
struct run_options {
    const char *config_path;  // --config FILE, --config=FILE or -c FILE; NULL: the lookup
    bool check;               // --check: check the configuration, say what it gives
};

// An argument that is no option ends the run with the usage, before anything is opened: a
// mistyped option (--chek, -config FILE) must not start the service it was meant to spare.
static void usage_exit(const char *what, const char *arg) __attribute__((noreturn));
static void usage_exit(const char *what, const char *arg) {
    fprintf(stderr, "halvex_mapapi_server: %s %s (see --help).\n%s", arg, what, USAGE);
    exit(USAGE_STATUS);
}

static void options_read(int argc, char **argv, run_options *opt) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        bool named = strcmp(arg, "--config") == 0 || strcmp(arg, "-c") == 0;
        if (strcmp(arg, "--check") == 0)
            opt->check = true;
        else if (strncmp(arg, "--config=", 9) == 0 && arg[9])
            opt->config_path = arg + 9;
        else if (named && i + 1 < argc)
            opt->config_path = argv[++i];
        else if (named || strncmp(arg, "--config=", 9) == 0)
            usage_exit("needs the configuration file after it", arg);
        else
            usage_exit("is not an option", arg);
    }
}

// --help or -h: what the service is and where its configuration comes from; --version.
// Returns whether one was answered.
static bool options_answer(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("halvex_mapapi_server %s\n", HALVEX_VERSION);
            return true;
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf(
                "%s"
                "Relays map points from local programs (one JSON point per message on a Unix\n"
                "socket) to the live-map service over HTTPS, in batches.\n"
                "Configuration: FILE when given, else %s if it exists,\n"
                "otherwise %s in the working directory.\n"
                "--check runs every check a start runs, creating and binding nothing, prints\n"
                "every warning and what would be used, and exits 0 (usable) or 1.\n"
                "See man halvex_mapapi_server.\n",
                USAGE, SYSTEM_CONFIG_PATH, LOCAL_CONFIG_PATH);
            return true;
        }
    }
    return false;
}

// The endpoint as the start line shows it: a user name and password in the URL are hidden, and
// so is the map key wherever it is written (a query value, a path segment).
static std::string endpoint_shown(const std::string &endpoint, const std::string &key) {
    size_t host = endpoint.find("://");
    host = host == std::string::npos ? 0 : host + 3;
    size_t at = endpoint.find('@', host);
    std::string url = endpoint;
    if (at != std::string::npos && at < endpoint.find('/', host))
        url = endpoint.substr(0, host) + "...@" + endpoint.substr(at + 1);
    std::vector<char> shown(url.size() * 3 + 1);  // room for "***" in place of each byte
    size_t n =
        halvex_mapapi_key_hide(url.data(), url.size(), key.c_str(), shown.data(), shown.size() - 1);
    return std::string(shown.data(), n);
}

static std::string endpoint_in_use(const service_config *cfg) {
    return cfg->endpoint.empty() ? HALVEX_DEFAULT_ENDPOINT_URL : cfg->endpoint;
}

// What the service does with its configuration, as the start line and --check tell it, so
// that an operator sees at once when another file than the one meant was read. Never the key.
static std::string config_facts(const char *config_path, const service_config *cfg) {
    char full[PATH_MAX];
    std::string facts = std::string("configuration ") +
                        (realpath(config_path, full) ? full : config_path) + "; posting to " +
                        endpoint_shown(endpoint_in_use(cfg), cfg->map_key) + "; interval " +
                        std::to_string(cfg->send_interval_usec) + " us";
    if (!cfg->metrics_listen.empty())
        facts += "; metrics on http://" + cfg->metrics_listen + "/metrics";
    if (!cfg->spool_dir.empty())
        facts += "; spool " + cfg->spool_dir;
    return facts;
}

static void start_line_print(const char *config_path, const service_config *cfg) {
    std::string where = listener_activated() ? "the socket systemd passed" : cfg->sock_path;
    log_printf("Listening on %s (%s).", where.c_str(), config_facts(config_path, cfg).c_str());
}

// The configuration read and checked for everything a start needs, before anything is made,
// and its lines printed: a start that could not use it ends here with status 1, as --check
// does; --check then says what a start would use, and ends.
static const char *config_take(const run_options *opt, service_config *cfg) {
    const char *path = opt->config_path ? opt->config_path : config_path_choose();
    std::vector<config_line> lines;
    int rc = config_check(path, opt->check ? CONFIG_FOR_CHECK : CONFIG_FOR_START, cfg, &lines);
    config_lines_print(lines);
    if (rc != 0)
        log_exit(1);
    if (opt->check) {
        log_printf("Configuration usable: would listen on %s (%s).", cfg->sock_path.c_str(),
                   config_facts(path, cfg).c_str());
        log_exit(0);
    }
    return path;
}

// The store of the points answered OK, chosen here once: with spool_dir the spool's files
// (the folder opened and locked, and what an earlier run left read, before the socket exists,
// so that a spool that cannot be used ends start-up first), else the point queue in memory.
// Nothing else asks which it is.
static const outbox_kind *store_choose(const service_config *cfg) {
    if (cfg->spool_dir.empty())
        return queue_store_open(cfg->max_queued_points);
    spool_settings s = {cfg->spool_dir,       cfg->map_id,          cfg->spool_max_bytes,
                        cfg->spool_max_age_sec, cfg->spool_sync_usec, cfg->max_queued_points};
    const outbox_kind *spool = spool_store_open(&s);
    if (!spool)
        log_exit(1);
    return spool;
}

int main(int argc, char **argv) {
    std_fds_fill();  // before anything opens a descriptor
    if (options_answer(argc, argv))
        return 0;
    run_options options = {NULL, false};
    options_read(argc, argv, &options);
    // A client or the map service closing its end mid-write, or a closed standard output, must
    // not end the process: ignored before the log writer or anything else can write.
    signal(SIGPIPE, SIG_IGN);
    lifecycle_signals_block();  // before any thread starts, so that every thread inherits the mask
    // Line-buffered, so each printed line reaches a log reading through a pipe at once.
    setvbuf(stdout, NULL, _IOLBF, 0);
    allocator_bound();  // process-wide, so before any thread starts
    log_start();

    // Static: the listener keeps the socket path to remove the socket at the stop.
    static service_config config;
    const char *config_path = config_take(&options, &config);  // nothing is made before
    const outbox_kind *store = store_choose(&config);

    stop_create();
    static outbox box;
    outbox_start(&box, store, config.send_interval_usec);
    config_apply(&config, &box, 1);
    int listen_fd = listener_create(config.sock_path.c_str());
    reload_setup(config_path, &config, &box);  // before a SIGHUP can be taken
    lifecycle_signals_start(&box);

    // After the socket: a second service on a path in use says so, not that the port is taken.
    metrics_start(config.metrics_listen.c_str(), &config.metrics_addr, &box);
    pthread_t sender;
    pthread_create(&sender, NULL, sending_thread_func, &box);

    static rcv_thread_args rcv_args;
    conn_list_create(&rcv_args, &box);
    rcv_set_create(&rcv_args);  // now, before the accept loop can use up the descriptors
    pthread_t receiver;
    pthread_create(&receiver, NULL, rcv_sock_thread_func, &rcv_args);
    notifier_ready();  // under systemd: READY=1, then the status and watchdog thread
    start_line_print(config_path, &config);
    // Counted before the probe's thread opens its connection, which would lower it for good.
    int conn_limit = listener_conn_limit(metrics_fds_reserved());
    reach_check_start(endpoint_shown(endpoint_in_use(&config), config.map_key).c_str(),
                      config.endpoint.empty());

    listener_accept_loop(listen_fd, &rcv_args, conn_limit);  // until a stop
    lifecycle_stop();
}
