// conn_list.cpp -- the connection list: create it with the wake pipe, push, drop.
#include "intake/conn_list.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "base/figures.h"
#include "base/lock_rank.h"
#include "base/log.h"

void conn_list_create(rcv_thread_args *args, outbox *box) {
    int wake[2] = {-1, -1};
    if (pipe2(wake, O_CLOEXEC) != 0) {
        log_perror("pipe");  // without the pipe new connections would never be served
        log_exit(1);
    }
    // The receiver reads one byte per readiness; it must never block on an empty pipe.
    fcntl(wake[0], F_SETFL, O_NONBLOCK);
    pthread_mutex_init(&args->conn_lock, NULL);
    sock_list_node *node = (sock_list_node *)calloc(1, sizeof *node);
    if (!node) {
        log_errorf("Out of memory.");
        log_exit(1);
    }
    node->fd = wake[0];
    args->head = node;
    args->watched_head = NULL;
    args->wake_fd = wake[0];
    args->wake_write_fd = wake[1];
    args->box = box;
    args->conn_count = 0;
}

void conn_list_push(rcv_thread_args *args, int fd) {
    sock_list_node *node = (sock_list_node *)malloc(sizeof *node);
    if (!node) {
        close(fd);  // without a node nobody would ever serve or close it
        return;
    }
    node->fd = fd;
    node->prev = NULL;
    lock_take(&args->conn_lock, LOCK_RANK_CONN);
    node->next = args->head;
    args->head->prev = node;  // never NULL: the wake pipe's node stays last
    args->head = node;
    args->conn_count++;
    figures_clients_set(args->conn_count);
    lock_give(&args->conn_lock, LOCK_RANK_CONN);
    if (write(args->wake_write_fd, "*", 1) != 1)
        log_perror("write");
}

int conn_list_count(rcv_thread_args *args) {
    lock_take(&args->conn_lock, LOCK_RANK_CONN);
    int n = args->conn_count;
    lock_give(&args->conn_lock, LOCK_RANK_CONN);
    return n;
}

// Out through its neighbours; the receiver's mark moves to the next node, watched already.
static void conn_unlink(rcv_thread_args *args, sock_list_node *node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        args->head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    if (args->watched_head == node)
        args->watched_head = node->next;
}

void conn_list_drop(rcv_thread_args *args, sock_list_node *node) {
    conn_unlink(args, node);
    args->conn_count--;
    figures_clients_set(args->conn_count);
    close(node->fd);
    free(node);
}
