/* listener.h -- the local socket: check what making it needs, make it (or take systemd's),
 * accept clients onto the connection list, remove it at the stop. */
#ifndef LISTENER_H
#define LISTENER_H

#include <sys/types.h>

#include <string>

#include "intake/conn_list.h"

/* Connections waiting to be accepted before the kernel refuses new ones. */
#define LISTENER_BACKLOG 100

/* Descriptors kept free by not accepting more connections: the post's connection to the map
 * service, name resolution and TLS files take a few; 16 leaves room to spare. */
#define LISTENER_FD_RESERVE 16

/* Longest line of a listener_fault, cut silently. */
#define LISTENER_LINE_MAX 512

/* Why the socket cannot be made: a failed call, reported first as perror() reports it (call
 * NULL: none) with its errno, then the line that names the path and the problem ("": none);
 * in_use when a running service holds the path (its live socket, or the lock of a start). */
typedef struct listener_fault {
    const char *call;
    int err;
    std::string line;
    bool in_use;
} listener_fault;

/* Permission bits and group (or (gid_t)-1: unchanged) that listener_create() gives the socket
 * file before it listens. Without a call: 0777, group unchanged. */
void listener_set_access(mode_t mode, gid_t gid);

/* Check what listener_create(path) will find, creating, binding, locking for longer than a
 * try and changing nothing, so that a start can fail before it makes anything. With sockets
 * passed by systemd: that they are one listening Unix stream socket of mode and gid
 * ((gid_t)-1: any), and *passed is its path. Otherwise (*passed ""): that path fits a socket
 * address, its folder exists and can be written, the lock beside it can be opened (or made)
 * and is free, and nothing is at path but a socket file no service answers on. Returns 0, or
 * -1 with *fault as listener_create() would report it. */
int listener_check(const char *path, mode_t mode, gid_t gid, std::string *passed,
                   listener_fault *fault);

/* Check that this process may give the socket it makes at path the group gid ((gid_t)-1:
 * none to give): it is in that group, or holds CAP_CHOWN. Returns 0, or -1 with *fault as
 * listener_create() reports a chown that fails. */
int listener_group_check(const char *path, gid_t gid, listener_fault *fault);

/* Raise the soft descriptor limit to the hard one. Then, when
 * systemd passed listening sockets (LISTEN_FDS and LISTEN_PID, socket activation): exactly one
 * listening Unix stream socket is taken as it is, and path is not touched (systemd owns the
 * socket file, its mode and group); any other number or kind ends start-up with one line.
 * Otherwise create, bind, give the access of listener_set_access() and listen on a Unix stream
 * socket at path. A socket file at path that no service answers on is removed first; a live
 * socket or anything that is not a socket ends start-up. Start-ups on one path take turns by a
 * lock on the file path + ".lock" (created 0600 if missing, left in place); one that finds it
 * taken ends start-up as for a live socket. Returns the listening descriptor. On failure
 * reports what listener_check() would (the failed call, or one line naming the path and the
 * problem) and ends the process with status 1. A socket made here is removed when the process
 * ends through exit() (a later step of start-up that fails). */
int listener_create(const char *path);

/* At the stop: a socket the service made is removed and shut down, so that no client finds it
 * any more and those in its backlog are told at once; one systemd passed stays listening. */
void listener_socket_close(int listen_fd);

/* Whether the listening socket came from systemd (then it is never unlinked or shut down). */
bool listener_activated(void);

/* The connections that leave LISTENER_FD_RESERVE and extra_reserve descriptors free, counted
 * from the descriptors open now: call before starting a thread that holds descriptors for a
 * while, so that they do not lower the limit for good. */
int listener_conn_limit(int extra_reserve);

/* Accept connections on listen_fd onto the list (conn_list_push()). While conn_limit
 * connections are open (listener_conn_limit()), new connections wait in the backlog. Returns
 * as soon as a stop begins (stop_fd()), also while new connections wait; before it returns, a
 * socket the service made itself is removed and shut down, so that no client finds it any more
 * and those in its backlog are told at once, while one systemd passed stays listening, so that
 * clients wait in its backlog for the next process. */
void listener_accept_loop(int listen_fd, rcv_thread_args *args, int conn_limit);

#endif
