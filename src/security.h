/* security.h -- opt-in closures an operator may add, applied at start-up: a verified map
 * service and a socket for some local users only; and a warning when the configuration file
 * shows the map key to everyone. */
#ifndef SECURITY_H
#define SECURITY_H

#include "config.h"

/* Give the client the TLS verification and CA file of *cfg, and the listener the socket's mode
 * and group. A CA file the client cannot load (too long a path, not a regular file, no PEM
 * certificate that parses) prints one line naming map_api_ca_file and ends the process with
 * status 1. Call before listener_create(). */
void security_apply(const service_config *cfg);

/* Print one warning line when the file at path (which holds map_key) is readable by every
 * local user. Never stops start-up. */
void config_exposure_warn(const char *path);

#endif
