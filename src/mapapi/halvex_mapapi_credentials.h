/* halvex_mapapi_credentials.h -- private to the map client: the map id and key it keeps. */
#ifndef HALVEX_MAPAPI_CREDENTIALS_H
#define HALVEX_MAPAPI_CREDENTIALS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Keep the map id and key that open every batch, cut silently at HALVEX_MAPAPI_MAP_ID_MAX and
 * HALVEX_MAPAPI_MAP_KEY_MAX bytes; NULL keeps "". Set-up only: one thread, before any post, or
 * the posting thread between posts. Returns 1 when either differs from what was kept, else 0. */
int mapapi_credentials_keep(const char *id, const char *key);

/* The map key as kept, NUL-terminated; only to be read, so that answers can be masked. */
const char *mapapi_key_get(void);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_CREDENTIALS_H */
