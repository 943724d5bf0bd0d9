// receiver.cpp -- the thread that reads every client's point messages and answers each one.
//
// The receiver keeps an epoll set of the descriptors in the connection list, so one pass costs
// in proportion to the connections that are ready, not to all that are open, and descriptors
// of any value can be watched. Each registered node is its own event's data: the list stays
// the one record of what is open, and a node is freed only after it has left the set.
//
// New connections are always pushed at the head of the list. The list's record keeps the head
// the receiver last registered down to (watched_head); on a wake byte it registers every node
// above that mark. When the marked node leaves the list, the mark moves to the following node,
// which is registered already.
//
// Each message is answered as soon as it is handled, so that the client writes its next one
// while the receiver reads the others of the pass: the two sides of the exchange then run on
// two cores side by side. Each connection gets one reply per message, in order: a descriptor
// appears at most once per wait.
//
// At a stop, the stop's last lines must count every message answered and no other: so the
// receiver stops reading first (rcv_reading_stop()). A pass holds conn_lock from its first
// receive to its last reply, so once the stop has taken and given back that lock after raising
// the flag, the pass in progress is over and every later one sees the flag before it reads.
//
// Each accepted point goes to the outbox's store (outbox_put()), and the end of each pass tells
// it so (outbox_pass_end()). A store may stage a point rather than hold it (a spool that syncs
// before its OKs): its OK waits for the pass's end, so that the pass's points share one sync,
// and if the pass is not kept they are all answered FAILED.
#include "intake/receiver.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "base/progress.h"
#include "intake/message.h"
#include "outbox/outbox.h"

// Events taken per wait; readiness not taken in one pass is level-triggered and is reported
// again on the next, so this bounds only the stack array, not what is served.
static const int RCV_EVENTS_MAX = 256;
static_assert(RCV_EVENTS_MAX <= OUTBOX_PASS_POINTS_MAX, "the store takes every point of a pass");
// Longest wait for readiness before looping anyway (10000 s, in milliseconds); nothing is
// due on a time-out, so it is only an upper bound on an idle wait.
static const int RCV_WAIT_TIMEOUT_MS = 10000 * 1000;

// Module state, used by the receiver thread only. The list itself is guarded by conn_lock.
static int rcv_epoll_fd = -1;
static char rcv_buffer[MESSAGE_MAX_BYTES];  // one receive, reused for every message
// Shared with the stop, which may come from the signal thread at any time. Locks: none; [A]
// atomic, each written once.
static std::atomic<rcv_thread_args *> rcv_args;  // [A] the list served; set before it starts
static std::atomic<bool> rcv_reading_ended;      // [A] raised by rcv_reading_stop()

// What a message earned. Only OKs that wait for the pass's end are held, at most one per event.
enum reply_kind { REPLY_KIND_FAILED, REPLY_KIND_OK, REPLY_KIND_STAGED /* OK once kept */ };
static sock_list_node *rcv_held[RCV_EVENTS_MAX];
static int rcv_held_count;

// Forget a connection: out of the set, then out of the list, closed, freed. conn_lock held.
static void conn_drop(rcv_thread_args *args, sock_list_node *node) {
    epoll_ctl(rcv_epoll_fd, EPOLL_CTL_DEL, node->fd, NULL);
    conn_list_drop(args, node);
}

static int node_watch(sock_list_node *node) {
    epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.ptr = node;
    if (epoll_ctl(rcv_epoll_fd, EPOLL_CTL_ADD, node->fd, &ev) == 0)
        return 0;
    log_perror("epoll_ctl");
    return -1;
}

// Add every node from the head down to the last one registered (stop == NULL: to the end).
// A connection that cannot be watched could never be served or closed, so it is closed now;
// the walk keeps the next node, as the current one may go. conn_lock held.
static void nodes_watch(rcv_thread_args *args, sock_list_node *stop) {
    sock_list_node *next;
    for (sock_list_node *cur = args->head; cur != stop; cur = next) {
        next = cur->next;
        if (node_watch(cur) != 0 && cur->fd != args->wake_fd)
            conn_list_drop(args, cur);  // never in the set
    }
    args->watched_head = args->head;
}

// One wake byte per readiness of the pipe; then watch whatever is new. conn_lock held.
static void wake_handle(rcv_thread_args *args) {
    char byte;
    if (read(args->wake_fd, &byte, 1) < 0 && errno != EAGAIN && errno != EINTR)
        log_perror("read");
    nodes_watch(args, args->watched_head);
}

// Parse, put into the store and say what the point earned. The store takes over the point's
// colours whatever it does with it, and says why it refuses points once, not once per point.
static int message_accept(rcv_thread_args *args, size_t n) {
    halvex_mapapi_point point;
    if (!message_handle(rcv_buffer, n, &point))
        return REPLY_KIND_FAILED;
    int rc = outbox_put(args->box, &point);
    return rc == OUTBOX_HELD     ? REPLY_KIND_OK
           : rc == OUTBOX_STAGED ? REPLY_KIND_STAGED
                                 : REPLY_KIND_FAILED;
}

// The reply never waits: one thread serves everyone, so a client whose buffer is full of
// unread replies is closed rather than allowed to stall the others. conn_lock held.
static void reply_send(rcv_thread_args *args, sock_list_node *node, int accepted) {
    counter_add(accepted ? counters.points_accepted : counters.points_rejected, 1);
    const char *reply = accepted ? REPLY_OK : REPLY_FAILED;
    size_t len = strlen(reply);
    ssize_t sent = send(node->fd, reply, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == (ssize_t)len)
        return;
    if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        log_warnf("Closed a client that does not read its replies.");
        conn_drop(args, node);
        return;
    }
    log_perror("send");  // a peer that has gone is seen by the next receive, which reads 0
}

// One receive is one message. conn_lock held; node may be gone when this returns.
static void client_serve(rcv_thread_args *args, sock_list_node *node) {
    ssize_t got = recv(node->fd, rcv_buffer, sizeof rcv_buffer, MSG_DONTWAIT);
    if (got == 0) {
        conn_drop(args, node);
        return;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            log_perror("recv");
        return;
    }
    int accepted = message_accept(args, (size_t)got);
    if (accepted == REPLY_KIND_STAGED)
        rcv_held[rcv_held_count++] = node;
    else
        reply_send(args, node, accepted);
}

// The pass's points go to the sender, and the OKs held for the pass's end go out (or FAILED).
// A node is freed in the pass only by its own event, and no event follows its message, so
// every held node is still open here. conn_lock held.
static void pass_end(rcv_thread_args *args) {
    int kept = outbox_pass_end(args->box) == OUTBOX_HELD;
    for (int i = 0; i < rcv_held_count; i++)
        reply_send(args, rcv_held[i], kept);
    rcv_held_count = 0;
}

void rcv_set_create(rcv_thread_args *args) {
    rcv_args = args;
    rcv_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (rcv_epoll_fd < 0) {
        log_perror("epoll_create1");
        log_exit(1);  // without its set the receiver could serve no one
    }
}

void rcv_reading_stop(void) {
    rcv_reading_ended.store(true);
    rcv_thread_args *args = rcv_args.load();
    if (!args)
        return;  // no receiver yet: the one that starts reads nothing
    lock_take(&args->conn_lock, LOCK_RANK_CONN);  // the pass in progress is over
    lock_give(&args->conn_lock, LOCK_RANK_CONN);
}

static void rcv_setup(rcv_thread_args *args) {
    lock_take(&args->conn_lock, LOCK_RANK_CONN);
    nodes_watch(args, NULL);
    lock_give(&args->conn_lock, LOCK_RANK_CONN);
}

void *rcv_sock_thread_func(void *arg) {
    rcv_thread_args *args = (rcv_thread_args *)arg;
    rcv_setup(args);
    epoll_event events[RCV_EVENTS_MAX];
    // The loop always starts with no lock held: the wait must let the accept loop push.
    for (;;) {
        int ready = epoll_wait(rcv_epoll_fd, events, RCV_EVENTS_MAX, RCV_WAIT_TIMEOUT_MS);
        if (ready < 0) {
            if (errno != EINTR)
                log_perror("epoll_wait");
            continue;
        }
        progress_mark(progress_receiver_busy_usec, true);  // the watchdog's mark: once per pass
        // Each descriptor appears once per wait, so a node freed while serving its own
        // event is never met again in this pass.
        lock_take(&args->conn_lock, LOCK_RANK_CONN);
        if (rcv_reading_ended.load())
            break;  // the stop's last lines are due: this pass reads nothing
        for (int i = 0; i < ready; i++) {
            sock_list_node *node = (sock_list_node *)events[i].data.ptr;
            if (node->fd == args->wake_fd)
                wake_handle(args);
            else
                client_serve(args, node);
        }
        pass_end(args);
        lock_give(&args->conn_lock, LOCK_RANK_CONN);
        progress_mark(progress_receiver_busy_usec, false);
    }
    lock_give(&args->conn_lock, LOCK_RANK_CONN);
    progress_mark(progress_receiver_busy_usec, false);
    pthread_detach(pthread_self());  // nobody joins it: the process ends once the lines are out
    return NULL;
}
