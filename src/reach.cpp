// reach.cpp -- the line at start that says whether the map service answers.
#include "reach.h"

#include <pthread.h>
#include <stdio.h>

#include <string>

#include "base/log.h"
#include "mapapi/halvex_mapapi.h"
#include "outbox/client_settings.h"

// Locks: none. [I] written before the probe's thread starts, then read by it only.
static std::string reach_endpoint;  // [I] the endpoint as the start line shows it
static bool reach_builtin;          // [I] the configuration names no endpoint

// What a failed probe means, in the operator's words.
static const char *reach_failure_text(int outcome) {
    switch (outcome) {
        case HALVEX_MAPAPI_PROBE_NO_HOST:
            return "its host name does not resolve";
        case HALVEX_MAPAPI_PROBE_REFUSED:
            return "the connection is refused";
        case HALVEX_MAPAPI_PROBE_CERTIFICATE:
            return "its certificate fails the check";
        case HALVEX_MAPAPI_PROBE_TLS:
            return "the TLS handshake fails";
        default:
            return "the connection fails";
    }
}

static void reach_line_print(const halvex_mapapi_probe_result *r) {
    if (r->outcome != HALVEX_MAPAPI_PROBE_REACHABLE) {
        log_warnf(
            "Warning: no connection to the map service at %s: %s (%s); points are held and "
            "retried until one is made.%s",
            reach_endpoint.c_str(), reach_failure_text(r->outcome), r->reason,
            reach_builtin ? " map_api_endpoint is not set, and the built-in endpoint is a "
                            "placeholder: set map_api_endpoint to the map service's URL."
                          : "");
        return;
    }
    char tls[64] = ", no TLS (plain HTTP)";
    if (r->tls_usec > 0)
        snprintf(tls, sizeof tls, ", TLS ready %.1f ms later", r->tls_usec / 1000.0);
    log_printf("The map service at %s answers: connected in %.1f ms (one round trip)%s.%s",
               reach_endpoint.c_str(), r->connect_usec / 1000.0, tls,
               reach_builtin ? " map_api_endpoint is not set: this is the built-in endpoint." : "");
}

// A reload's settings wait for the probe: it reads the client's settings as they stand.
static void *reach_thread_func(void *) {
    halvex_mapapi_probe_result result;
    client_settings_hold();
    halvex_mapapi_probe(&result);
    client_settings_release();
    reach_line_print(&result);
    return NULL;
}

void reach_check_start(const char *endpoint_shown, bool builtin) {
    reach_endpoint = endpoint_shown;
    reach_builtin = builtin;
    pthread_t thread;
    // Without a thread the line is not printed: the service serves and posts all the same.
    if (pthread_create(&thread, NULL, reach_thread_func, NULL) == 0)
        pthread_detach(thread);
}
