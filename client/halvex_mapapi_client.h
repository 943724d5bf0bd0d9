/* halvex_mapapi_client.h -- send map points to the local halvex_mapapi_server from C.
 *
 * Link with the flags `pkg-config --cflags --libs halvex-mapapi-client` gives.
 *
 * A program opens a client on the service's Unix-domain socket and sends points one at a
 * time. Each send waits for the service's reply and returns what became of the point:
 *
 *   HALVEX_CLIENT_ACCEPTED     the service answered OK: it holds the point and posts it to
 *                              the map service;
 *   HALVEX_CLIENT_REFUSED      it answered FAILED: the point is not taken (not JSON, a value
 *                              it cannot read, its queue full: its own output says which);
 *   HALVEX_CLIENT_TOO_LONG     the message is longer than HALVEX_CLIENT_MESSAGE_MAX bytes; it
 *                              was not sent (errno EMSGSIZE);
 *   HALVEX_CLIENT_UNREACHABLE  no connection could be made, or the service kept closing it
 *                              before it answered, until the time-out; errno says why:
 *                              ENOENT or ECONNREFUSED (the service does not run), EACCES
 *                              (this user may not use its socket), ECONNRESET (it closed the
 *                              connection before answering), EPROTO (its reply was neither OK
 *                              nor FAILED), or another error of socket(2), connect(2),
 *                              send(2) or recv(2);
 *   HALVEX_CLIENT_TIMED_OUT    the message went out and no reply came within the time-out
 *                              (errno ETIMEDOUT): the service is stopped or stalled, and may
 *                              still take the point when it goes on. It is not sent again;
 *                              the next send opens a new connection;
 *   HALVEX_CLIENT_INVALID      a bad argument (errno EINVAL): nothing was sent.
 *
 * Reconnecting. The service answers every message it has read, even while it stops, so a
 * connection that ends before the reply has come means the message was not taken: the send
 * opens a new connection and sends it again, waiting while the socket is missing or refuses
 * (a restarted service makes it anew), until its time-out. So is a point answered FAILED by a
 * service that has begun to stop (it refuses every point then, after it has removed its socket
 * file: a file gone or made anew since the connection tells so); under systemd's socket
 * activation the file stays, and such a point is HALVEX_CLIENT_REFUSED. A message that may
 * have been read (no reply within the time-out) is never sent again. Only a service that
 * crashes between reading a message and answering it can get a point twice this way.
 *
 * Time-outs are in milliseconds and bound the whole call; a value <= 0 means
 * HALVEX_CLIENT_TIMEOUT_MS. A send on a client whose last send found the service unreachable
 * tries one connection and does not wait for the socket to come back.
 *
 * Threads: a client is used by one thread at a time; clients are independent of each other.
 * Nothing here raises SIGPIPE, installs a signal handler or changes the process's locale; the
 * descriptors it opens are close-on-exec. Texts are NUL-terminated byte strings.
 */
#ifndef HALVEX_MAPAPI_CLIENT_H
#define HALVEX_MAPAPI_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The socket when halvex_client_open() is given none: this variable's value when it is set
 * and not empty, else the service's default path. */
#define HALVEX_CLIENT_SOCKET_ENV "HALVEX_MAPAPI_SOCKET"
#define HALVEX_CLIENT_SOCKET_DEFAULT "/tmp/halvex_mapapi_server_socket"
/* Longest message: the service takes one receive of at most this many bytes as a message. */
#define HALVEX_CLIENT_MESSAGE_MAX 1024
/* The time-out of a call given 0 or less: ten seconds, where a reply takes microseconds. */
#define HALVEX_CLIENT_TIMEOUT_MS 10000

/* What a send came to (see the top of this file). */
#define HALVEX_CLIENT_ACCEPTED 0
#define HALVEX_CLIENT_REFUSED 1
#define HALVEX_CLIENT_TOO_LONG 2
#define HALVEX_CLIENT_UNREACHABLE 3
#define HALVEX_CLIENT_TIMED_OUT 4
#define HALVEX_CLIENT_INVALID (-1)
/* halvex_client_send_start() only: the message is out, its reply not yet read. */
#define HALVEX_CLIENT_PENDING 5

/* A connection to the service and what the client knows of it; opaque. */
typedef struct halvex_client halvex_client;

/* Which fields of a halvex_client_point are given (its `given` bits); the others are not
 * sent. With both HALVEX_CLIENT_LATLNG and HALVEX_CLIENT_ZIPCODE the service uses lat/lng. */
#define HALVEX_CLIENT_LATLNG 0x01u
#define HALVEX_CLIENT_ZIPCODE 0x02u
#define HALVEX_CLIENT_R 0x04u
#define HALVEX_CLIENT_C 0x08u
#define HALVEX_CLIENT_C2 0x10u
#define HALVEX_CLIENT_DELAY 0x20u
#define HALVEX_CLIENT_VISIBLE_TIME 0x40u

/* Largest radius: the service holds it as a signed 32-bit number. */
#define HALVEX_CLIENT_R_MAX 2147483647u
/* Largest colour, 0xRRGGBB. */
#define HALVEX_CLIENT_COLOUR_MAX 0xffffffu

/* One point as fields. Start from an all-zero record and set the bits of what is given. */
typedef struct halvex_client_point {
    unsigned given;        /* HALVEX_CLIENT_* bits above */
    double lat, lng;       /* degrees; finite numbers */
    int32_t zipcode;       /* postal code (the map service gets it as at least five digits) */
    uint32_t r;            /* radius, at most HALVEX_CLIENT_R_MAX */
    uint32_t c, c2;        /* colours 0xRRGGBB, at most HALVEX_CLIENT_COLOUR_MAX */
    uint32_t delay;        /* milliseconds */
    uint32_t visible_time; /* milliseconds */
} halvex_client_point;

/* Longest text halvex_client_point_json() writes, with its NUL. */
#define HALVEX_CLIENT_POINT_JSON_MAX 256

/* Open a client on the socket at path; NULL or "" means the socket HALVEX_CLIENT_SOCKET_ENV
 * names, else HALVEX_CLIENT_SOCKET_DEFAULT. It connects before it returns: a socket that is
 * missing or refuses fails at once; a service whose queue of new connections is full is tried
 * again until timeout_ms. Returns a client that the caller ends with halvex_client_close(),
 * or NULL with errno: ENOENT or ECONNREFUSED (the service does not run), EACCES (this user
 * may not use the socket), ENAMETOOLONG (the path has more than 107 bytes), ETIMEDOUT,
 * ENOMEM, or another error of socket(2) or connect(2). */
halvex_client *halvex_client_open(const char *path, int timeout_ms);

/* Close the connection and free the client. NULL is ignored. */
void halvex_client_close(halvex_client *client);

/* The socket path the client connects to. Valid until halvex_client_close(). */
const char *halvex_client_socket_path(const halvex_client *client);

/* Send one message, JSON text as the service reads it (see halvex_mapapi_server(8)), and
 * wait at most timeout_ms for the reply. json is only read. Returns a HALVEX_CLIENT_* result;
 * an empty text or a NULL argument is HALVEX_CLIENT_INVALID. */
int halvex_client_send_json(halvex_client *client, const char *json, int timeout_ms);

/* Send one point given as fields, as halvex_client_send_json() sends the text that
 * halvex_client_point_json() writes. An argument it cannot write is HALVEX_CLIENT_INVALID. */
int halvex_client_send_point(halvex_client *client, const halvex_client_point *point,
                             int timeout_ms);

/* Write the point's message into out (out_size bytes, HALVEX_CLIENT_POINT_JSON_MAX is always
 * enough) and return its length without the NUL, or -1 with errno EINVAL (unknown bits, a
 * coordinate that is no finite number, r or a colour above its largest) or EMSGSIZE (out too
 * small). Numbers are written so that the service reads back exactly the value given: lat and
 * lng in as few digits as read back to the same double, so the map service gets that
 * double rounded to the service's 32-bit float, as %.6f writes it (40.7128 goes out as
 * 40.712799, as from any client). Any thread, no state. */
int halvex_client_point_json(const halvex_client_point *point, char *out, size_t out_size);

/* For a program that waits on many clients in one loop (poll(2), epoll(7)): send json as
 * halvex_client_send_json() does, but return once it is out, HALVEX_CLIENT_PENDING, without
 * waiting for the reply (or, when it cannot go out, the result that ends it; the time-out
 * bounds connecting). The next call on the client is halvex_client_send_wait(), best once
 * halvex_client_fd() is readable: it waits at most timeout_ms for the reply, and sends the
 * message again where it went unread as a send does, and returns the result. Any send or
 * start while a reply is due, or a wait with none due, is HALVEX_CLIENT_INVALID. */
int halvex_client_send_start(halvex_client *client, const char *json, int timeout_ms);
int halvex_client_send_wait(halvex_client *client, int timeout_ms);

/* The connection's descriptor, to wait for the reply on (POLLIN): it changes when the client
 * connects again, and is -1 while there is no connection. Only to wait on: reading, writing or
 * closing it breaks the client. */
int halvex_client_fd(const halvex_client *client);

/* A result's name: "accepted", "refused", "too long", "unreachable", "timed out", "invalid"
 * or "pending"; "unknown" for any other value. A static text. */
const char *halvex_client_result_name(int result);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_CLIENT_H */
