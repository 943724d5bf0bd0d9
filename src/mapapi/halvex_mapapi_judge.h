/* halvex_mapapi_judge.h -- private to the map client: judging what came back from a post. */
#ifndef HALVEX_MAPAPI_JUDGE_H
#define HALVEX_MAPAPI_JUDGE_H

#include <curl/curl.h>
#include <stdbool.h>
#include <time.h>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_response.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The answer of a judged post, and whether it ran over HALVEX_MAPAPI_ANSWER_MAX. */
typedef struct answer_buffer {
    response_buffer response;
    bool too_long;
} answer_buffer;

/* Set result's outcome and its reason (made printable, the key masked); returns outcome. */
int mapapi_result_set(halvex_mapapi_post_result *result, int outcome, const char *reason);

/* Judge a finished transfer whose status is already in result->http_status: rc is libcurl's
 * code for it, error_text its error buffer ("" for none). Fills the rest of result but
 * unconfirmed and returns the outcome. */
int mapapi_post_judge(halvex_mapapi_post_result *result, CURLcode rc, const char *error_text,
                      const answer_buffer *answer);

/* 1 when a post judged FAILED may still have given the map service the batch: the whole body
 * went out (sent_whole) and no answer of the map service settled it: none came, it was cut
 * short, or it came from a gateway in front of the map service (HTTP status 502 or 504), which
 * may have passed the batch on before it gave up waiting; 0 otherwise. rc is libcurl's code for
 * the transfer. */
int mapapi_post_unconfirmed(CURLcode rc, int sent_whole, const halvex_mapapi_post_result *result);

/* The seconds a Retry-After header's value asks to wait: a whole number of seconds, or an
 * HTTP date counted from now (seconds of the epoch); blanks around it allowed. 0 for a value
 * that is neither, or a date not after now; LONG_MAX at most. */
long mapapi_retry_after_parse(const char *value, time_t now);

/* On a post judged FAILED with HTTP status 429 or 503, read the last answer's Retry-After on
 * curl into result->retry_after_sec. */
void mapapi_retry_after_read(CURL *curl, halvex_mapapi_post_result *result);

/* The seconds a Keep-Alive header's value says its sender keeps an idle connection: its
 * timeout parameter ("timeout=5, max=100"; any case, blanks around the parts allowed), at most
 * MAPAPI_KEEP_ALIVE_MAX_SEC; 0 when it has none that is a whole number above 0. */
#define MAPAPI_KEEP_ALIVE_MAX_SEC 3600
long mapapi_keep_alive_parse(const char *value);

/* The timeout of the last answer's Keep-Alive header on curl, read as above; 0: none. */
long mapapi_keep_alive_read(CURL *curl);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_JUDGE_H */
