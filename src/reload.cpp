// reload.cpp -- SIGHUP: the configuration file read again, and what can change in place changed.
#include "reload.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "config_apply.h"
#include "notifier.h"

// Locks: none. [I] set by reload_setup() before the signal thread starts, then only read;
// [R] the signal thread's own.
static const char *reload_path;    // [I] the file the start read
static outbox *reload_box;         // [I] the outbox whose interval a reload sets
static service_config running;     // [R] the configuration in use

void reload_setup(const char *path, const service_config *cfg, outbox *q) {
    reload_path = path;
    running = *cfg;
    reload_box = q;
}

// Whether a reload keeps the running value of key until a restart, saying so when it differs:
// the socket and the metrics listener are made once, and the queue's bound is what the
// metrics report; the spool's folder is locked and read at start, and a store that keeps its
// points in files (on_disk) carries the map id in them: points held for one map are never
// posted to another. A key of such a store has nothing to apply to without one.
static bool key_kept(const config_key &key, bool on_disk) {
    return key.reload == CONFIG_RELOAD_RESTART ||
           (key.reload == CONFIG_RELOAD_SPOOL_KEEPS && on_disk) ||
           (key.reload == CONFIG_RELOAD_SPOOL_ONLY && !on_disk);
}

// Each key through the table: a kept one keeps its running value (one warning when it
// differs; none for one with nothing to apply to), one that changes in place is named when it
// differs. Returns those names, "" when none.
static std::string keys_take(const service_config *old, service_config *fresh) {
    bool on_disk = reload_box->kind->kept_where != NULL;
    std::string names;
    for (size_t i = 0; i < CONFIG_KEYS_COUNT; i++) {
        const config_key &key = CONFIG_KEYS[i];
        std::string was = key.shown(old), now = key.shown(fresh);
        if (was == now)
            continue;
        if (!key_kept(key, on_disk))
            names += (names.empty() ? "" : ", ") + std::string(key.name);
        else if (key.reload != CONFIG_RELOAD_SPOOL_ONLY)
            log_warnf("Warning: %s: %s = %s needs a restart; kept %s until then.", reload_path,
                      key.name, now.c_str(), was.c_str());
        if (key_kept(key, on_disk))
            key.keep(fresh, old);
    }
    return names;
}

// Each setting goes where it is read: the pacing and the post limit at once, the map client's
// through the sender.
static void reload_apply(service_config *fresh) {
    std::string changed = keys_take(&running, fresh);
    config_apply(fresh, reload_box, 0);
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
    int rc = config_check(reload_path, CONFIG_FOR_RELOAD, &fresh, &lines);
    config_lines_print(lines);
    if (rc == 0)
        reload_apply(&fresh);
    else
        log_warnf("Reload refused: %s cannot be used as it is; the running configuration stays.",
                  reload_path);
    notifier_reloaded();
}
