// halvex_mapapi_kept.cpp -- the map client's kept connection: made once, carried from post to
// post, never reused once it has idled as long as its peer keeps connections.
#include "mapapi/halvex_mapapi_kept.h"

#include <time.h>

#include "mapapi/halvex_mapapi_judge.h"
#include "mapapi/halvex_mapapi_setup.h"

// A request that failed unanswered within this long of its start, or within
// KEPT_AT_ONCE_RTTS round trips when that is longer, met a connection its peer closed as the
// request began: the close and the request crossed.
static const int64_t KEPT_AT_ONCE_USEC = 200000;
static const int64_t KEPT_AT_ONCE_RTTS = 4;
// Shorter idle times are not taken for a peer's limit: no peer closes connections that soon,
// and learning it would cost a new connection per post.
static const int64_t KEPT_IDLE_LEARN_MIN_USEC = 100000;
// A connection is not reused once it has idled its peer's limit less a fifth of it (at most a
// second) and a round trip: the peer counts its idle time from its answer, half a round trip
// before this end saw it, and the request takes the other half to reach it.
static const int64_t KEPT_MARGIN_SHARE = 5;
static const int64_t KEPT_MARGIN_MAX_USEC = 1000000;

// Locks: none. [P] the posting thread's own: judged posts are made by one thread at a time.
static CURLM *kept_multi;         // [P] its connection cache holds the kept connection
static CURL *kept_curl;           // [P] holds the TLS session, which outlives a connection
static unsigned kept_generation;  // [P] the settings the kept connection was made under
static int64_t kept_idle_since;   // [P] when the last request on it ended; 0: no connection
static int64_t kept_idle_limit;   // [P] the shortest idle time its peer closed at; 0: none
static int64_t kept_rtt;          // [P] the TCP connect time of the latest new connection

static int64_t monotonic_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Close the kept connection; its TLS session stays in kept_curl for the next one.
static void kept_connection_close(void) {
    if (kept_multi)
        curl_multi_cleanup(kept_multi);
    kept_multi = NULL;
    kept_idle_since = 0;
}

// Close the connection and forget the transfer and what its peer taught.
static void kept_transfer_drop(void) {
    kept_connection_close();
    if (kept_curl)
        curl_easy_cleanup(kept_curl);
    kept_curl = NULL;
    kept_idle_limit = 0;
    kept_rtt = 0;
}

// How long the kept connection may idle and still carry a request.
static int64_t kept_idle_allowed(void) {
    int64_t margin = kept_idle_limit / KEPT_MARGIN_SHARE;
    if (margin > KEPT_MARGIN_MAX_USEC)
        margin = KEPT_MARGIN_MAX_USEC;
    return kept_idle_limit - margin - kept_rtt;
}

bool kept_transfer_ready(int64_t now_usec, CURLM **multi, CURL **curl, int64_t *idle_usec) {
    if (!mapapi_setup.keep_alive) {
        kept_transfer_drop();  // turned off at set-up: no connection stays open
        return false;
    }
    if (kept_curl && kept_generation != mapapi_setup.generation)
        kept_transfer_drop();
    *idle_usec = kept_idle_since ? now_usec - kept_idle_since : -1;
    if (*idle_usec >= 0 && kept_idle_limit && *idle_usec >= kept_idle_allowed()) {
        kept_connection_close();
        *idle_usec = -1;
    }
    if (!kept_multi)
        kept_multi = curl_multi_init();
    if (!kept_curl)
        kept_curl = curl_easy_init();
    kept_generation = mapapi_setup.generation;
    *multi = kept_multi;
    *curl = kept_curl;
    return kept_multi && kept_curl;
}

// The peer closes connections idle for limit_usec, or sooner where it showed so before.
static void kept_limit_learn(int64_t limit_usec) {
    if (kept_idle_limit == 0 || limit_usec < kept_idle_limit)
        kept_idle_limit = limit_usec;
}

bool kept_post_end(CURL *curl, const kept_post *post) {
    kept_idle_since = monotonic_usec();
    curl_off_t resolved = 0, connected = 0;
    if (post->idle_usec < 0 &&
        curl_easy_getinfo(curl, CURLINFO_NAMELOOKUP_TIME_T, &resolved) == CURLE_OK &&
        curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK &&
        connected > resolved)
        kept_rtt = (int64_t)(connected - resolved);
    long keep_sec = mapapi_keep_alive_read(curl);
    if (keep_sec > 0)
        kept_limit_learn((int64_t)keep_sec * 1000000);
    int64_t at_once = KEPT_AT_ONCE_RTTS * kept_rtt > KEPT_AT_ONCE_USEC
                          ? KEPT_AT_ONCE_RTTS * kept_rtt
                          : KEPT_AT_ONCE_USEC;
    if (!post->closed_unanswered || post->idle_usec < KEPT_IDLE_LEARN_MIN_USEC ||
        post->took_usec >= at_once)
        return false;
    kept_limit_learn(post->idle_usec);
    return true;
}
