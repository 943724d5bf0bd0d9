/* conn_list.h -- the list of open client connections, shared by the accept loop and the
 * receiver, and the wake pipe that tells the receiver a connection joined it. */
#ifndef CONN_LIST_H
#define CONN_LIST_H

#include <pthread.h>

#include "outbox/outbox.h"

/* One open descriptor: a client connection, or the wake pipe's read end (always last). Linked
 * both ways, so that a connection leaves the list without a walk. Locks: [c] conn_lock. */
typedef struct sock_list_node {
    int fd;                      /* set before the node joins the list */
    struct sock_list_node *next; /* [c] older neighbour, NULL for the last */
    struct sock_list_node *prev; /* [c] newer neighbour, NULL for the head */
} sock_list_node;

/* Shared by the accept loop and the receiver thread; lives for the whole process.
 * Locks: [c] conn_lock, [I] set before the threads start. */
typedef struct rcv_thread_args {
    pthread_mutex_t conn_lock;
    sock_list_node *head;         /* [c] newest connection first, the wake pipe's read end last */
    sock_list_node *watched_head; /* [c] the newest node the receiver watches: every node from
                                     it down is in its set, those above it are new */
    int wake_fd;                  /* [I] read end of the wake pipe */
    outbox *box;                  /* [I] where accepted points go */
    int wake_write_fd;            /* [I] write end of the wake pipe, used by the accept loop */
    int conn_count;               /* [c] client connections in the list */
} rcv_thread_args;

/* Create the wake pipe and a list holding only its read end, and fill *args. On failure
 * reports it and ends the process with status 1. */
void conn_list_create(rcv_thread_args *args, outbox *box);

/* Push a new connection fd at the head of the list and write one wake byte. Takes conn_lock.
 * Without memory for its node the connection is closed. Accept loop. */
void conn_list_push(rcv_thread_args *args, int fd);

/* Client connections in the list now. Takes conn_lock. */
int conn_list_count(rcv_thread_args *args);

/* Take node out of the list, close its descriptor and free it. conn_lock held; the caller has
 * taken it out of any event set first. */
void conn_list_drop(rcv_thread_args *args, sock_list_node *node);

#endif
