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

// The byte two hexadecimal digits stand for.
static int hex_pair_value(const unsigned char *digits) {
    char two[3] = {(char)digits[0], (char)digits[1], '\0'};
    return (int)strtol(two, NULL, 16);
}

// The byte that text[i..] stands for and, in *width, how many bytes of text it takes: a %XX
// escape (as a URL writes a byte) or a JSON escape (as a batch body writes one: \", \\, \/,
// \b, \f, \n, \r, \t, \u00XX) is read as its byte, anything else is itself.
static int text_byte_at(const char *text, size_t size, size_t i, size_t *width) {
    static const char json_named[] = "\"\\/bfnrt", json_meant[] = "\"\\/\b\f\n\r\t";
    const unsigned char *t = (const unsigned char *)text;
    *width = 1;
    if (t[i] == '%' && i + 2 < size && isxdigit(t[i + 1]) && isxdigit(t[i + 2])) {
        *width = 3;
        return hex_pair_value(t + i + 1);
    }
    if (t[i] != '\\' || i + 1 >= size)
        return t[i];
    if (t[i + 1] && strchr(json_named, t[i + 1])) {
        *width = 2;
        return json_meant[strchr(json_named, t[i + 1]) - json_named];
    }
    if (i + 5 < size && memcmp(text + i + 1, "u00", 3) == 0 && isxdigit(t[i + 4]) &&
        isxdigit(t[i + 5])) {
        *width = 6;
        return hex_pair_value(t + i + 4);
    }
    return t[i];
}

// How many bytes of text, from i, show a part of key long enough to give it away
// (HALVEX_MAPAPI_KEY_RUN_HIDDEN characters, or the whole key when it is shorter), any case,
// escapes read; the longest such run, or 0.
static size_t key_run_at(const char *text, size_t size, size_t i, const char *key, size_t key_len) {
    size_t shortest =
        key_len < HALVEX_MAPAPI_KEY_RUN_HIDDEN ? key_len : HALVEX_MAPAPI_KEY_RUN_HIDDEN;
    size_t longest = 0;
    for (size_t from = 0; from + shortest <= key_len; from++) {
        size_t at = i, n = 0, width;
        while (at < size && from + n < key_len &&
               tolower(text_byte_at(text, size, at, &width)) ==
                   tolower((unsigned char)key[from + n])) {
            at += width;
            n++;
        }
        if (n >= shortest && at - i > longest)
            longest = at - i;
    }
    return longest;
}

size_t halvex_mapapi_key_hide(const char *text, size_t size, const char *key, char *out,
                              size_t out_max) {
    size_t key_len = key ? strlen(key) : 0, n = 0, hidden_to = 0;
    for (size_t i = 0; i < size && n < out_max; i++) {
        size_t run = key_len ? key_run_at(text, size, i, key, key_len) : 0;
        if (run && i + run > hidden_to) {
            if (i >= hidden_to)  // a new run, not one that lengthens the last
                for (int star = 0; star < 3 && n < out_max; star++)
                    out[n++] = '*';
            hidden_to = i + run;
        }
        if (i >= hidden_to)
            out[n++] = text[i];
    }
    out[n] = '\0';
    return n;
}

// The first bytes of a text as printable ASCII, the map key hidden (halvex_mapapi_key_hide()),
// every other byte outside printable ASCII shown as '?'. Writes at most out_max bytes and a NUL.
static void text_printable_copy(char *out, size_t out_max, const char *data, size_t size) {
    size_t n = halvex_mapapi_key_hide(data, size, mapapi_key_get(), out, out_max);
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)out[i] < 0x20 || (unsigned char)out[i] >= 0x7f)
            out[i] = '?';
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

long mapapi_keep_alive_parse(const char *value) {
    for (const char *part = value; part; part = strchr(part, ',')) {
        part += strspn(part, ", \t");
        if (strncasecmp(part, "timeout", 7) != 0)
            continue;
        const char *at = part + 7 + strspn(part + 7, " \t");
        if (*at != '=')
            continue;
        at += 1 + strspn(at + 1, " \t");
        char *end;
        errno = 0;
        long sec = isdigit((unsigned char)*at) ? strtol(at, &end, 10) : 0;
        if (sec <= 0 || (*end && !strchr(", \t", *end)))
            return 0;
        return errno == ERANGE || sec > MAPAPI_KEEP_ALIVE_MAX_SEC ? MAPAPI_KEEP_ALIVE_MAX_SEC : sec;
    }
    return 0;
}

long mapapi_keep_alive_read(CURL *curl) {
    struct curl_header *header;
    if (curl_easy_header(curl, "Keep-Alive", 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return 0;
    return mapapi_keep_alive_parse(header->value);
}
