/* reload.h -- SIGHUP: the configuration file read again, and what can change in place changed
 * while points keep flowing. */
#ifndef RELOAD_H
#define RELOAD_H

#include "config.h"
#include "outbox/outbox.h"

/* Remember the file the start read (path, the pointer config_load() was given), the
 * configuration it gave and the outbox it paces. Before the signal thread starts. */
void reload_setup(const char *path, const service_config *cfg, outbox *q);

/* Read the file again, checked as at start for the keys that change in place (config_check(),
 * the CA file's certificates included), between RELOADING=1 and READY=1 under systemd. A file
 * that cannot be used is refused whole: its lines and one line saying that the running
 * configuration stays. One that can: its warnings, one warning per key that needs a restart
 * and changed (the table's CONFIG_RELOAD_RESTART keys, and with a spool map_id: kept as they
 * are), and one line naming what changed. The rest is applied by config_apply(): the interval
 * and max_post_points hold from the next post on; the map client's settings (credentials,
 * endpoint, TLS checks, keep-alive) go to the sender, which applies them before its next post,
 * so held points go with them. Signal thread. */
void reload_run(void);

#endif
