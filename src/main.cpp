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
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "config.h"
#include "halvex_mapapi.h"
#include "listener.h"
#include "log.h"
#include "metrics.h"
#include "point_queue.h"
#include "receiver.h"
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
    // After the socket: a second service on a path in use says so, not that the port is taken.
    metrics_start(config.metrics_listen.c_str(), &config.metrics_addr, queue.max_points);
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
