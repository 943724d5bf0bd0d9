// client_settings.cpp -- the map client set up from the configuration, and new settings handed
// to the sender, which applies them between two posts.
#include "outbox/client_settings.h"

#include <pthread.h>

#include "base/lock_rank.h"
#include "base/log.h"
#include "mapapi/halvex_mapapi.h"

// Locks: [s] settings_lock, taken alone (but for the log's).
static pthread_mutex_t settings_lock = PTHREAD_MUTEX_INITIALIZER;
static client_settings pending;  // [s] offered and not applied yet, when pending_set
static bool pending_set;         // [s]
static int holds;                // [s] probes that read the client's settings now

std::string client_settings_ca_line(int rc, const std::string &ca_file) {
    if (rc == HALVEX_MAPAPI_CA_FILE_TOO_LONG)
        return "map_api_ca_file is too long: " + ca_file;
    if (rc == HALVEX_MAPAPI_CA_FILE_NOT_REGULAR)
        return "Cannot read map_api_ca_file " + ca_file + ": not a regular file.";
    return "Cannot read map_api_ca_file " + ca_file +
           ": no PEM certificate, or one that does not parse.";
}

int client_settings_apply(const client_settings *s) {
    int rc = halvex_mapapi_set_tls_verify(s->verify_tls, s->ca_file.c_str());
    if (rc != 0)
        return rc;
    halvex_mapapi_init(s->map_id.c_str(), s->map_key.c_str());
    halvex_mapapi_set_endpoint(s->endpoint.c_str());
    halvex_mapapi_set_keep_alive(s->keep_alive);
    return 0;
}

void client_settings_offer(const client_settings *s) {
    lock_take(&settings_lock, LOCK_RANK_SETTINGS);
    pending = *s;
    pending_set = true;
    lock_give(&settings_lock, LOCK_RANK_SETTINGS);
}

// Applied under the lock, so that a probe about to start waits for the whole change.
void client_settings_take(void) {
    lock_take(&settings_lock, LOCK_RANK_SETTINGS);
    int rc = 0;
    if (pending_set && holds == 0) {
        pending_set = false;
        rc = client_settings_apply(&pending);
    }
    if (rc != 0)  // the file changed since the reload checked it
        log_warnf("Warning: %s The map client keeps its previous settings.",
                  client_settings_ca_line(rc, pending.ca_file).c_str());
    lock_give(&settings_lock, LOCK_RANK_SETTINGS);
}

void client_settings_hold(void) {
    lock_take(&settings_lock, LOCK_RANK_SETTINGS);
    holds++;
    lock_give(&settings_lock, LOCK_RANK_SETTINGS);
}

void client_settings_release(void) {
    lock_take(&settings_lock, LOCK_RANK_SETTINGS);
    holds--;
    lock_give(&settings_lock, LOCK_RANK_SETTINGS);
}
