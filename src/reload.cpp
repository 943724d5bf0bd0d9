// reload.cpp -- SIGHUP: the configuration file read again, and what can change in place changed.
#include "reload.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "config_apply.h"
#include "mapapi/halvex_mapapi.h"
#include "notifier.h"
#include "outbox/client_settings.h"
#include "outbox/delivery.h"

// Locks: none. [I] set by reload_setup() before the signal thread starts, then only read;
// [R] the signal thread's own.
static const char *reload_path;    // [I] the file the start read
static outbox *reload_queue;       // [I] the outbox whose interval a reload sets
static service_config running;     // [R] the configuration in use

void reload_setup(const char *path, const service_config *cfg, outbox *q) {
    reload_path = path;
    running = *cfg;
    reload_queue = q;
}

// A key that needs a restart, as a line shows its value.
struct kept_key {
    const char *name;
    std::string was, now;
};

static std::string mode_shown(mode_t mode) {
    char text[16];
    snprintf(text, sizeof text, "%04o", (unsigned)mode);
    return text;
}

static std::string gid_shown(gid_t gid) {
    return gid == (gid_t)-1 ? "(not set)" : "gid " + std::to_string(gid);
}

// The socket and the metrics listener are made once, and the queue's bound is what the
// metrics report: a change waits for a restart, and the running value stays. So do the
// spool's keys but its age limit, its folder being locked and read at start, and with a spool
// the map id, which its files carry: points held for one map are never posted to another.
static void kept_keys_keep(const service_config *old, service_config *fresh) {
    bool spool = !old->spool_dir.empty();
    const kept_key keys[] = {
        {"unix_sock_path", old->sock_path, fresh->sock_path},
        {"unix_sock_mode", mode_shown(old->sock_mode), mode_shown(fresh->sock_mode)},
        {"unix_sock_group", gid_shown(old->sock_gid), gid_shown(fresh->sock_gid)},
        {"metrics_listen", old->metrics_listen.empty() ? "(off)" : old->metrics_listen,
         fresh->metrics_listen.empty() ? "(off)" : fresh->metrics_listen},
        {"max_queued_points", std::to_string(old->max_queued_points),
         std::to_string(fresh->max_queued_points)},
        {"spool_dir", old->spool_dir.empty() ? "(off)" : old->spool_dir,
         fresh->spool_dir.empty() ? "(off)" : fresh->spool_dir},
        {"spool_max_bytes", std::to_string(old->spool_max_bytes),
         std::to_string(fresh->spool_max_bytes)},
        {"spool_sync_usec", std::to_string(old->spool_sync_usec),
         std::to_string(fresh->spool_sync_usec)},
        {"map_id", old->map_id, spool ? fresh->map_id : old->map_id},
    };
    for (const kept_key &key : keys) {
        if (key.was != key.now)
            log_warnf("Warning: %s: %s = %s needs a restart; kept %s until then.", reload_path,
                      key.name, key.now.c_str(), key.was.c_str());
    }
    fresh->sock_path = old->sock_path;
    fresh->sock_mode = old->sock_mode;
    fresh->sock_gid = old->sock_gid;
    fresh->metrics_listen = old->metrics_listen;
    fresh->metrics_addr = old->metrics_addr;
    fresh->max_queued_points = old->max_queued_points;
    fresh->spool_dir = old->spool_dir;
    fresh->spool_max_bytes = old->spool_max_bytes;
    if (!spool)
        fresh->spool_max_age_sec = old->spool_max_age_sec;  // nothing to apply it to
    fresh->spool_sync_usec = old->spool_sync_usec;
    if (spool)
        fresh->map_id = old->map_id;
}

// The keys a reload changes in place whose values differ, by name; "" when none does.
static std::string changed_names(const service_config *old, const service_config *now) {
    const struct {
        const char *name;
        bool differs;
    } keys[] = {
        {"map_id", old->map_id != now->map_id},
        {"map_key", old->map_key != now->map_key},
        {"map_api_endpoint", old->endpoint != now->endpoint},
        {"map_api_verify_tls", old->verify_tls != now->verify_tls},
        {"map_api_ca_file", old->ca_file != now->ca_file},
        {"map_api_keep_alive", old->keep_alive != now->keep_alive},
        {"send_interval_usec", old->send_interval_usec != now->send_interval_usec},
        {"max_post_points", old->max_post_points != now->max_post_points},
        {"spool_max_age_sec", old->spool_max_age_sec != now->spool_max_age_sec},
    };
    std::string names;
    for (const auto &key : keys) {
        if (key.differs)
            names += (names.empty() ? "" : ", ") + std::string(key.name);
    }
    return names;
}

// The certificates are read now, as at start, so that a file the client could not load
// refuses the reload rather than leave the client half set up.
static int ca_file_check(const service_config *cfg, std::vector<config_line> *lines) {
    int rc = halvex_mapapi_check_ca_file(cfg->ca_file.c_str());
    if (rc != 0)
        config_say(lines, CONFIG_LINE_ERROR, "%s",
                   client_settings_ca_line(rc, cfg->ca_file).c_str());
    return rc == 0 ? 0 : -1;
}

// Each setting goes where it is read: the pacing and the post limit at once, the map client's
// through the sender.
static void reload_apply(service_config *fresh) {
    kept_keys_keep(&running, fresh);
    std::string changed = changed_names(&running, fresh);
    reload_queue->send_interval_usec = fresh->send_interval_usec;
    delivery_set_max_post_points(fresh->max_post_points);
    reload_queue->kind->age_limit_set(fresh->spool_max_age_sec);
    client_settings settings = config_client_settings(fresh);
    client_settings_offer(&settings);
    running = *fresh;
    if (changed.empty())
        log_printf("Configuration reloaded from %s: nothing changed.", reload_path);
    else
        log_printf("Configuration reloaded from %s: %s changed; the next post uses %s.",
                   reload_path, changed.c_str(),
                   changed.find(',') == std::string::npos ? "it" : "them");
}

void reload_run(void) {
    notifier_reloading();
    service_config fresh{};
    std::vector<config_line> lines;
    int rc = config_load(reload_path, &fresh, &lines);
    if (rc == 0)
        rc = ca_file_check(&fresh, &lines);
    config_lines_print(lines);
    if (rc == 0)
        reload_apply(&fresh);
    else
        log_warnf("Reload refused: %s cannot be used as it is; the running configuration stays.",
                  reload_path);
    notifier_reloaded();
}
