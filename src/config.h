/* config.h -- every configuration key, read and checked once at start-up into one record. */
#ifndef CONFIG_H
#define CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "metrics.h"

/* What the configuration file asks for, each key checked, defaults where it says nothing.
 * Filled by config_read() before any thread starts and only read afterwards. */
typedef struct service_config {
    std::string map_id;           /* map_id: the map that receives the points; never empty */
    std::string map_key;          /* map_key: that map's secret; never empty */
    std::string endpoint;         /* map_api_endpoint: where batches go; "": the built-in one */
    int verify_tls;               /* map_api_verify_tls, or implied by map_api_ca_file */
    std::string ca_file;          /* map_api_ca_file: a readable file; "": the system's CAs */
    mode_t sock_mode;             /* unix_sock_mode: permission bits of the socket file */
    gid_t sock_gid;               /* unix_sock_group: its group; (gid_t)-1 leaves it */
    std::string sock_path;        /* unix_sock_path: where clients connect */
    int64_t send_interval_usec;   /* send_interval_usec: least spacing of the sender's wake-ups */
    size_t max_queued_points;     /* max_queued_points: most points held, in flight included */
    std::string metrics_listen;   /* metrics_listen as written; "": no metrics endpoint */
    metrics_address metrics_addr; /* metrics_listen read, when it is set */
    int keep_alive;               /* map_api_keep_alive: 1 keeps the connection between posts */
    size_t max_post_points;       /* max_post_points: most points one post carries; 0: all */
} service_config;

/* The two configuration files, in the order they are looked for. */
extern const char SYSTEM_CONFIG_PATH[];
extern const char LOCAL_CONFIG_PATH[];

/* The file to read: the system one when it exists (even if it cannot be read), else
 * halvex_mapapi_server.ini in the working directory. */
const char *config_path_choose(void);

/* Read map_api_keep_alive: "yes" or "no" in any case, absent or "" is yes. Sets *keep to 1 or 0
 * and returns 0, or returns -1 after printing one line that names the key. */
int config_keep_alive_parse(const char *text, int *keep);

/* Read max_post_points: a whole decimal number from 0 (no bound) to
 * DELIVERY_MAX_POST_POINTS_MAX, blanks around it allowed; absent or "" is 0. Returns 0 with
 * *max set, or -1 leaving it. Prints nothing. */
int config_max_post_points_parse(const char *text, size_t *max);

/* Read the file at path into *cfg. A file that cannot be read, missing credentials, or a
 * value the service cannot honour prints what is wrong (one line naming the key, or the two
 * texts without a line break that have always been printed, each followed by a line that
 * says which files were tried or which credential is missing) and ends the process with
 * status 1 through log_exit. A value that has a safe default prints one line and takes it.
 * Warnings that never stop start-up, one line each with the file and line number: an unknown
 * key (with the known key it most likely misspells), a key under a [section], a line that is
 * no setting, section or comment, and a map_id or map_key that is still the example's
 * placeholder or longer than the client keeps. */
void config_read(const char *path, service_config *cfg);

#endif
