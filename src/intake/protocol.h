/* protocol.h -- what a local client of the service must agree on: where the socket is by
 * default, how long one message may be, and the two replies. The service and its tools take
 * these from here. */
#ifndef PROTOCOL_H
#define PROTOCOL_H

/* Socket path when the configuration names none. */
#define HALVEX_DEFAULT_SOCK_PATH "/tmp/halvex_mapapi_server_socket"

/* Longest message read at once: one receive of at most this many bytes is one message. */
#define MESSAGE_MAX_BYTES 1024

/* Replies sent to clients, without a terminating NUL. */
#define REPLY_OK "OK\n"
#define REPLY_FAILED "FAILED\n"

#endif
