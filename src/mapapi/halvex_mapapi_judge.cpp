// halvex_mapapi_judge.cpp -- what a judged post came to: the status first, then the answer,
// told in printable text that never shows the map key.
#include "mapapi/halvex_mapapi_judge.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "mapapi/halvex_mapapi_credentials.h"
#include "mapapi/halvex_mapapi_setup.h"

// Shortest run of the key's characters that an answer may not show: shorter runs are too
// common to give the key away, and letting longer ones through could show most of the key.
#define KEY_RUN_MASKED 6

// Length of the longest run at data[0..size) that equals, ignoring case, some part of the key.
static size_t key_run_length(const char *data, size_t size, const char *key, size_t key_len) {
    size_t longest = 0;
    for (size_t from = 0; from + longest < key_len; from++) {
        size_t n = 0;
        while (n < size && from + n < key_len &&
               tolower((unsigned char)data[n]) == tolower((unsigned char)key[from + n]))
            n++;
        if (n > longest)
            longest = n;
    }
    return longest;
}

// Length of the run at data[0..size) that shows the key in the form given, when it is long
// enough to mask: KEY_RUN_MASKED characters or more, or the whole form when it is shorter; else
// 0.
static size_t key_run_masked(const char *data, size_t size, const char *form) {
    size_t len = strlen(form);
    size_t run_min = len < KEY_RUN_MASKED ? len : KEY_RUN_MASKED;
    size_t run = len ? key_run_length(data, size, form, len) : 0;
    return run >= run_min ? run : 0;
}

// The first bytes of a text as printable ASCII, each run of KEY_RUN_MASKED or more characters
// of the map key (any case; the whole key when it is shorter), as it is or as a batch body
// writes it (JSON-escaped), shown as "***". Writes at most out_max bytes and a NUL.
static void text_printable_copy(char *out, size_t out_max, const char *data, size_t size) {
    const char *key = mapapi_key_get(), *key_json = mapapi_key_json_get();
    size_t reach = strlen(key_json);  // the longer form: no run from i ends past i + reach
    size_t n = 0, masked_to = 0;
    for (size_t i = 0; i < size && n < out_max; i++) {
        if (reach && i + reach > masked_to) {  // a run from here could mask further
            size_t run = key_run_masked(data + i, size - i, key);
            size_t run_json = key_run_masked(data + i, size - i, key_json);
            if (run_json > run)
                run = run_json;
            if (run && i + run > masked_to) {
                if (i >= masked_to)  // a new run, not one that lengthens the last
                    for (int star = 0; star < 3 && n < out_max; star++)
                        out[n++] = '*';
                masked_to = i + run;
            }
        }
        if (i < masked_to)
            continue;
        unsigned char ch = (unsigned char)data[i];
        out[n++] = (ch >= 0x20 && ch < 0x7f) ? (char)ch : '?';
    }
    out[n] = '\0';
}

int mapapi_result_set(halvex_mapapi_post_result *result, int outcome, const char *reason) {
    result->outcome = outcome;
    text_printable_copy(result->reason, HALVEX_MAPAPI_REASON_MAX, reason, strlen(reason));
    return outcome;
}

// Statuses that say the map service could not take the batch now, rather than refusing it:
// the request timed out, too many requests, or any server error.
static const long HTTP_REQUEST_TIMEOUT = 408;
static const long HTTP_TOO_MANY_REQUESTS = 429;
static const long HTTP_SERVER_ERROR_FIRST = 500;
// Answers of a gateway in front of the map service, which may have passed the batch on.
static const long HTTP_BAD_GATEWAY = 502;
static const long HTTP_GATEWAY_TIMEOUT = 504;
// With 429, the status that may carry a Retry-After.
static const long HTTP_SERVICE_UNAVAILABLE = 503;

static bool status_transient(long status) {
    return status == HTTP_REQUEST_TIMEOUT || status == HTTP_TOO_MANY_REQUESTS ||
           status >= HTTP_SERVER_ERROR_FIRST;
}

// A port that speaks the other protocol than the endpoint's scheme fails with texts that do
// not say so: TLS reads a plain HTTP answer as a "wrong version number", and a TLS port gives
// plain HTTP no answer, or closes on it while the request is still being written (a broken
// pipe, on a loaded machine). Those failures name the scheme.
static const char *scheme_hint(CURLcode rc, const char *error_text) {
    const char *endpoint = mapapi_setup.endpoint;
    if (strncasecmp(endpoint, "https://", 8) == 0 && rc == CURLE_SSL_CONNECT_ERROR &&
        strstr(error_text, "wrong version number"))
        return "; the endpoint is https://, but its port seems to answer plain HTTP";
    if (strncasecmp(endpoint, "http://", 7) == 0 &&
        (rc == CURLE_GOT_NOTHING || rc == CURLE_RECV_ERROR || rc == CURLE_SEND_ERROR))
        return "; the endpoint is http://, does its port expect https://?";
    return "";
}

int mapapi_post_judge(halvex_mapapi_post_result *result, CURLcode rc, const char *error_text,
                      const answer_buffer *answer) {
    const response_buffer *r = &answer->response;
    result->answer_size = r->size;
    text_printable_copy(result->answer_start, HALVEX_MAPAPI_ANSWER_START_MAX,
                        r->data ? r->data : "", r->size);
    char reason[HALVEX_MAPAPI_REASON_MAX + 1];
    // The status first: a busy map service may send a long page with it, and the batch is
    // still worth retrying.
    snprintf(reason, sizeof reason, "HTTP status %ld", result->http_status);
    if (status_transient(result->http_status))
        return mapapi_result_set(result, HALVEX_MAPAPI_POST_FAILED, reason);
    if (answer->too_long) {
        snprintf(reason, sizeof reason, "answer longer than %d bytes", HALVEX_MAPAPI_ANSWER_MAX);
        return mapapi_result_set(result, HALVEX_MAPAPI_POST_REFUSED, reason);
    }
    if (rc != CURLE_OK) {
        snprintf(reason, sizeof reason, "%s%s", error_text[0] ? error_text : curl_easy_strerror(rc),
                 scheme_hint(rc, error_text));
        return mapapi_result_set(result, HALVEX_MAPAPI_POST_FAILED, reason);
    }
    if (r->size == 4 && memcmp(r->data, "true", 4) == 0)
        return mapapi_result_set(result, HALVEX_MAPAPI_POST_ACCEPTED, "");
    return mapapi_result_set(result, HALVEX_MAPAPI_POST_REFUSED,
                             r->size ? "answer other than true" : "no answer body");
}

int mapapi_post_unconfirmed(CURLcode rc, int sent_whole, const halvex_mapapi_post_result *result) {
    long status = result->http_status;
    if (result->outcome != HALVEX_MAPAPI_POST_FAILED || !sent_whole)
        return 0;
    return status == HTTP_BAD_GATEWAY || status == HTTP_GATEWAY_TIMEOUT ||
           (rc != CURLE_OK && !status_transient(status));
}

long mapapi_retry_after_parse(const char *value, time_t now) {
    value += strspn(value, " \t");
    size_t digits = strspn(value, "0123456789");
    if (digits > 0 && value[digits + strspn(value + digits, " \t")] == '\0') {
        errno = 0;
        long sec = strtol(value, NULL, 10);
        return errno == ERANGE ? LONG_MAX : sec;
    }
    time_t date = curl_getdate(value, &now);
    return date == -1 || date <= now ? 0 : (long)(date - now);
}

void mapapi_retry_after_read(CURL *curl, halvex_mapapi_post_result *result) {
    long status = result->http_status;
    struct curl_header *header;
    if (result->outcome != HALVEX_MAPAPI_POST_FAILED ||
        (status != HTTP_TOO_MANY_REQUESTS && status != HTTP_SERVICE_UNAVAILABLE))
        return;
    if (curl_easy_header(curl, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
        result->retry_after_sec = mapapi_retry_after_parse(header->value, time(NULL));
}
