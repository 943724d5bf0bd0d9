/* halvex_mapapi_setup.h -- private to the map client: what set-up chose, read by every post. */
#ifndef HALVEX_MAPAPI_SETUP_H
#define HALVEX_MAPAPI_SETUP_H

#include <stdbool.h>
#include <stdint.h>

#include "mapapi/halvex_mapapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Locks: none. [I] written during set-up (one thread, before any post; again on the posting
 * thread between posts, while no probe runs), otherwise only read. */
typedef struct mapapi_settings {
    char endpoint[HALVEX_MAPAPI_ENDPOINT_MAX + 1]; /* [I] where posts go */
    long connect_timeout_sec;                      /* [I] a connection not made by then fails */
    long stall_timeout_sec;                        /* [I] a post that moves no byte this long */
    bool keep_alive;                               /* [I] judged posts keep their connection */
    unsigned generation; /* [I] changes whenever the endpoint, the credentials or the TLS checks
                            do: a connection kept under another must not carry a post */
} mapapi_settings;

extern mapapi_settings mapapi_setup;

/* When judged posts are cut, in CLOCK_MONOTONIC microseconds; 0: never. Any thread. */
int64_t mapapi_deadline_get(void);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_MAPAPI_SETUP_H */
