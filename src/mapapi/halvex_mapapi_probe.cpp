// halvex_mapapi_probe.cpp -- whether the map service answers: one connection to the endpoint,
// checked as a post's is, with nothing sent on it.
#include <curl/curl.h>
#include <errno.h>
#include <string.h>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_setup.h"
#include "mapapi/halvex_mapapi_tls.h"

// The reason as printable ASCII: libcurl's words may quote bytes of the URL or of the peer.
static int probe_failed(halvex_mapapi_probe_result *result, int outcome, const char *text) {
    size_t n = 0;
    for (; text[n] != '\0' && n < HALVEX_MAPAPI_PROBE_REASON_MAX; n++) {
        unsigned char ch = (unsigned char)text[n];
        result->reason[n] = ch >= 0x20 && ch < 0x7f ? (char)ch : '?';
    }
    result->reason[n] = '\0';
    result->outcome = outcome;
    return outcome;
}

// Which failure libcurl's code stands for; a refused connection is told by its errno.
static int probe_outcome(CURL *curl, CURLcode rc) {
    long os_errno = 0;
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return HALVEX_MAPAPI_PROBE_NO_HOST;
        case CURLE_COULDNT_CONNECT:
            curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_errno);
            return os_errno == ECONNREFUSED ? HALVEX_MAPAPI_PROBE_REFUSED
                                            : HALVEX_MAPAPI_PROBE_FAILED;
        case CURLE_PEER_FAILED_VERIFICATION:
            return HALVEX_MAPAPI_PROBE_CERTIFICATE;
        case CURLE_SSL_CONNECT_ERROR:
            return HALVEX_MAPAPI_PROBE_TLS;
        default:
            return HALVEX_MAPAPI_PROBE_FAILED;
    }
}

// The times libcurl took, in microseconds from the start: the name found, the connection
// made, the TLS handshake done (0 without TLS).
static int probe_reachable(CURL *curl, halvex_mapapi_probe_result *result) {
    curl_off_t found = 0, connected = 0, tls_done = 0;
    curl_easy_getinfo(curl, CURLINFO_NAMELOOKUP_TIME_T, &found);
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
    curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &tls_done);
    result->connect_usec = connected > found ? (long)(connected - found) : 0;
    result->tls_usec = tls_done > connected ? (long)(tls_done - connected) : 0;
    result->outcome = HALVEX_MAPAPI_PROBE_REACHABLE;
    return result->outcome;
}

int halvex_mapapi_probe(halvex_mapapi_probe_result *result) {
    memset(result, 0, sizeof *result);
    CURL *curl = curl_easy_init();
    if (!curl)
        return probe_failed(result, HALVEX_MAPAPI_PROBE_FAILED, "no transfer handle");
    char error_text[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, mapapi_setup.endpoint);
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);  // connect (and TLS), then stop
    mapapi_tls_options_set(curl);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    // The connect bound of a post, for the whole probe: its TLS handshake included.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, mapapi_setup.connect_timeout_sec);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, mapapi_setup.connect_timeout_sec);
    CURLcode rc = curl_easy_perform(curl);
    int outcome = rc == CURLE_OK
                      ? probe_reachable(curl, result)
                      : probe_failed(result, probe_outcome(curl, rc),
                                     error_text[0] ? error_text : curl_easy_strerror(rc));
    curl_easy_cleanup(curl);
    return outcome;
}
