/* proc_holder.h -- which running process holds a socket or a lock, as /proc tells it, so that
 * a check can tell the running service's own socket, port and folder from someone else's. */
#ifndef PROC_HOLDER_H
#define PROC_HOLDER_H

#include <sys/types.h>

/* The inode of the listening Unix socket bound at path, from /proc/net/unix; 0 when none is
 * listed (an abstract socket, or none at all). */
unsigned long proc_unix_listener(const char *path);

/* A process other than this one that has the socket of this inode open and runs the program
 * named prog (the file name of its executable): its pid. 1 when only the service manager
 * (pid 1) is seen holding it, as with a socket unit, which passes the socket to each start.
 * 0 when no such holder is seen: another user's descriptors can only be seen with privilege. */
pid_t proc_socket_holder(unsigned long inode, const char *prog);

/* A process other than this one that holds a flock() on the file of dev and ino (from
 * /proc/locks) and runs the program named prog: its pid; 0 when none is seen. */
pid_t proc_flock_holder(dev_t dev, ino_t ino, const char *prog);

#endif
