/* config_apply.h -- the checked configuration handed to the parts that keep it: the map client
 * (credentials, endpoint, keep-alive, TLS checks) and the listener (the socket's mode and
 * group); and a warning when the file shows the map key to everyone. */
#ifndef CONFIG_APPLY_H
#define CONFIG_APPLY_H

#include "config.h"
#include "outbox/client_settings.h"

/* The settings of *cfg that the map client is set up with. */
client_settings config_client_settings(const service_config *cfg);

/* Apply *cfg, read from the file at path. The client copies what it keeps. A CA file the
 * client cannot load (too long a path, not a regular file, no PEM certificate that parses)
 * prints one line naming map_api_ca_file and ends the process with status 1; a file at path
 * that every local user can read prints one warning. Call after config_read() and before
 * listener_create(). */
void config_apply(const service_config *cfg, const char *path);

#endif
