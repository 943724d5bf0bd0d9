/* halvex_mapapi.h -- client of the live-map service: credentials, point record, batch posting.
 *
 * Plain C interface with module-level state. Call halvex_mapapi_init() once, on one thread,
 * before any send; halvex_mapapi_set_endpoint() and halvex_mapapi_set_timeouts() belong to the
 * same set-up phase. After set-up the sending functions may be called from one thread at a time.
 * The set-up calls (init, endpoint, timeouts, keep-alive, TLS checks) may be made again later on
 * the thread that posts, between two posts and while no halvex_mapapi_probe() runs: the next
 * post uses them, on a new connection when the endpoint, the credentials or the TLS checks
 * changed (a connection kept under the old ones is closed).
 *
 * Texts are NUL-terminated byte strings; nothing is converted between character sets.
 */
#ifndef HALVEX_MAPAPI_H
#define HALVEX_MAPAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a point is located (halvex_mapapi_point.loc_type). */
#define HALVEX_MAPAPI_LOC_NONE 0
#define HALVEX_MAPAPI_LOC_LATLNG 1
#define HALVEX_MAPAPI_LOC_ZIPCODE 2

/* Longest map id and key kept by halvex_mapapi_init(); longer ones are cut silently. */
#define HALVEX_MAPAPI_MAP_ID_MAX 8
#define HALVEX_MAPAPI_MAP_KEY_MAX 16
/* Longest endpoint URL kept by halvex_mapapi_set_endpoint(); longer ones are cut silently. */
#define HALVEX_MAPAPI_ENDPOINT_MAX 1023

/* One point for the map. A new record is all zero: no location, no field, no colour.
 * r, delay and visible_time are absent when 0. A colour is absent when its pointer is NULL;
 * a present colour holds 0xRRGGBB in its low 24 bits (0 is black). The record owns its colours:
 * they come from malloc() and whoever holds the record last releases them with free(). */
typedef struct halvex_mapapi_point {
    int16_t loc_type; /* HALVEX_MAPAPI_LOC_* */
    union {
        float lat;       /* degrees, when loc_type is HALVEX_MAPAPI_LOC_LATLNG */
        int32_t zipcode; /* postal code, when loc_type is HALVEX_MAPAPI_LOC_ZIPCODE */
    };
    float lng;             /* degrees, when loc_type is HALVEX_MAPAPI_LOC_LATLNG */
    int32_t r;             /* radius, 0 = absent */
    uint32_t *c;           /* first colour or NULL */
    uint32_t *c2;          /* second colour or NULL */
    uint32_t delay;        /* 0 = absent */
    uint32_t visible_time; /* 0 = absent */
} halvex_mapapi_point;

/* Keep the map id (at most 8 bytes) and key (at most 16 bytes); longer values are cut
 * silently. Then initialise libcurl for the whole process (the first call only; never
 * undone). */
void halvex_mapapi_init(const char *map_id, const char *map_key);

/* Replace the endpoint URL batches are posted to (at most 1023 bytes kept; longer ones are
 * cut silently). Without a call, or with NULL or "", the built-in default endpoint is used. */
void halvex_mapapi_set_endpoint(const char *url);

/* Check the map service's certificate and host name (verify != 0) against the system's
 * certificate store, or against the PEM file ca_file when it is neither NULL nor empty (that
 * implies verify). Without a call any certificate is accepted, as map services with
 * self-signed certificates need. A post that fails the check fails like a lost connection.
 * The file's certificates are read here, once, and every later post checks against them;
 * other PEM entries in it (keys, revocation lists) are skipped. Returns 0, or one of these
 * and changes nothing:
 *   HALVEX_MAPAPI_CA_FILE_TOO_LONG        ca_file is longer than HALVEX_MAPAPI_CA_FILE_MAX
 *                                         bytes (a cut path would name another file);
 *   HALVEX_MAPAPI_CA_FILE_NOT_REGULAR     ca_file names no regular file (missing, a folder,
 *                                         a device);
 *   HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE  it cannot be read, holds no certificate, or holds
 *                                         an entry that does not parse. */
#define HALVEX_MAPAPI_CA_FILE_MAX 4095
#define HALVEX_MAPAPI_CA_FILE_TOO_LONG (-1)
#define HALVEX_MAPAPI_CA_FILE_NOT_REGULAR (-2)
#define HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE (-3)
int halvex_mapapi_set_tls_verify(int verify, const char *ca_file);

/* Read the PEM file ca_file as halvex_mapapi_set_tls_verify() would and return 0 or the code
 * it would return, changing nothing: so that settings can be checked whole before any is
 * changed. NULL or "" is 0. Any thread, any time. */
int halvex_mapapi_check_ca_file(const char *ca_file);

/* Bound each post: give up when no connection is made within connect_timeout_sec, or when
 * the transfer moves no byte for stall_timeout_sec. A value <= 0 keeps the current bound.
 * Defaults: HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC and HALVEX_MAPAPI_STALL_TIMEOUT_SEC. */
#define HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC 10
#define HALVEX_MAPAPI_STALL_TIMEOUT_SEC 30
void halvex_mapapi_set_timeouts(long connect_timeout_sec, long stall_timeout_sec);

/* Keep the connection to the map service, and its TLS session, from one judged post
 * (halvex_mapapi_post_map_points()) to the next when keep != 0, the default: the request is
 * the same, only the connection is kept. A connection the map service has closed is replaced
 * at the next post. A post whose kept connection closes under it before its whole body went
 * out is sent again at once on a new one before anything is judged; one whose whole body went
 * out is never sent twice by the client: unanswered, it fails in transit, unconfirmed. A kept
 * connection is not used again once it has idled as long as its peer keeps idle connections,
 * less a margin: as long as a Keep-Alive header's timeout said, or as long as it had idled when
 * a post on it failed at once, unanswered (the peer's close crossed the request: the post fails
 * with retry_at_once set); the shortest such time counts until the endpoint, the credentials or
 * the TLS checks change. With keep 0 every judged post opens a connection of its own and
 * closes it. halvex_mapapi_send_raw_map_data() and halvex_mapapi_send_map_points() always use a
 * connection of their own. A set-up call, as is halvex_mapapi_set_tls_verify(), after which
 * no connection made before it is used again. */
void halvex_mapapi_set_keep_alive(int keep);

/* What halvex_mapapi_probe() found (halvex_mapapi_probe_result.outcome):
 *   REACHABLE    a connection was made and, over https, its TLS handshake passed the checks
 *                that halvex_mapapi_set_tls_verify() chose;
 *   NO_HOST      the endpoint's host name does not resolve;
 *   REFUSED      the host refused the connection: nothing listens on that port;
 *   CERTIFICATE  the certificate or the host name failed the check;
 *   TLS          the TLS handshake failed otherwise (for instance, no TLS answers there);
 *   FAILED       anything else: no connection within the connect bound, no route, a bad URL. */
#define HALVEX_MAPAPI_PROBE_REACHABLE 0
#define HALVEX_MAPAPI_PROBE_NO_HOST 1
#define HALVEX_MAPAPI_PROBE_REFUSED 2
#define HALVEX_MAPAPI_PROBE_CERTIFICATE 3
#define HALVEX_MAPAPI_PROBE_TLS 4
#define HALVEX_MAPAPI_PROBE_FAILED 5

/* Longest reason kept of a probe that failed, without the NUL. */
#define HALVEX_MAPAPI_PROBE_REASON_MAX 160

typedef struct halvex_mapapi_probe_result {
    int outcome;       /* HALVEX_MAPAPI_PROBE_* */
    long connect_usec; /* REACHABLE: from the address found to the connection made, one round
                          trip */
    long tls_usec;     /* REACHABLE over https: the TLS handshake after that; 0 otherwise */
    char reason[HALVEX_MAPAPI_PROBE_REASON_MAX + 1]; /* libcurl's words for the failure, as
                                                        printable ASCII; "" when reachable */
} halvex_mapapi_probe_result;

/* Resolve the endpoint's host and open one connection to it, with the TLS checks that posts
 * use, then close it: nothing is sent, so the map service sees no batch. Takes at most the
 * connect bound (halvex_mapapi_set_timeouts()). Callable from any thread once set-up is over,
 * also while a post runs, but not while set-up calls are made again (see the top of this
 * file). Fills *result (not NULL) and returns its outcome. Prints nothing. */
int halvex_mapapi_probe(halvex_mapapi_probe_result *result);

/* Encode points[0..count) as the batch body
 *   {"mapId":"<id>","key":"<key>","points":[{...},{...}]}
 * and return it as a malloc()ed NUL-terminated text that the caller frees, or NULL when
 * count < 1 or memory runs out. The points are only read. If len is not NULL it receives the
 * length of the body. The id and key are written as JSON strings (quote, backslash and
 * control bytes escaped); a coordinate that is not a finite number is written as null. */
char *halvex_mapapi_encode_batch(const halvex_mapapi_point *points, int count, size_t *len);

/* Encode points[0..count) (count >= 1), post the body to the endpoint and judge the answer.
 * Returns 0 when the response body is exactly "true", 1 otherwise (no answer, an error, any
 * other body). The points are only read; their colours stay the caller's. Prints nothing. */
int halvex_mapapi_send_map_points(const halvex_mapapi_point *points, int count);

/* How a judged post went (halvex_mapapi_post_result.outcome):
 *   ACCEPTED  the answer was exactly "true";
 *   FAILED    failed in transit: no connection, TLS failure, time-out, no answer, or HTTP
 *             status 408, 429 or 5xx (whatever the answer's length); worth retrying;
 *   REFUSED   any other answer: another status or another body, or an answer longer than
 *             HALVEX_MAPAPI_ANSWER_MAX; retrying the same batch would not help.
 * A redirect is followed (at most 30, from https only to https) with the same POST and body. */
#define HALVEX_MAPAPI_POST_ACCEPTED 0
#define HALVEX_MAPAPI_POST_FAILED 1
#define HALVEX_MAPAPI_POST_REFUSED 2

/* Longest post: a transfer not finished within this many seconds in all fails in transit, so
 * that a map service that trickles its answer cannot hold the caller for longer. */
#define HALVEX_MAPAPI_POST_TIMEOUT_SEC 60
/* Most answer bytes read: a longer answer ends the transfer and the post counts as refused,
 * so that a runaway answer cannot take the process's memory. */
#define HALVEX_MAPAPI_ANSWER_MAX (64 * 1024)
/* Most bytes kept of the start of the answer and of the reason, without the NUL. */
#define HALVEX_MAPAPI_ANSWER_START_MAX 80
#define HALVEX_MAPAPI_REASON_MAX 240

/* Shortest run of the map key's characters that printed text never shows: shorter runs are
 * too common to give the key away, and letting longer ones through could show most of it. */
#define HALVEX_MAPAPI_KEY_RUN_HIDDEN 6

/* Copy text[0..size) into out, at most out_max bytes and then a NUL (out holds out_max + 1),
 * with every run of it that shows key shown as "***": HALVEX_MAPAPI_KEY_RUN_HIDDEN or more
 * consecutive characters of key (the whole key when it is shorter), in any case, written as
 * they are, with %XX escapes (as a URL may write them) or with JSON escapes (as a batch body
 * writes them). Other bytes are copied as they are, cut silently at out_max; key NULL or ""
 * hides nothing. Returns the bytes written. */
size_t halvex_mapapi_key_hide(const char *text, size_t size, const char *key, char *out,
                              size_t out_max);

/* What one judged post came to. The texts are printable ASCII: every other byte shows as
 * '?', and the map key is hidden as halvex_mapapi_key_hide() hides it. */
typedef struct halvex_mapapi_post_result {
    int outcome;        /* HALVEX_MAPAPI_POST_* */
    long http_status;   /* status of the last answer, 0 when none arrived */
    size_t answer_size; /* answer bytes received (at most HALVEX_MAPAPI_ANSWER_MAX + a chunk) */
    char answer_start[HALVEX_MAPAPI_ANSWER_START_MAX + 1]; /* first bytes of the answer */
    char reason[HALVEX_MAPAPI_REASON_MAX + 1]; /* why it failed or was refused; "" if accepted */
    int unconfirmed;      /* FAILED only: 1 when the whole body went out and no answer of the
                             map service settled it (no answer, the answer cut short, or HTTP
                             status 502 or 504 from a gateway in front of it), so the map
                             service may have taken the batch; 0 when it cannot have (no
                             connection, a status of 408, 429 or another 5xx, the body not sent
                             in full) */
    long retry_after_sec; /* FAILED with HTTP status 429 or 503 only: the seconds the map
                             service asked to wait before the next try, from its Retry-After
                             header (seconds, or an HTTP date counted from now); 0 when it
                             asked for no wait (no such header, one that does not parse, a
                             date already past) */
    int retry_at_once;    /* FAILED only: 1 when the kept connection had idled and its peer
                             closed it as the post began, before any answer: the next post goes
                             on a new connection and may go at once */
} halvex_mapapi_post_result;

/* Cut every judged post at monotonic_usec, microseconds of CLOCK_MONOTONIC; 0 lifts the
 * bound. Callable from any thread at any time, also while a post is in flight: that post ends
 * within HALVEX_MAPAPI_DEADLINE_CHECK_MS of the deadline, failed in transit, and one started
 * after it ends at once. So a stop can bound the post it finds in flight. */
#define HALVEX_MAPAPI_DEADLINE_CHECK_MS 50
void halvex_mapapi_set_deadline(int64_t monotonic_usec);

/* Encode points[0..count) (count >= 1), post the body as halvex_mapapi_send_map_points()
 * does, and tell in *result (not NULL) how it went. The whole post takes at most timeout_ms
 * milliseconds; a value <= 0 or above HALVEX_MAPAPI_POST_TIMEOUT_SEC seconds means that
 * bound. A batch that cannot be encoded (memory runs out) fails in transit. Returns
 * result->outcome. The points are only read; their colours stay the caller's. Prints
 * nothing. */
int halvex_mapapi_post_map_points(const halvex_mapapi_point *points, int count, long timeout_ms,
                                  halvex_mapapi_post_result *result);

/* POST body (NUL-terminated JSON text) to the endpoint with the header
 * "Content-Type: application/json" and return the response body as a malloc()ed
 * NUL-terminated text that the caller frees, or NULL when no transfer could be made or no
 * response byte arrived. An HTTP error status still returns the body that came with it. A
 * post, here and in halvex_mapapi_send_map_points(), gives up after
 * HALVEX_MAPAPI_POST_TIMEOUT_SEC seconds in all. */
char *halvex_mapapi_send_raw_map_data(const char *body);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_H */
