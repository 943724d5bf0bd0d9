/* receiver.h -- the thread that reads point messages from every client and answers them. */
#ifndef RECEIVER_H
#define RECEIVER_H

#include "listener.h"

/* Replies sent to clients, without a terminating NUL. */
#define REPLY_OK "OK\n"
#define REPLY_FAILED "FAILED\n"

/* Thread entry: serve every connection in args' list and the wake pipe. Never returns. */
void *rcv_sock_thread_func(void *args);

#endif
