// halvex_mapapi.cpp -- STUB, to be replaced by the client module.
#include "halvex_mapapi.h"
#include <string.h>
#include <curl/curl.h>
static char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1];
static char map_key[HALVEX_MAPAPI_MAP_KEY_MAX + 1];
static char map_endpoint[HALVEX_MAPAPI_ENDPOINT_MAX + 1] = HALVEX_MAPAPI_DEFAULT_ENDPOINT;
void halvex_mapapi_init(const char *id, const char *key) {
    strncpy(map_id, id, HALVEX_MAPAPI_MAP_ID_MAX);
    strncpy(map_key, key, HALVEX_MAPAPI_MAP_KEY_MAX);
    curl_global_init(CURL_GLOBAL_ALL);
}
void halvex_mapapi_set_endpoint(const char *url) {
    strncpy(map_endpoint, url, sizeof map_endpoint);
    map_endpoint[sizeof map_endpoint - 1] = 0;
}
void halvex_mapapi_set_timeouts(long, long) {}
char *halvex_mapapi_encode_batch(const halvex_mapapi_point *, int, size_t *) { return 0; }
int halvex_mapapi_send_map_points(const halvex_mapapi_point *, int) { return 1; }
char *halvex_mapapi_send_raw_map_data(const char *) { return 0; }
