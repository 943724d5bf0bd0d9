// halvex_mapapi_post.cpp -- the map client's posts: the raw post, the judged post, the kept
// connection.
#include <curl/curl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_judge.h"
#include "mapapi/halvex_mapapi_kept.h"
#include "mapapi/halvex_mapapi_response.h"
#include "mapapi/halvex_mapapi_setup.h"
#include "mapapi/halvex_mapapi_tls.h"

// A post that moves fewer bytes per second than this for stall_timeout_sec is given up.
#define STALL_SPEED_MIN 1L
// Redirects followed per post; a map service that redirects in a loop must not hold the
// sender for ever.
#define REDIRECTS_MAX 30L

// ---- transport -----------------------------------------------------------------------------

static size_t response_abandon(response_buffer *out) {
    free(out->data);
    out->data = NULL;
    out->size = 0;
    return 0;
}

size_t curl_write_callback_func(const void *chunk, size_t size, size_t nmemb,
                                response_buffer *out) {
    if (nmemb != 0 && size > SIZE_MAX / nmemb)
        return response_abandon(out);
    size_t n = size * nmemb;
    if (n == 0)
        return 0;
    if (n > SIZE_MAX - 1 - out->size)
        return response_abandon(out);
    char *grown = (char *)realloc(out->data, out->size + n + 1);
    if (!grown)
        return response_abandon(out);
    memcpy(grown + out->size, chunk, n);
    out->data = grown;
    out->size += n;
    out->data[out->size] = '\0';
    return n;
}

// The callback as libcurl calls it; the collector keeps its own, typed signature.
size_t curl_write_adapter(char *chunk, size_t size, size_t nmemb, void *out) {
    return curl_write_callback_func(chunk, size, nmemb, (response_buffer *)out);
}

// Every option of a post, raw or judged, in one place but its body: where it goes, how the
// map service is checked, where the answer goes, and the bounds.
static void post_options_set(CURL *curl, curl_slist *headers, curl_write_callback answer_write,
                             void *answer) {
    curl_easy_setopt(curl, CURLOPT_URL, mapapi_setup.endpoint);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // A redirect keeps the POST and its body: by default libcurl goes on after 301, 302 and
    // 303 with a GET and no body, and a "true" from there would count a batch the map never got.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, (long)CURL_REDIR_POST_ALL);
    // The body holds the map key: from an https endpoint, redirects may only go to https.
    if (strncasecmp(mapapi_setup.endpoint, "https://", 8) == 0)
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    mapapi_tls_options_set(curl);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, answer_write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer);
    // bounds, so that a map service that stops answering cannot hold the sender for ever
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, REDIRECTS_MAX);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, mapapi_setup.connect_timeout_sec);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, STALL_SPEED_MIN);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, mapapi_setup.stall_timeout_sec);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, (long)HALVEX_MAPAPI_POST_TIMEOUT_SEC);
}

char *halvex_mapapi_send_raw_map_data(const char *body) {
    if (!body)
        return NULL;  // libcurl would read the body from standard input instead
    CURL *curl = curl_easy_init();
    if (!curl)
        return NULL;
    curl_slist *headers = curl_slist_append(NULL, "Content-Type: application/json");
    response_buffer response = {NULL, 0};
    if (headers) {
        post_options_set(curl, headers, curl_write_adapter, &response);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
        curl_easy_perform(curl);  // failures show as a missing or different body
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return response.data;
}

int halvex_mapapi_send_map_points(const halvex_mapapi_point *points, int count) {
    char *body = halvex_mapapi_encode_batch(points, count, NULL);
    if (!body)
        return 1;
    char *response = halvex_mapapi_send_raw_map_data(body);
    int result = (response && strcmp(response, "true") == 0) ? 0 : 1;
    free(response);
    free(body);
    return result;
}

// ---- judged posts --------------------------------------------------------------------------

// Write callback of a judged post: collects as curl_write_callback_func does, up to the bound;
// past it, returning 0 makes libcurl end the transfer.
static size_t answer_collect(char *chunk, size_t size, size_t nmemb, void *userdata) {
    answer_buffer *answer = (answer_buffer *)userdata;
    size_t room = HALVEX_MAPAPI_ANSWER_MAX - answer->response.size;
    if (nmemb != 0 && (size > SIZE_MAX / nmemb || size * nmemb > room)) {
        answer->too_long = true;
        return 0;
    }
    return curl_write_callback_func(chunk, size, nmemb, &answer->response);
}

static int64_t monotonic_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Progress callback of a judged post: once the deadline has passed, a non-zero return makes
// libcurl abort the transfer.
static int deadline_check(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    int64_t deadline = mapapi_deadline_get();
    return deadline != 0 && monotonic_usec() >= deadline;
}

// The body of a judged post as libcurl reads it, and what became of it on the request in hand
// (a redirect, or libcurl's own resend on a new connection, makes a new request).
typedef struct post_body {
    const char *data;
    size_t size;
    size_t read_at;         // the next byte to hand to libcurl
    size_t sent;            // bytes of it written to the connection for the request in hand
    bool answered;          // the request in hand has had the status line of a final answer
    long answer_status;     // that answer's status
    bool resend_refused;    // libcurl would have sent it again after it went out whole unanswered
    int connections;        // connections opened for the transfer
    int first_connections;  // of them, those opened before its first request; -1: none began
    CURLcode ended;         // how the transfer ended
} post_body;

static size_t body_read(char *buffer, size_t size, size_t nmemb, void *userdata) {
    post_body *b = (post_body *)userdata;
    size_t n = b->size - b->read_at;
    if (nmemb != 0 && size <= SIZE_MAX / nmemb && size * nmemb < n)
        n = size * nmemb;
    memcpy(buffer, b->data + b->read_at, n);
    b->read_at += n;
    return n;
}

// Each request, the first, a redirected one or a resend, reads the body from its start. The
// first tells whether the transfer began on a kept connection.
static int request_begin(void *userdata, char *, char *, int, int) {
    post_body *b = (post_body *)userdata;
    if (b->first_connections < 0)
        b->first_connections = b->connections;
    b->read_at = 0;
    b->sent = 0;
    b->answered = false;
    return CURL_PREREQFUNC_OK;
}

// libcurl rewinds the body to send it again: after an answer that asks for that (a redirect),
// or after a kept connection died without an answer. A body that went out whole unanswered
// may have reached the map service: it is not sent again behind the caller's back, and the
// transfer fails, in doubt, for the caller's counted retry to take.
static int body_rewind(void *userdata, curl_off_t offset, int origin) {
    post_body *b = (post_body *)userdata;
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    if (!b->answered && b->sent >= b->size) {
        b->resend_refused = true;
        return CURL_SEEKFUNC_FAIL;
    }
    b->read_at = 0;
    return CURL_SEEKFUNC_OK;
}

// The status of an answer's status line ("HTTP/1.1 307 ...", "HTTP/2 200"), or 0 for any
// other header line.
static long status_line_read(const char *line, size_t size) {
    const char *space = (const char *)memchr(line, ' ', size);
    if (size < 9 || memcmp(line, "HTTP/", 5) != 0 || !space || line + size - space < 4)
        return 0;
    return strtol(space + 1, NULL, 10);
}

// libcurl's account of the transfer (with CURLOPT_VERBOSE): the body bytes written for each
// request, and the final answer to it (an interim 1xx answer is none). Body bytes after an
// answer belong to the next request: a redirect's, which may never begin when its connection
// fails, so the request in hand is known by its own marks, not by callbacks before it.
static int transfer_watch(CURL *, curl_infotype type, char *data, size_t size, void *userdata) {
    post_body *b = (post_body *)userdata;
    long status;
    if (type == CURLINFO_DATA_OUT) {
        if (b->answered)
            b->sent = 0;
        b->answered = false;
        b->sent += size;
    } else if (type == CURLINFO_HEADER_IN && (status = status_line_read(data, size)) >= 200) {
        b->answered = true;
        b->answer_status = status;
    }
    return 0;
}

// Whether the whole body was written for the request in hand when the transfer ended. After
// an answer that redirects, a transfer that failed failed on the redirect's request, whose
// body had not begun: libcurl writes it only once that request's connection is made.
static bool body_sent_whole(const post_body *b) {
    if (b->answered && b->answer_status / 100 == 3 && b->ended != CURLE_OK)
        return false;
    return b->sent >= b->size;
}

static int connection_count(void *userdata, curl_socket_t, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN)
        ((post_body *)userdata)->connections++;
    return CURL_SOCKOPT_OK;
}

// The body goes through the callbacks above rather than as CURLOPT_POSTFIELDS, so that the
// client, not libcurl, decides whether it may go twice.
static void body_options_set(CURL *curl, post_body *b) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)b->size);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, body_read);
    curl_easy_setopt(curl, CURLOPT_READDATA, b);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, body_rewind);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, b);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, request_begin);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, b);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, transfer_watch);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, b);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, connection_count);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, b);
}

// Run the transfer on multi, waking at least every HALVEX_MAPAPI_DEADLINE_CHECK_MS: libcurl
// calls the progress callback at each wake-up, so a deadline set while nothing moves is seen
// that soon (an easy transfer wakes once a second). The connection stays in multi's cache.
static CURLcode transfer_run(CURLM *multi, CURL *curl) {
    if (curl_multi_add_handle(multi, curl) != CURLM_OK)
        return CURLE_OUT_OF_MEMORY;
    int running = 1;
    while (running && curl_multi_perform(multi, &running) == CURLM_OK && running)
        curl_multi_poll(multi, NULL, 0, HALVEX_MAPAPI_DEADLINE_CHECK_MS, NULL);
    int queued;
    CURLMsg *msg = curl_multi_info_read(multi, &queued);
    CURLcode rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
    curl_multi_remove_handle(multi, curl);
    return rc;
}

// What is known of a post whose whole body went out and that no answer settled: this end
// wrote it all; whether the map service read it is not.
static const char UNCONFIRMED_NOTE[] =
    "; the whole batch was written out, whether the map service read it is unknown";

// A judged post of the body on curl, a handle the caller owns, on a new connection when fresh:
// the request as halvex_mapapi_send_raw_map_data() makes it, with the answer bounded, the
// whole post bounded by timeout_ms and cut at the deadline. Tells in *result how it went and
// returns the outcome.
static int post_judged_run(CURLM *multi, CURL *curl, curl_slist *headers, post_body *b,
                           long timeout_ms, bool fresh, halvex_mapapi_post_result *result) {
    answer_buffer answer = {{NULL, 0}, false};
    char error_text[CURL_ERROR_SIZE] = "";
    memset(result, 0, sizeof *result);  // a second try tells its own story
    post_options_set(curl, headers, answer_collect, &answer);
    body_options_set(curl, b);
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, deadline_check);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    b->ended = transfer_run(multi, curl);
    std::string failure = error_text;
    if (b->ended == CURLE_ABORTED_BY_CALLBACK)
        failure = "cut at the deadline";
    else if (b->resend_refused)
        failure = "connection closed without an answer";
    if (b->ended != CURLE_OK && !b->answered && body_sent_whole(b))
        failure = (failure.empty() ? curl_easy_strerror(b->ended) : failure) + UNCONFIRMED_NOTE;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result->http_status);
    int outcome = mapapi_post_judge(result, b->ended, failure.c_str(), &answer);
    result->unconfirmed = mapapi_post_unconfirmed(b->ended, body_sent_whole(b), result);
    mapapi_retry_after_read(curl, result);
    free(answer.response.data);
    return outcome;
}

// The connection closed under the request in hand before any answer to it.
static bool closed_unanswered(const post_body *b) {
    bool died = b->resend_refused || b->ended == CURLE_SEND_ERROR || b->ended == CURLE_RECV_ERROR ||
                b->ended == CURLE_GOT_NOTHING || b->ended == CURLE_SEND_FAIL_REWIND ||
                b->ended == CURLE_HTTP2 || b->ended == CURLE_HTTP2_STREAM;
    return died && !b->answered;
}

// A kept connection that the map service closed as the post began (its close and the request
// crossed) fails the post before any answer. When the body had not gone out whole the map
// service cannot have taken it: it goes again at once, on a new connection.
static bool post_again_due(const post_body *b) {
    return closed_unanswered(b) && b->connections == 0 && b->sent < b->size;
}

// After a request on the kept transfer: what it teaches of the connection's peer; a post that
// failed as its idle connection closed under it may go again at once, on a new one.
static void kept_request_end(CURL *curl, const post_body *b, int64_t idle, int64_t start,
                             halvex_mapapi_post_result *result) {
    kept_post post = {b->first_connections == 0 ? idle : -1, monotonic_usec() - start,
                      closed_unanswered(b)};
    if (kept_post_end(curl, &post) && result->outcome == HALVEX_MAPAPI_POST_FAILED)
        result->retry_at_once = 1;
}

// A judged post on the kept transfer, or on one of its own, and once more at once on a new
// connection when the kept one died under it (post_again_due()). A kept handle goes back to its
// defaults after each (keeping its connection and TLS session), so that the next post sets
// exactly what this one did and the handle keeps no pointer to this post's memory.
static int post_perform(const char *body, long timeout_ms, halvex_mapapi_post_result *result) {
    CURLM *multi = NULL;
    CURL *curl = NULL;
    int64_t start = monotonic_usec(), idle = -1;
    bool kept = kept_transfer_ready(start, &multi, &curl, &idle);
    if (!kept && !mapapi_setup.keep_alive) {
        multi = curl_multi_init();
        curl = curl_easy_init();
    }
    curl_slist *headers =
        multi && curl ? curl_slist_append(NULL, "Content-Type: application/json") : NULL;
    if (!headers)
        mapapi_result_set(result, HALVEX_MAPAPI_POST_FAILED, "no transfer handle");
    for (int attempt = 0; headers && attempt < 2; attempt++) {
        int64_t begun = monotonic_usec();
        long left_ms = timeout_ms - (long)((begun - start) / 1000);
        if (attempt > 0 && left_ms <= 0)
            break;  // the first try took the whole post's time: its outcome stands
        post_body b = {body, strlen(body), 0, 0, false, 0, false, 0, -1, CURLE_OK};
        post_judged_run(multi, curl, headers, &b, left_ms, attempt > 0, result);
        if (kept) {
            kept_request_end(curl, &b, attempt == 0 ? idle : -1, begun, result);
            curl_easy_reset(curl);
        }
        if (!kept || !post_again_due(&b))
            break;
    }
    curl_slist_free_all(headers);
    if (!kept && !mapapi_setup.keep_alive) {
        if (curl)
            curl_easy_cleanup(curl);
        if (multi)
            curl_multi_cleanup(multi);
    }
    return result->outcome;
}

int halvex_mapapi_post_map_points(const halvex_mapapi_point *points, int count, long timeout_ms,
                                  halvex_mapapi_post_result *result) {
    memset(result, 0, sizeof *result);
    const long limit_ms = HALVEX_MAPAPI_POST_TIMEOUT_SEC * 1000L;
    if (timeout_ms <= 0 || timeout_ms > limit_ms)
        timeout_ms = limit_ms;
    char *body = halvex_mapapi_encode_batch(points, count, NULL);
    if (!body)
        return mapapi_result_set(result, HALVEX_MAPAPI_POST_FAILED, "batch could not be encoded");
    int outcome = post_perform(body, timeout_ms, result);
    free(body);
    return outcome;
}
