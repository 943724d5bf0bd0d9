/* listener.h -- the local socket, its accept loop and the list of open connections. */
#ifndef LISTENER_H
#define LISTENER_H

#include <pthread.h>
#include <sys/types.h>

#include "point_queue.h"

/* Connections waiting to be accepted before the kernel refuses new ones. */
#define LISTENER_BACKLOG 100

/* Descriptors kept free by not accepting more connections: the post's connection to the map
 * service, name resolution and TLS files take a few; 16 leaves room to spare. */
#define LISTENER_FD_RESERVE 16

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
    sock_list_node *head; /* [c] newest connection first, the wake pipe's read end last */
    int wake_fd;          /* [I] read end of the wake pipe */
    point_queue *queue;   /* [I] where accepted points go */
    int wake_write_fd;    /* [I] write end of the wake pipe, used by the accept loop */
    int conn_count;       /* [c] client connections in the list */
} rcv_thread_args;

/* Permission bits and group (or (gid_t)-1: unchanged) that listener_create() gives the socket
 * file before it listens. Without a call: 0777, group unchanged. */
void listener_set_access(mode_t mode, gid_t gid);

/* Raise the soft descriptor limit to the hard one and create the stop descriptor. Then, when
 * systemd passed listening sockets (LISTEN_FDS and LISTEN_PID, socket activation): exactly one
 * listening Unix stream socket is taken as it is, and path is not touched (systemd owns the
 * socket file, its mode and group); any other number or kind ends start-up with one line.
 * Otherwise create, bind, give the access of listener_set_access() and listen on a Unix stream
 * socket at path. A socket file at path that no service answers on is removed first; a live
 * socket or anything that is not a socket ends start-up. Start-ups on one path take turns by a
 * lock on the file path + ".lock" (created 0600 if missing, left in place); one that finds it
 * taken ends start-up as for a live socket. Returns the listening descriptor. On failure
 * reports the failed call (or one line naming the path and the problem) and ends the process
 * with status 1. */
int listener_create(const char *path);

/* Whether the listening socket came from systemd (then it is never unlinked or shut down). */
bool listener_activated(void);

/* Readable (POLLIN) from the moment a stop begins, for good: every wait that must end at a
 * stop polls it. Valid once listener_create() has returned. */
int listener_stop_fd(void);

/* A stop begins: make listener_stop_fd() readable, which ends the accept loop at once. A
 * socket the service made itself is also removed at path and shut down, so that no client
 * finds it any more; one systemd passed stays as it is, so that clients that connect from now
 * on wait in its backlog for the next process. Signal thread. */
void listener_stop(const char *path, int listen_fd);

/* Create the wake pipe and a list holding only its read end, and fill *args. On failure
 * reports it and ends the process with status 1. */
void conn_list_create(rcv_thread_args *args, point_queue *queue);

/* Accept connections on listen_fd: each one is pushed at the head of the list under
 * conn_lock and announced with one wake byte. While LISTENER_FD_RESERVE more descriptors than
 * the connections open would exceed the limit, new connections wait in the backlog. Returns
 * as soon as a stop begins (listener_stop()), also while new connections wait. */
void accept_loop(int listen_fd, rcv_thread_args *args);

#endif
