// config_apply.cpp -- the checked configuration handed to the parts that keep it.
#include "config_apply.h"

#include "base/log.h"
#include "intake/listener.h"
#include "outbox/delivery.h"
#include "outbox/sender.h"

client_settings config_client_settings(const service_config *cfg) {
    return {cfg->map_id,     cfg->map_key, cfg->endpoint,
            cfg->verify_tls, cfg->ca_file, cfg->keep_alive};
}

// At start the client reads the CA file's certificates here, once; a reload's settings wait
// for the sender, the one thread that may change them once posting has begun.
static void client_apply(const service_config *cfg, int start) {
    client_settings settings = config_client_settings(cfg);
    if (!start) {
        client_settings_offer(&settings);
        return;
    }
    int rc = client_settings_apply(&settings);
    if (rc != 0) {
        log_errorf("%s", client_settings_ca_line(rc, cfg->ca_file).c_str());
        log_exit(1);
    }
}

void config_apply(const service_config *cfg, outbox *box, int start) {
    client_apply(cfg, start);
    box->send_interval_usec = cfg->send_interval_usec;
    sender_set_collect_pause_usec(cfg->collect_pause_usec);
    delivery_set_max_post_points(cfg->max_post_points);
    box->kind->age_limit_set(cfg->spool_max_age_sec);
    if (start)
        listener_set_access(cfg->sock_mode, cfg->sock_gid);
}
