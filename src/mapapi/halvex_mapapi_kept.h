/* halvex_mapapi_kept.h -- private to the map client: the kept connection, and how long it may
 * idle before its peer closes it. */
#ifndef HALVEX_MAPAPI_KEPT_H
#define HALVEX_MAPAPI_KEPT_H

#include <curl/curl.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How the first request of a judged post on the kept transfer went, for kept_post_end(). */
typedef struct kept_post {
    int64_t idle_usec;      /* how long the connection it went on had idled; -1: a new one */
    int64_t took_usec;      /* from its start to its end */
    bool closed_unanswered; /* its connection closed under it before any answer */
} kept_post;

/* The kept transfer (its connection cache in *multi, its TLS session in *curl), made on first
 * use and again once the endpoint, the credentials or the trust have changed; false when
 * keep-alive is off (any kept connection is then closed) or the handles cannot be made. The
 * connection is closed first when it has idled, by now_usec, as long as its peer keeps
 * connections (less a margin: the close and the next request must not cross); *idle_usec
 * says how long the connection a post would reuse has idled, -1 when there is none. Posting
 * thread only. */
bool kept_transfer_ready(int64_t now_usec, CURLM **multi, CURL **curl, int64_t *idle_usec);

/* After a request on the kept transfer, before the handle is reset: the connection idles from
 * now on. Keeps the round trip of a new connection and the idle time a Keep-Alive header's
 * timeout allows. Returns true when the request failed at once, unanswered, on a connection
 * that had idled (its peer closed it for idleness as the request began): that idle time is
 * learned, and a post on a new connection may go at once. */
bool kept_post_end(CURL *curl, const kept_post *post);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_KEPT_H */
