/* receiver.h -- the thread that reads point messages from every client and answers them. */
#ifndef RECEIVER_H
#define RECEIVER_H

#include "intake/conn_list.h"
#include "intake/protocol.h"

/* Thread entry: serve every connection in args' list and the wake pipe. Each receive is one
 * message and gets one reply, sent without waiting; a client whose replies no longer fit
 * because it does not read them is closed. rcv_set_create() must have run. Never returns. */
void *rcv_sock_thread_func(void *args);

/* Create the receiver's event set, which takes a descriptor. Start-up calls it before the
 * accept loop runs: once clients may hold every descriptor the process is allowed, the set
 * could no longer be made. Ends the process with status 1 when it cannot be created. */
void rcv_set_create(void);

#endif
