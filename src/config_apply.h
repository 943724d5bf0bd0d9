/* config_apply.h -- the checked configuration handed to the parts that keep it: the map client
 * (credentials, endpoint, keep-alive, TLS checks), the outbox and the delivery (interval, the
 * store's age limit, post size) and the listener (the socket's mode and group). */
#ifndef CONFIG_APPLY_H
#define CONFIG_APPLY_H

#include "config.h"
#include "outbox/client_settings.h"
#include "outbox/outbox.h"

/* The settings of *cfg that the map client is set up with. */
client_settings config_client_settings(const service_config *cfg);

/* Hand *cfg, checked by config_check(), to the parts that keep it; the client copies what it
 * keeps. At start (start 1: before listener_create() and before any thread): every key; the
 * map client is set up at once, and a CA file it cannot load after all prints one line naming
 * map_api_ca_file and ends the process with status 1. At a reload (start 0): the keys that
 * change in place (the table's CONFIG_RELOAD_IN_PLACE); the map client's settings are offered
 * to the sender, which applies them before its next post. The interval, the collect pause,
 * max_post_points and the store's age limit hold from the next post on either way. The store
 * itself, with its bound (max_queued_points), is chosen before this. */
void config_apply(const service_config *cfg, outbox *box, int start);

#endif
