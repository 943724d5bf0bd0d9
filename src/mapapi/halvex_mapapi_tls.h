/* halvex_mapapi_tls.h -- private to the map client: the TLS checks a post's handle is given. */
#ifndef HALVEX_MAPAPI_TLS_H
#define HALVEX_MAPAPI_TLS_H

#include <curl/curl.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Set on curl how the map service's certificate is checked, as halvex_mapapi_set_tls_verify()
 * chose at set-up: not at all, against the system's store, or against the operator's CA file
 * read then. */
void mapapi_tls_options_set(CURL *curl);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_TLS_H */
