// main.cpp -- start-up of the map point relay: configuration, socket, threads, accept loop.
//
// Design note.
//
// Three threads, started here in this order and never stopped:
//   main     -- after start-up runs the accept loop: takes conn_lock only to push a new
//               connection at the head of the list, then writes one wake byte to the pipe.
//   sender   -- sending_thread_func: waits for points_ready, pauses so that points sent close
//               together travel in one post, drains the queue under queue_lock and posts the
//               batch with no lock held.
//   receiver -- rcv_sock_thread_func: waits for readable descriptors with no lock held; then,
//               under conn_lock, reads one message per ready connection, answers it and
//               appends accepted points to the queue (taking queue_lock inside conn_lock).
//
// Lock order: conn_lock, then queue_lock. Only the receiver nests them; the accept loop takes
// conn_lock alone and the sender queue_lock alone.
//
// The wake pipe carries one '*' per accepted connection from the accept loop to the receiver,
// whose wait then returns so that it starts watching the new connection at once.
//
// The client's credentials and endpoint are written here before any thread starts and only
// read afterwards. SIGINT, SIGTERM and SIGUSR1 are blocked before any thread starts and taken
// by a fourth thread, the signal thread (stopping.cpp). On SIGINT or SIGTERM it removes the
// socket file and shuts the listening socket down; the accept loop then returns, and main
// closes the queue, lets the sender drain it within the stop deadline, and exits with 0.
#include <INIReader.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "delivery.h"
#include "halvex_mapapi.h"
#include "listener.h"
#include "log.h"
#include "metrics.h"
#include "point_queue.h"
#include "protocol.h"
#include "receiver.h"
#include "security.h"
#include "sender.h"
#include "stopping.h"

static const char SYSTEM_CONFIG_PATH[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";
static const char LOCAL_CONFIG_PATH[] = "halvex_mapapi_server.ini";
// Longest accepted send interval: 15 minutes, in microseconds.
static const int64_t SEND_INTERVAL_MAX_USEC = 900000000;
// Blocks from this size up get a mapping of their own, returned to the system when freed.
static const int ALLOC_MMAP_THRESHOLD = 128 * 1024;
// Free memory above this at the top of a heap is returned to the system.
static const int ALLOC_TRIM_THRESHOLD = 128 * 1024;

// Most points the queue may be set to hold: at about 40 bytes a record, 400 MB.
static const long long MAX_QUEUED_POINTS_MAX = 10000000;

// The socket path, read by the signal thread; set once before that thread starts.
static const char *unix_sock_path = HALVEX_DEFAULT_SOCK_PATH;

// The system file when it exists (even if unreadable), else the working directory's.
static const char *config_path_choose(void) {
    return access(SYSTEM_CONFIG_PATH, F_OK) == 0 ? SYSTEM_CONFIG_PATH : LOCAL_CONFIG_PATH;
}

// The client copies what it keeps into buffers of its own.
static void credentials_apply(const INIReader &config) {
    std::string map_id = config.Get("", "map_id", "");
    std::string map_key = config.Get("", "map_key", "");
    if (map_id.empty() || map_key.empty()) {
        fputs("Enter map_id and map_key in your config file.", stdout);
        exit(1);
    }
    halvex_mapapi_init(map_id.c_str(), map_key.c_str());
    std::string endpoint = config.Get("", "map_api_endpoint", "");
    if (!endpoint.empty())
        halvex_mapapi_set_endpoint(endpoint.c_str());
}

// The operator's opt-in security keys. A value that cannot be honoured ends start-up: a
// service that quietly ignored it would run more open than its operator believes.
static void security_apply(const INIReader &config) {
    std::string verify = config.Get("", "map_api_verify_tls", "");
    std::string ca_file = config.Get("", "map_api_ca_file", "");
    std::string mode = config.Get("", "unix_sock_mode", "");
    std::string group = config.Get("", "unix_sock_group", "");
    security_options opt;
    if (security_options_parse(verify.c_str(), ca_file.c_str(), mode.c_str(), group.c_str(),
                               &opt) != 0)
        log_exit(1);
    int rc = halvex_mapapi_set_tls_verify(opt.verify_tls, opt.ca_file);
    if (rc == HALVEX_MAPAPI_CA_FILE_TOO_LONG)
        log_printf("map_api_ca_file is too long: %s", ca_file.c_str());
    else if (rc == HALVEX_MAPAPI_CA_FILE_NOT_REGULAR)
        log_printf("Cannot read map_api_ca_file %s: not a regular file.", ca_file.c_str());
    else if (rc == HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE)
        log_printf(
            "Cannot read map_api_ca_file %s: no PEM certificate, or one that does not "
            "parse.",
            ca_file.c_str());
    if (rc != 0)
        log_exit(1);
    listener_set_access(opt.sock_mode, opt.sock_gid);
}

// The path must outlive start-up: the signal thread reads it.
static void sock_path_choose(const INIReader &config) {
    static std::string path;
    path = config.Get("", "unix_sock_path", "");
    if (!path.empty())
        unix_sock_path = path.c_str();
}

// strtol reading: leading blanks and a sign taken, stops at the first non-digit, no digits
// gives 0. Zero and values above the maximum fall back to the default; negatives stay.
static void send_interval_read(const INIReader &config, point_queue *queue) {
    std::string text = config.Get("", "send_interval_usec", "");
    if (text.empty())
        return;
    int64_t interval = (int64_t)strtol(text.c_str(), NULL, 10);
    if (interval > SEND_INTERVAL_MAX_USEC || interval == 0) {
        log_line("Invalid value for send_interval_usec.  Using default.");
        interval = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
    }
    queue->send_interval_usec = interval;
}

// A whole decimal number from 1 to MAX_QUEUED_POINTS_MAX, blanks around it allowed; anything
// else keeps the default.
static void max_queued_read(const INIReader &config, point_queue *queue) {
    std::string text = config.Get("", "max_queued_points", "");
    if (text.empty())
        return;
    char *end = NULL;
    errno = 0;
    long long n = strtoll(text.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t'))
        end++;
    if (errno != 0 || end == text.c_str() || *end != '\0' || n < 1 || n > MAX_QUEUED_POINTS_MAX) {
        log_line("Invalid value for max_queued_points.  Using default.");
        return;
    }
    queue->max_points = (size_t)n;
}

// map_api_keep_alive (a wrong value ends start-up) and max_post_points (one warns and keeps
// the default), read as delivery.h says.
static void post_keys_read(const INIReader &config) {
    int keep = 1;
    size_t max_post = 0;
    if (keep_alive_parse(config.Get("", "map_api_keep_alive", "").c_str(), &keep) != 0)
        log_exit(1);
    halvex_mapapi_set_keep_alive(keep);
    if (max_post_points_parse(config.Get("", "max_post_points", "").c_str(), &max_post) != 0)
        log_line("Invalid value for max_post_points.  Using default.");
    delivery_set_max_post_points(max_post);
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

int main(void) {
    std_fds_fill();  // before anything opens a descriptor
    // A client or the map service closing its end mid-write, or a closed standard output, must
    // not end the process: ignored before the log writer or anything else can write.
    signal(SIGPIPE, SIG_IGN);
    signals_block();  // before any thread starts, so that every thread inherits the mask
    // Line-buffered, so each printed line reaches a log reading through a pipe at once.
    setvbuf(stdout, NULL, _IOLBF, 0);
    allocator_bound();  // process-wide, so before any thread starts
    log_start();

    const char *config_path = config_path_choose();
    static INIReader config(config_path);
    if (config.ParseError() < 0) {
        fputs("Failed to read ini file.", stdout);
        exit(1);
    }
    credentials_apply(config);
    config_exposure_warn(config_path);
    security_apply(config);
    post_keys_read(config);
    sock_path_choose(config);

    int listen_fd = listener_create(unix_sock_path);
    signals_start(unix_sock_path, listen_fd);

    static point_queue queue;
    queue_create(&queue);
    send_interval_read(config, &queue);
    max_queued_read(config, &queue);
    std::string metrics_listen = config.Get("", "metrics_listen", "");
    metrics_start(metrics_listen.c_str(), queue.max_points);
    pthread_t sender;
    pthread_create(&sender, NULL, sending_thread_func, &queue);

    static rcv_thread_args rcv_args;
    conn_list_create(&rcv_args, &queue);
    rcv_set_create();  // now, while the accept loop cannot yet have used up the descriptors
    pthread_t receiver;
    pthread_create(&receiver, NULL, rcv_sock_thread_func, &rcv_args);

    accept_loop(listen_fd, &rcv_args);  // until SIGINT or SIGTERM
    service_stop(&queue);
    return 0;
}
