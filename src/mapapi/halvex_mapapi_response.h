/* halvex_mapapi_response.h -- the map client's response collector, visible to its tests. */
#ifndef HALVEX_MAPAPI_RESPONSE_H
#define HALVEX_MAPAPI_RESPONSE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The response body collected so far: data holds size bytes and a NUL after them, or is NULL
 * while nothing has arrived. Starts as {NULL, 0}; data is released with free(). */
typedef struct response_buffer {
    char *data;
    size_t size;
} response_buffer;

/* libcurl write callback: appends size * nmemb bytes of chunk to out and returns that count.
 * When the bytes cannot be held (the size overflows or memory runs out) it releases what was
 * collected, leaves out as {NULL, 0} and returns 0, which makes libcurl end the transfer. */
size_t curl_write_callback_func(const void *chunk, size_t size, size_t nmemb, response_buffer *out);

/* The same with the type libcurl calls its write callback with; out is a response_buffer*. */
size_t curl_write_adapter(char *chunk, size_t size, size_t nmemb, void *out);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_RESPONSE_H */
