// main.cpp -- start-up of the map point relay: configuration, socket, threads, accept loop.
//
// THREADS
// -------
//
// Start-up runs alone: it reads every key (config.cpp), applies them, creates the socket and
// the queue, then starts the threads below in this order. None of them is joined.
//
//   log writer -- log.cpp, started before the configuration is read. Owns the full half of
//                 the log's double buffer: swaps halves under log_lock, writes with no lock.
//   signal     -- stopping.cpp. SIGINT, SIGTERM and SIGUSR1 are blocked in every thread and
//                 taken here with sigwaitinfo(), so no handler ever runs. Owns the stop's
//                 start time; SIGUSR1 prints the counters line.
//   exposer    -- metrics.cpp, only when metrics_listen is set: the HTTP server's accepting
//                 thread and its workers. They read relaxed atomics and take no lock of ours.
//   notifier   -- sd_service.cpp, only under systemd (NOTIFY_SOCKET set), started once the
//                 receiver runs: sends STATUS= every 5 s and WATCHDOG=1 while neither the
//                 receiver nor the sender has been busy for too long (their progress marks are
//                 relaxed atomics). Waits in poll() on the stop descriptor; takes no lock.
//   sender     -- sender.cpp and delivery.cpp. Waits for points, pauses so that points sent
//                 close together travel in one post, drains the queue into a batch it then
//                 owns, and posts it with no lock held; the queue takes a failed batch back.
//   receiver   -- receiver.cpp. Owns the epoll set and every connection once registered (it
//                 alone closes and frees them). Waits with no lock held, then under conn_lock
//                 reads one message per ready connection, appends accepted points (taking
//                 queue_lock inside conn_lock) and sends the pass's replies.
//   main       -- after start-up, the accept loop (listener.cpp): takes conn_lock only to
//                 push a new connection at the head of the list, then writes a wake byte.
//                 When the loop returns, main runs the stop.
//
// LOCKS
// -----
//
// Taken in this order, never the other way round:
//
//   conn_lock -> queue_lock      the receiver only; nothing is taken inside queue_lock
//   conn_lock -> log_lock        a receiver's line about a message or a client
//   stop_report_lock -> log_lock the stop and counters lines, printed once
//
// log_lock is always the last: log.cpp takes nothing inside it, and the queue prints its
// full and room lines after letting queue_lock go. drain_lock (delivery.cpp: the drain's
// deadline and end) is taken alone. The client's deadline and every counter are atomics.
//
// THE WAKE PIPE
// -------------
//
// The accept loop writes one '*' per new connection; the pipe's read end is the last node of
// the connection list and is in the receiver's epoll set, so the receiver's wait returns and
// it registers every node above the head it registered last.
//
// THE STOP
// --------
//
//   1. SIGINT or SIGTERM: the signal thread notes the time, sets the client's deadline to
//      STOP_DEADLINE_USEC less STOP_REPORT_USEC later (a post in flight is cut then),
//      and calls listener_stop(): a socket the service made itself is removed (no new client
//      finds the service) and shut down; one that systemd passed stays listening, so clients
//      wait in its backlog for the next process. Either way the stop descriptor is written.
//   2. The accept loop sees the stop descriptor and returns; main sends STOPPING=1 under
//      systemd and calls service_stop().
//   3. service_stop gives the drain the same deadline, then closes the queue: appends are
//      refused (those points are answered FAILED) and the sender's wait or sleep ends.
//   4. The sender posts what is held, without waiting for the interval (but a retry after a
//      post failed in transit keeps it, and at least 200 ms), until the queue is empty or the
//      deadline comes, then says the drain is over. main waits for that, or for the
//      deadline and STOP_CUT_WAIT_USEC for a post being cut.
//   5. main prints the stop and counters lines (what is still held counts as lost, or
//      unconfirmed if a post that has not answered carried it), waits for the log writer
//      to write them, and ends the process with _exit(0). The receiver and clients still
//      connected simply end with it.
//
// A second SIGINT or SIGTERM prints those lines at once (or waits for them while main is
// printing them), writes them out within STOP_REPORT_USEC and ends the process with 0.
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

#include "config.h"
#include "delivery.h"
#include "halvex_mapapi.h"
#include "listener.h"
#include "log.h"
#include "metrics.h"
#include "point_queue.h"
#include "receiver.h"
#include "sd_service.h"
#include "security.h"
#include "sender.h"
#include "stopping.h"

// Blocks from this size up get a mapping of their own, returned to the system when freed.
static const int ALLOC_MMAP_THRESHOLD = 128 * 1024;
// Free memory above this at the top of a heap is returned to the system.
static const int ALLOC_TRIM_THRESHOLD = 128 * 1024;

// The client copies what it keeps into buffers of its own.
static void client_apply(const service_config *cfg) {
    halvex_mapapi_init(cfg->map_id.c_str(), cfg->map_key.c_str());
    if (!cfg->endpoint.empty())
        halvex_mapapi_set_endpoint(cfg->endpoint.c_str());
    halvex_mapapi_set_keep_alive(cfg->keep_alive);
}

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

// --help or -h: what the service is and where its configuration comes from; --version. Any
// other argument is ignored, as arguments always were. Returns whether one was answered.
static bool options_answer(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("halvex_mapapi_server %s\n", HALVEX_VERSION);
            return true;
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf(
                "Usage: halvex_mapapi_server [-h | --help | --version]\n"
                "Relays map points from local programs (one JSON point per message on a Unix\n"
                "socket) to the live-map service over HTTPS, in batches.\n"
                "Configuration: %s if it exists,\n"
                "otherwise %s in the working directory.\n"
                "See man halvex_mapapi_server.\n",
                SYSTEM_CONFIG_PATH, LOCAL_CONFIG_PATH);
            return true;
        }
    }
    return false;
}

// The endpoint as the start line shows it: a user name and password in the URL are hidden.
static std::string endpoint_shown(const std::string &endpoint) {
    size_t host = endpoint.find("://");
    host = host == std::string::npos ? 0 : host + 3;
    size_t at = endpoint.find('@', host);
    if (at == std::string::npos || at > endpoint.find('/', host))
        return endpoint;
    return endpoint.substr(0, host) + "...@" + endpoint.substr(at + 1);
}

// Once the service serves: which configuration it read and what it does with it, so that an
// operator sees at once when another file than the one meant was read. Never the map key.
static void start_line_print(const char *config_path, const service_config *cfg) {
    std::string where = listener_activated() ? "the socket systemd passed" : cfg->sock_path;
    std::string endpoint = cfg->endpoint.empty() ? HALVEX_DEFAULT_ENDPOINT_URL : cfg->endpoint;
    char full[PATH_MAX];
    log_printf("Listening on %s (configuration %s; posting to %s; interval %lld us).",
               where.c_str(), realpath(config_path, full) ? full : config_path,
               endpoint_shown(endpoint).c_str(), (long long)cfg->send_interval_usec);
}

int main(int argc, char **argv) {
    std_fds_fill();  // before anything opens a descriptor
    if (options_answer(argc, argv))
        return 0;
    // A client or the map service closing its end mid-write, or a closed standard output, must
    // not end the process: ignored before the log writer or anything else can write.
    signal(SIGPIPE, SIG_IGN);
    signals_block();  // before any thread starts, so that every thread inherits the mask
    // Line-buffered, so each printed line reaches a log reading through a pipe at once.
    setvbuf(stdout, NULL, _IOLBF, 0);
    allocator_bound();  // process-wide, so before any thread starts
    log_start();

    // Static: the socket path outlives start-up, the signal thread reads it.
    static service_config config;
    const char *config_path = config_path_choose();
    config_read(config_path, &config);  // every key checked before anything is opened
    client_apply(&config);
    config_exposure_warn(config_path);
    security_apply(&config);

    int listen_fd = listener_create(config.sock_path.c_str());
    signals_start(config.sock_path.c_str(), listen_fd);

    static point_queue queue;
    queue_create(&queue);
    queue.send_interval_usec = config.send_interval_usec;
    queue.max_points = config.max_queued_points;
    delivery_set_max_post_points(config.max_post_points);
    // After the socket: a second service on a path in use says so, not that the port is taken.
    metrics_start(config.metrics_listen.c_str(), &config.metrics_addr, queue.max_points);
    pthread_t sender;
    pthread_create(&sender, NULL, sending_thread_func, &queue);

    static rcv_thread_args rcv_args;
    conn_list_create(&rcv_args, &queue);
    rcv_set_create();  // now, while the accept loop cannot yet have used up the descriptors
    pthread_t receiver;
    pthread_create(&receiver, NULL, rcv_sock_thread_func, &rcv_args);
    sd_service_ready();  // under systemd: READY=1, then the status and watchdog thread
    start_line_print(config_path, &config);

    accept_loop(listen_fd, &rcv_args);  // until SIGINT or SIGTERM
    sd_service_stopping();              // accepting no more: STOPPING=1 under systemd
    service_stop(&queue);
    return 0;
}
