// config_apply.cpp -- the checked configuration handed to the map client and the listener.
#include "config_apply.h"

#include <sys/stat.h>

#include "base/log.h"
#include "intake/listener.h"

client_settings config_client_settings(const service_config *cfg) {
    return {cfg->map_id,     cfg->map_key, cfg->endpoint,
            cfg->verify_tls, cfg->ca_file, cfg->keep_alive};
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
void config_apply(const service_config *cfg, const char *path) {
    exposure_warn(path);
    client_settings settings = config_client_settings(cfg);
    int rc = client_settings_apply(&settings);
    if (rc != 0) {
        log_errorf("%s", client_settings_ca_line(rc, cfg->ca_file).c_str());
        log_exit(1);
    }
    listener_set_access(cfg->sock_mode, cfg->sock_gid);
}
