// config_apply.cpp -- the checked configuration handed to the map client and the listener.
#include "config_apply.h"

#include <sys/stat.h>

#include "base/log.h"
#include "intake/listener.h"
#include "mapapi/halvex_mapapi.h"

static void client_apply(const service_config *cfg) {
    halvex_mapapi_init(cfg->map_id.c_str(), cfg->map_key.c_str());
    if (!cfg->endpoint.empty())
        halvex_mapapi_set_endpoint(cfg->endpoint.c_str());
    halvex_mapapi_set_keep_alive(cfg->keep_alive);
}

// The file holds map_key: say so when every local user can read it.
static void exposure_warn(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || !(st.st_mode & S_IROTH))
        return;
    log_warnf(
        "Warning: %s holds map_key and every local user can read it; "
        "make it readable by the service only (chmod 600).",
        path);
}

// The CA file was a regular file when the configuration was read; the client reads its
// certificates here, once.
static void tls_apply(const service_config *cfg) {
    const char *ca_file = cfg->ca_file.empty() ? NULL : cfg->ca_file.c_str();
    int rc = halvex_mapapi_set_tls_verify(cfg->verify_tls, ca_file);
    if (rc == HALVEX_MAPAPI_CA_FILE_TOO_LONG)
        log_errorf("map_api_ca_file is too long: %s", ca_file);
    else if (rc == HALVEX_MAPAPI_CA_FILE_NOT_REGULAR)
        log_errorf("Cannot read map_api_ca_file %s: not a regular file.", ca_file);
    else if (rc == HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE)
        log_errorf(
            "Cannot read map_api_ca_file %s: no PEM certificate, or one that does not "
            "parse.",
            ca_file);
    if (rc != 0)
        log_exit(1);
}

void config_apply(const service_config *cfg, const char *path) {
    client_apply(cfg);
    exposure_warn(path);
    tls_apply(cfg);
    listener_set_access(cfg->sock_mode, cfg->sock_gid);
}
