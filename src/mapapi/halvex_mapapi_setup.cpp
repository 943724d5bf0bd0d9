// halvex_mapapi_setup.cpp -- the map client's set-up: credentials, endpoint, bounds, keep-alive
// and the deadline that cuts a post.
#include "mapapi/halvex_mapapi_setup.h"

#include <curl/curl.h>
#include <string.h>

#include <atomic>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_credentials.h"

#ifndef HALVEX_MAPAPI_DEFAULT_ENDPOINT
#error "HALVEX_MAPAPI_DEFAULT_ENDPOINT must name the built-in endpoint URL"
#endif

mapapi_settings mapapi_setup = {HALVEX_MAPAPI_DEFAULT_ENDPOINT, HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC,
                                HALVEX_MAPAPI_STALL_TIMEOUT_SEC, true, 0};

// Locks: none. [I] set-up only; [A] atomic, written by any thread.
static bool curl_ready;                             // [I] curl_global_init has succeeded
static std::atomic<int64_t> post_deadline_usec{0};  // [A] see mapapi_deadline_get()

void halvex_mapapi_init(const char *id, const char *key) {
    if (mapapi_credentials_keep(id, key))
        mapapi_setup.generation++;
    if (!curl_ready)  // never undone: libcurl's global state lives as long as the process
        curl_ready = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
}

void halvex_mapapi_set_endpoint(const char *url) {
    char kept[sizeof mapapi_setup.endpoint];
    strncpy(kept, url && *url ? url : HALVEX_MAPAPI_DEFAULT_ENDPOINT, sizeof kept);
    kept[sizeof kept - 1] = '\0';
    if (strcmp(kept, mapapi_setup.endpoint) == 0)
        return;  // the kept connection still goes where posts go
    memcpy(mapapi_setup.endpoint, kept, sizeof kept);
    mapapi_setup.generation++;
}

void halvex_mapapi_set_timeouts(long connect_sec, long stall_sec) {
    if (connect_sec > 0)
        mapapi_setup.connect_timeout_sec = connect_sec;
    if (stall_sec > 0)
        mapapi_setup.stall_timeout_sec = stall_sec;
}

void halvex_mapapi_set_keep_alive(int keep) {
    mapapi_setup.keep_alive = keep != 0;  // the next post closes a kept connection when off
}

void halvex_mapapi_set_deadline(int64_t monotonic_usec) {
    post_deadline_usec.store(monotonic_usec);
}

int64_t mapapi_deadline_get(void) {
    return post_deadline_usec.load();
}
