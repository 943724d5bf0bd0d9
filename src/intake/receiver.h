/* receiver.h -- the thread that reads point messages from every client and answers them. */
#ifndef RECEIVER_H
#define RECEIVER_H

#include "intake/conn_list.h"
#include "intake/protocol.h"

/* Thread entry: serve every connection in args' list and the wake pipe. Each receive is one
 * message and gets one reply, sent without waiting; a client whose replies no longer fit
 * because it does not read them is closed. rcv_set_create(args) must have run. Returns only
 * once rcv_reading_stop() has been called, leaving every connection open. */
void *rcv_sock_thread_func(void *args);

/* Create the receiver's event set for the connections in args' list; the set takes a
 * descriptor. Start-up calls it before the accept loop runs: once clients may hold every
 * descriptor the process is allowed, the set could no longer be made. Ends the process with
 * status 1 when it cannot be created. */
void rcv_set_create(rcv_thread_args *args);

/* Stop reading messages for good, so that the counters stay as they are: returns once the
 * receiver's pass in progress, if any, is over (every message it read answered, or counted
 * when its client had gone), and no later pass reads. Unread messages get no reply; their
 * clients see the connection close when the process ends. Any thread; takes conn_lock, so the
 * caller holds no lock of rank LOCK_RANK_CONN or above. */
void rcv_reading_stop(void);

#endif
