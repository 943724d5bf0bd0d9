/* listener.h -- the local socket, its accept loop and the list of open connections. */
#ifndef LISTENER_H
#define LISTENER_H

#include <pthread.h>

#include "point_queue.h"

/* Connections waiting to be accepted before the kernel refuses new ones. */
#define LISTENER_BACKLOG 100

/* One open descriptor: a client connection, or the wake pipe's read end (always last). */
typedef struct sock_list_node {
    int fd;
    struct sock_list_node *next;
} sock_list_node;

/* Shared by the accept loop and the receiver thread; lives for the whole process.
 * Locks: [c] conn_lock, [I] set before the threads start. */
typedef struct rcv_thread_args {
    pthread_mutex_t conn_lock;
    sock_list_node *head; /* [c] newest connection first, the wake pipe's read end last */
    int wake_fd;          /* [I] read end of the wake pipe */
    point_queue *queue;   /* [I] where accepted points go */
    int wake_write_fd;    /* [I] write end of the wake pipe, used by the accept loop */
} rcv_thread_args;

/* Create, bind (removing a stale file first), open to every local user (mode 0777) and
 * listen on a Unix stream socket at path. Returns the listening descriptor. On failure
 * reports the failed call with perror() (or one line for a path too long for a socket
 * address) and ends the process with status 1. */
int listener_create(const char *path);

/* Create the wake pipe and a list holding only its read end, and fill *args. */
void conn_list_create(rcv_thread_args *args, point_queue *queue);

/* Accept connections on listen_fd: each one is pushed at the head of the list under
 * conn_lock and announced with one wake byte. Returns once listen_fd has been shut down. */
void accept_loop(int listen_fd, rcv_thread_args *args);

#endif
