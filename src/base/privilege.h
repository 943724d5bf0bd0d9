/* privilege.h -- what the process may do beyond its user's rights: its effective
 * capabilities, so that a check can say what a system call would refuse without making it. */
#ifndef PRIVILEGE_H
#define PRIVILEGE_H

/* Whether the capability (CAP_CHOWN, CAP_NET_BIND_SERVICE, ... of <linux/capability.h>) is in
 * the process's effective set, as /proc/self/status tells it; false when it cannot be told. */
bool privilege_held(int capability);

#endif
