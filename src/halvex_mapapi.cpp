// halvex_mapapi.cpp -- client of the live-map service: credentials, batch encoding, HTTPS posting.
#include "halvex_mapapi.h"

#include <ctype.h>
#include <curl/curl.h>
#include <math.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>

#include "halvex_mapapi_internal.h"

#ifndef HALVEX_MAPAPI_DEFAULT_ENDPOINT
#error "HALVEX_MAPAPI_DEFAULT_ENDPOINT must name the built-in endpoint URL"
#endif

// Longest JSON text of one id or key byte: a \u00XX escape.
#define ESCAPED_BYTE_MAX 6
// Longest batch opening: the fixed names and punctuation (under 40 bytes) plus the id and key
// with every byte escaped.
#define HEADER_TEXT_MAX \
    (64 + ESCAPED_BYTE_MAX * (HALVEX_MAPAPI_MAP_ID_MAX + HALVEX_MAPAPI_MAP_KEY_MAX))
// Longest text of one coordinate: the widest float in fixed notation ("-", 39 integer digits,
// "." and 6 decimals: 47 bytes), with room to spare.
#define COORD_TEXT_MAX 64
// Longest text of one point and the comma before it: two coordinates, five numbers of at most
// 11 characters, and field names and punctuation of under 100 bytes. Room for this much is
// made before each point so that its fields are written without further checks.
#define POINT_TEXT_MAX 256
// First size of the body buffer; it doubles from here, so a batch costs O(log n) reallocs.
#define BODY_INITIAL_CAP 4096
// Scaled coordinates from 2^63 up do not fit the integer fast path and go to snprintf.
#define COORD_FAST_LIMIT 9223372036854775808.0
// A post that moves fewer bytes per second than this for stall_timeout_sec is given up.
#define STALL_SPEED_MIN 1L
// Redirects followed per post; a map service that redirects in a loop must not hold the
// sender for ever.
#define REDIRECTS_MAX 30L
// Shortest run of the key's characters that an answer may not show: shorter runs are too
// common to give the key away, and letting longer ones through could show most of the key.
#define KEY_RUN_MASKED 6

static char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1];
static char map_key[HALVEX_MAPAPI_MAP_KEY_MAX + 1];
static char map_endpoint[HALVEX_MAPAPI_ENDPOINT_MAX + 1] = HALVEX_MAPAPI_DEFAULT_ENDPOINT;
static long connect_timeout_sec = HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC;
static long stall_timeout_sec = HALVEX_MAPAPI_STALL_TIMEOUT_SEC;
static int tls_verify;  // 1: check the map service's certificate and host name
static char tls_ca_file[HALVEX_MAPAPI_CA_FILE_MAX + 1];  // "" for the system's store
// The certificates of tls_ca_file, read once at set-up and shared by every post; NULL with it "".
static X509_STORE *tls_ca_store;
static bool curl_ready;  // curl_global_init has succeeded; it is never undone
// When judged posts are cut, in CLOCK_MONOTONIC microseconds; 0: never. Written by any thread.
static std::atomic<int64_t> post_deadline_usec{0};

static const char hex_digits[] = "0123456789abcdef";

// The body under construction: len bytes used of cap.
struct body_buffer {
    char *data;
    size_t len;
    size_t cap;
};

// ---- set-up ------------------------------------------------------------------------------

void halvex_mapapi_init(const char *id, const char *key) {
    strncpy(map_id, id ? id : "", HALVEX_MAPAPI_MAP_ID_MAX);
    map_id[HALVEX_MAPAPI_MAP_ID_MAX] = '\0';
    strncpy(map_key, key ? key : "", HALVEX_MAPAPI_MAP_KEY_MAX);
    map_key[HALVEX_MAPAPI_MAP_KEY_MAX] = '\0';
    if (!curl_ready)
        curl_ready = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
}

void halvex_mapapi_set_endpoint(const char *url) {
    strncpy(map_endpoint, url ? url : "", sizeof map_endpoint);
    map_endpoint[sizeof map_endpoint - 1] = '\0';
}

void halvex_mapapi_set_timeouts(long connect_sec, long stall_sec) {
    if (connect_sec > 0)
        connect_timeout_sec = connect_sec;
    if (stall_sec > 0)
        stall_timeout_sec = stall_sec;
}

// The certificates of the PEM text in, added to store one at a time, so that a bundle of
// repeated certificates costs the memory of its distinct ones. Returns how many were read, or
// -1 when an entry does not parse.
static int ca_store_fill(X509_STORE *store, BIO *in) {
    int count = 0;
    X509 *cert;
    ERR_clear_error();
    while ((cert = PEM_read_bio_X509_AUX(in, NULL, NULL, NULL)) != NULL) {
        if (X509_STORE_add_cert(store, cert) == 1)
            count++;
        X509_free(cert);
    }
    unsigned long end = ERR_peek_last_error();  // the read that found no further certificate
    ERR_clear_error();
    bool at_end = ERR_GET_LIB(end) == ERR_LIB_PEM && ERR_GET_REASON(end) == PEM_R_NO_START_LINE;
    return at_end ? count : -1;
}

// A store of the certificates in the regular file at path, or NULL with *rc set. Trusts a
// certificate of the file even when it is not a root, as libcurl does with a file of its own.
static X509_STORE *ca_store_load(const char *path, int *rc) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        *rc = HALVEX_MAPAPI_CA_FILE_NOT_REGULAR;  // a device such as /dev/zero never ends
        return NULL;
    }
    BIO *in = BIO_new_file(path, "r");
    X509_STORE *store = in ? X509_STORE_new() : NULL;
    if (store && ca_store_fill(store, in) > 0 &&
        X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN) == 1) {
        BIO_free(in);
        return store;
    }
    X509_STORE_free(store);
    BIO_free(in);
    *rc = HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE;
    return NULL;
}

int halvex_mapapi_set_tls_verify(int verify, const char *ca_file) {
    if (!ca_file)
        ca_file = "";
    if (strlen(ca_file) > HALVEX_MAPAPI_CA_FILE_MAX)
        return HALVEX_MAPAPI_CA_FILE_TOO_LONG;
    X509_STORE *store = NULL;
    int rc = 0;
    if (*ca_file && !(store = ca_store_load(ca_file, &rc)))
        return rc;
    X509_STORE_free(tls_ca_store);
    tls_ca_store = store;
    memcpy(tls_ca_file, ca_file, strlen(ca_file) + 1);
    tls_verify = verify || *ca_file;
    return 0;
}

void halvex_mapapi_set_deadline(int64_t monotonic_usec) {
    post_deadline_usec.store(monotonic_usec);
}

// ---- text writers: each writes at p and returns the end of what it wrote -------------------

static char *literal_put(char *p, const char *s) {
    size_t n = strlen(s);
    memcpy(p, s, n);
    return p + n;
}

// v in decimal, zero-padded on the left to at least width digits.
static char *digits_put(char *p, uint64_t v, int width) {
    char rev[20];
    int n = 0;
    do {
        rev[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    for (; width > n; width--)
        *p++ = '0';
    while (n)
        *p++ = rev[--n];
    return p;
}

// As printf "%0<width>d": the sign counts towards the width.
static char *int_put(char *p, int32_t v, int width) {
    uint32_t magnitude = (uint32_t)v;
    if (v < 0) {
        *p++ = '-';
        magnitude = 0u - magnitude;
        width--;
    }
    return digits_put(p, magnitude, width);
}

// As printf "%06x".
static char *hex_put(char *p, uint32_t v) {
    int n = 6;
    while (n < 8 && (v >> (4 * n)) != 0)
        n++;
    for (int i = n - 1; i >= 0; i--)
        *p++ = hex_digits[(v >> (4 * i)) & 0xf];
    return p;
}

// As printf "%0.06f" of (double)f; JSON null for a value that is no number.
// A float has 24 significant bits and 1e6 is 15625 * 2^6 (14 more), so f * 1e6 is exact in a
// double; rounding it to an integer in the current mode rounds exactly as printf does.
static char *coord_put(char *p, float f) {
    if (!isfinite(f))
        return literal_put(p, "null");
    double scaled = (double)f * 1e6;
    if (fabs(scaled) >= COORD_FAST_LIMIT) {
        return p + snprintf(p, COORD_TEXT_MAX, "%0.06f", (double)f);
    }
    uint64_t micros = (uint64_t)fabs(nearbyint(scaled));
    if (signbit(f))
        *p++ = '-';  // printf keeps the sign of -0.0 and of tiny negatives
    p = digits_put(p, micros / 1000000, 1);
    *p++ = '.';
    return digits_put(p, micros % 1000000, 6);
}

// s as the inside of a JSON string: quote, backslash and control bytes escaped, others as-is.
static char *json_text_put(char *p, const char *s) {
    for (; *s; s++) {
        unsigned char ch = (unsigned char)*s;
        if (ch == '"' || ch == '\\') {
            *p++ = '\\';
            *p++ = (char)ch;
        } else if (ch == '\n') {
            p = literal_put(p, "\\n");
        } else if (ch == '\t') {
            p = literal_put(p, "\\t");
        } else if (ch < 0x20) {
            p = literal_put(p, "\\u00");
            *p++ = hex_digits[ch >> 4];
            *p++ = hex_digits[ch & 0xf];
        } else {
            *p++ = (char)ch;
        }
    }
    return p;
}

// ---- batch encoding ------------------------------------------------------------------------

// Make room for more bytes after the used ones, doubling the capacity; -1 when memory runs out.
static int body_reserve(body_buffer *t, size_t more) {
    if (t->cap - t->len >= more)
        return 0;
    size_t cap = t->cap ? t->cap : BODY_INITIAL_CAP;
    while (cap - t->len < more) {
        if (cap > SIZE_MAX / 2)
            return -1;
        cap *= 2;
    }
    char *grown = (char *)realloc(t->data, cap);
    if (!grown)
        return -1;
    t->data = grown;
    t->cap = cap;
    return 0;
}

static char *header_put(char *p) {
    p = literal_put(p, "{\"mapId\":\"");
    p = json_text_put(p, map_id);
    p = literal_put(p, "\",\"key\":\"");
    p = json_text_put(p, map_key);
    return literal_put(p, "\",\"points\":[");
}

static char *location_put(char *p, const halvex_mapapi_point *pt) {
    if (pt->loc_type == HALVEX_MAPAPI_LOC_LATLNG) {
        p = literal_put(p, "\"lat\":");
        p = coord_put(p, pt->lat);
        p = literal_put(p, ",\"lng\":");
        p = coord_put(p, pt->lng);
        *p++ = ',';
    } else if (pt->loc_type == HALVEX_MAPAPI_LOC_ZIPCODE) {
        p = literal_put(p, "\"zipcode\":\"");
        p = int_put(p, pt->zipcode, 5);
        p = literal_put(p, "\",");
    }
    return p;
}

// "<name><v>," with v as printf "%d" shows it.
static char *number_field_put(char *p, const char *name, int32_t v) {
    p = literal_put(p, name);
    p = int_put(p, v, 1);
    *p++ = ',';
    return p;
}

static char *colour_field_put(char *p, const char *name, uint32_t v) {
    p = literal_put(p, name);
    p = hex_put(p, v);
    return literal_put(p, "\",");
}

// One point object: its present fields in fixed order, each closed by a comma, the last comma
// turned into the closing brace.
static char *point_put(char *p, const halvex_mapapi_point *pt) {
    *p++ = '{';
    p = location_put(p, pt);
    if (pt->r != 0)
        p = number_field_put(p, "\"r\":", pt->r);
    if (pt->c)
        p = colour_field_put(p, "\"c\":\"#", *pt->c);
    if (pt->c2)
        p = colour_field_put(p, "\"c2\":\"#", *pt->c2);
    // delay and visible_time go out as signed 32-bit numbers: from 2^31 up they print negative
    if (pt->delay != 0)
        p = number_field_put(p, "\"delay\":", (int32_t)pt->delay);
    if (pt->visible_time != 0) {
        p = number_field_put(p, "\"visible_time\":", (int32_t)pt->visible_time);
    }
    if (p[-1] == ',') {
        p[-1] = '}';
    } else {
        *p++ = '}';
    }
    return p;
}

char *halvex_mapapi_encode_batch(const halvex_mapapi_point *points, int count, size_t *len) {
    if (!points || count < 1)
        return NULL;
    body_buffer t = {NULL, 0, 0};
    if (body_reserve(&t, HEADER_TEXT_MAX) != 0)
        return NULL;
    t.len = (size_t)(header_put(t.data) - t.data);
    for (int i = 0; i < count; i++) {
        if (body_reserve(&t, POINT_TEXT_MAX) != 0) {
            free(t.data);
            return NULL;
        }
        char *p = t.data + t.len;
        if (i > 0)
            *p++ = ',';
        t.len = (size_t)(point_put(p, &points[i]) - t.data);
    }
    if (body_reserve(&t, 3) != 0) {
        free(t.data);
        return NULL;
    }
    memcpy(t.data + t.len, "]}", 3);
    t.len += 2;
    if (len)
        *len = t.len;
    return t.data;
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

// Each post's TLS context checks against the store read at set-up; it holds a reference of
// its own, released with the context.
static CURLcode tls_ctx_prepare(CURL *, void *ssl_ctx, void *) {
    if (X509_STORE_up_ref(tls_ca_store) != 1)
        return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_cert_store((SSL_CTX *)ssl_ctx, tls_ca_store);
    return CURLE_OK;
}

// Verification against the operator's file uses the certificates read at set-up: libcurl would
// read the whole file again for every post. A libcurl built on another TLS library reads it.
static void tls_ca_set(CURL *curl) {
    if (!tls_ca_store)
        return;
    if (curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, tls_ctx_prepare) != CURLE_OK) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, tls_ca_file);
        return;
    }
    curl_easy_setopt(curl, CURLOPT_CAINFO, NULL);  // nor read its built-in bundle or folder
    curl_easy_setopt(curl, CURLOPT_CAPATH, NULL);
}

static void post_options_set(CURL *curl, const char *body, curl_slist *headers,
                             response_buffer *response) {
    curl_easy_setopt(curl, CURLOPT_URL, map_endpoint);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // A redirect keeps the POST and its body: by default libcurl goes on after 301, 302 and
    // 303 with a GET and no body, and a "true" from there would count a batch the map never got.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, (long)CURL_REDIR_POST_ALL);
    // The body holds the map key: from an https endpoint, redirects may only go to https.
    if (strncasecmp(map_endpoint, "https://", 8) == 0)
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, tls_verify ? 1L : 0L);
    if (tls_verify) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        tls_ca_set(curl);
    }
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, curl_write_adapter);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, response);
    // bounds, so that a map service that stops answering cannot hold the sender for ever
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, REDIRECTS_MAX);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_sec);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, STALL_SPEED_MIN);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_timeout_sec);
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
        post_options_set(curl, body, headers, &response);
        curl_easy_perform(curl);  // failures show as a missing or different body
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return response.data;
}

// ---- judged posts --------------------------------------------------------------------------

// The answer of a judged post, and whether it ran over HALVEX_MAPAPI_ANSWER_MAX.
struct answer_buffer {
    response_buffer response;
    bool too_long;
};

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

// Length of the longest run at data[0..size) that equals, ignoring case, some part of the key.
static size_t key_run_length(const char *data, size_t size, size_t key_len) {
    size_t longest = 0;
    for (size_t from = 0; from + longest < key_len; from++) {
        size_t n = 0;
        while (n < size && from + n < key_len &&
               tolower((unsigned char)data[n]) == tolower((unsigned char)map_key[from + n]))
            n++;
        if (n > longest)
            longest = n;
    }
    return longest;
}

// The first bytes of a text as printable ASCII, each run of KEY_RUN_MASKED or more characters
// of the map key (any case; the whole key when it is shorter) shown as "***". Writes at most
// out_max bytes and a NUL.
static void text_printable_copy(char *out, size_t out_max, const char *data, size_t size) {
    size_t key_len = strlen(map_key), n = 0, masked_to = 0;
    size_t run_min = key_len < KEY_RUN_MASKED ? key_len : KEY_RUN_MASKED;
    for (size_t i = 0; i < size && n < out_max; i++) {
        if (key_len && i + key_len > masked_to) {  // a run from here could mask further
            size_t run = key_run_length(data + i, size - i, key_len);
            if (run >= run_min && i + run > masked_to) {
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

static int post_result_set(halvex_mapapi_post_result *result, int outcome, const char *reason) {
    result->outcome = outcome;
    text_printable_copy(result->reason, HALVEX_MAPAPI_REASON_MAX, reason, strlen(reason));
    return outcome;
}

// Statuses that say the map service could not take the batch now, rather than refusing it.
static bool status_transient(long status) {
    return status == 408 || status == 429 || status >= 500;
}

static int post_judge(halvex_mapapi_post_result *result, CURLcode rc, const char *error_text,
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
        return post_result_set(result, HALVEX_MAPAPI_POST_FAILED, reason);
    if (answer->too_long) {
        snprintf(reason, sizeof reason, "answer longer than %d bytes", HALVEX_MAPAPI_ANSWER_MAX);
        return post_result_set(result, HALVEX_MAPAPI_POST_REFUSED, reason);
    }
    if (rc != CURLE_OK)
        return post_result_set(result, HALVEX_MAPAPI_POST_FAILED,
                               error_text[0] ? error_text : curl_easy_strerror(rc));
    if (r->size == 4 && memcmp(r->data, "true", 4) == 0)
        return post_result_set(result, HALVEX_MAPAPI_POST_ACCEPTED, "");
    return post_result_set(result, HALVEX_MAPAPI_POST_REFUSED,
                           r->size ? "answer other than true" : "no answer body");
}

// Progress callback of a judged post: once the deadline has passed, a non-zero return makes
// libcurl abort the transfer.
static int deadline_check(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    int64_t deadline = post_deadline_usec.load();
    if (deadline == 0)
        return 0;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000 >= deadline;
}

// Run the transfer on a multi handle of its own, waking at least every
// HALVEX_MAPAPI_DEADLINE_CHECK_MS: libcurl calls the progress callback at each wake-up, so a
// deadline set while nothing moves is seen that soon (an easy transfer wakes once a second).
static CURLcode transfer_run(CURL *curl) {
    CURLM *multi = curl_multi_init();
    if (!multi)
        return CURLE_OUT_OF_MEMORY;
    CURLcode rc = CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, curl) == CURLM_OK) {
        int running = 1;
        while (running && curl_multi_perform(multi, &running) == CURLM_OK && running)
            curl_multi_poll(multi, NULL, 0, HALVEX_MAPAPI_DEADLINE_CHECK_MS, NULL);
        int queued;
        CURLMsg *msg = curl_multi_info_read(multi, &queued);
        rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
        curl_multi_remove_handle(multi, curl);
    }
    curl_multi_cleanup(multi);
    return rc;
}

// A failed post may have given the map service the batch when the whole body went out and no
// status of a failure came back.
static int post_unconfirmed(CURL *curl, CURLcode rc, const char *body,
                            const halvex_mapapi_post_result *result) {
    curl_off_t sent = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent);
    return result->outcome == HALVEX_MAPAPI_POST_FAILED && rc != CURLE_OK &&
           !status_transient(result->http_status) && (size_t)sent >= strlen(body);
}

// The transfer of a judged post: the body as halvex_mapapi_send_raw_map_data() sends it, with
// the answer bounded, the whole post bounded by timeout_ms and cut at the deadline.
static int post_perform(const char *body, long timeout_ms, halvex_mapapi_post_result *result) {
    CURL *curl = curl_easy_init();
    curl_slist *headers = curl ? curl_slist_append(NULL, "Content-Type: application/json") : NULL;
    if (!headers) {
        if (curl)
            curl_easy_cleanup(curl);
        return post_result_set(result, HALVEX_MAPAPI_POST_FAILED, "no transfer handle");
    }
    answer_buffer answer = {{NULL, 0}, false};
    char error_text[CURL_ERROR_SIZE] = "";
    post_options_set(curl, body, headers, &answer.response);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, answer_collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, deadline_check);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    CURLcode rc = transfer_run(curl);
    if (rc == CURLE_ABORTED_BY_CALLBACK)
        snprintf(error_text, sizeof error_text, "cut at the deadline");
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result->http_status);
    int outcome = post_judge(result, rc, error_text, &answer);
    result->unconfirmed = post_unconfirmed(curl, rc, body, result);
    free(answer.response.data);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return outcome;
}

int halvex_mapapi_post_map_points(const halvex_mapapi_point *points, int count, long timeout_ms,
                                  halvex_mapapi_post_result *result) {
    memset(result, 0, sizeof *result);
    const long limit_ms = HALVEX_MAPAPI_POST_TIMEOUT_SEC * 1000L;
    if (timeout_ms <= 0 || timeout_ms > limit_ms)
        timeout_ms = limit_ms;
    char *body = halvex_mapapi_encode_batch(points, count, NULL);
    if (!body)
        return post_result_set(result, HALVEX_MAPAPI_POST_FAILED, "batch could not be encoded");
    int outcome = post_perform(body, timeout_ms, result);
    free(body);
    return outcome;
}
