// security.cpp -- the operator's security keys applied: TLS verification, socket mode and
// group; and a warning for a configuration file that every local user can read.
#include "security.h"

#include <sys/stat.h>

#include "halvex_mapapi.h"
#include "listener.h"
#include "log.h"

// The CA file was readable when the configuration was read; the client loads it here, once.
void security_apply(const service_config *cfg) {
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
    listener_set_access(cfg->sock_mode, cfg->sock_gid);
}

void config_exposure_warn(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || !(st.st_mode & S_IROTH))
        return;
    log_warnf(
        "Warning: %s holds map_key and every local user can read it; "
        "make it readable by the service only (chmod 600).",
        path);
}
