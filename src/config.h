/* config.h -- every configuration key, read and checked into one record before it is used. */
#ifndef CONFIG_H
#define CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "metrics.h"

/* What the configuration file asks for, each key checked, defaults where it says nothing.
 * Filled by config_load() before any thread starts and only read afterwards. */
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
    std::string spool_dir;        /* spool_dir: folder of the spool; "": no spool */
    uint64_t spool_max_bytes;     /* spool_max_bytes: most bytes its files take */
    int64_t spool_max_age_sec;    /* spool_max_age_sec: older points are not posted; 0: none */
    int64_t spool_sync_usec;      /* spool_sync_usec: longest time unsynced; 0: before each OK */
} service_config;

/* One line that reading the configuration has to say, in the order it was found. */
enum config_line_kind {
    CONFIG_LINE_WARNING, /* needs a person; the configuration can still be used */
    CONFIG_LINE_ERROR,   /* why the configuration cannot be used */
    CONFIG_LINE_TEXT,    /* written as it is, no line break added: the two failures that have
                            always been printed that way */
};

typedef struct config_line {
    int kind;         /* config_line_kind */
    std::string text; /* without a line break, but for CONFIG_LINE_TEXT */
} config_line;

/* The two configuration files, in the order they are looked for. */
extern const char SYSTEM_CONFIG_PATH[];
extern const char LOCAL_CONFIG_PATH[];

/* The file to read: the system one when it exists (even if it cannot be read), else
 * halvex_mapapi_server.ini in the working directory. */
const char *config_path_choose(void);

/* Read map_api_keep_alive: "yes" or "no" in any case, absent or "" is yes. Sets *keep to 1 or 0
 * and returns 0, or returns -1 leaving it. Prints nothing. */
int config_keep_alive_parse(const char *text, int *keep);

/* Read max_post_points: a whole decimal number from 0 (no bound) to
 * DELIVERY_MAX_POST_POINTS_MAX, blanks around it allowed; absent or "" is 0. Returns 0 with
 * *max set, or -1 leaving it. Prints nothing. */
int config_max_post_points_parse(const char *text, size_t *max);

/* Read the file at path into *cfg and append what it has to say to *lines; print nothing and
 * never end the process. Returns 0 when the configuration can be used (its warnings in
 * *lines), or -1 when it cannot: a file that cannot be read, missing credentials or the
 * example's placeholders, or a value the service cannot honour. *cfg is then unusable.
 * path is the pointer config_path_choose() returned, or a file named on the command line:
 * the line for a file that cannot be read names the files tried accordingly, and when the
 * system file is read a working directory's own file gets a warning that it is not.
 * A value with a safe default gets its line and that default. Warnings, each with the file
 * and line number: an unknown key (with the known key it most likely misspells), a key under
 * a [section], a line that is no setting, section or comment, a key given twice, a quoted
 * value, a number followed by other text, an http:// endpoint, and a map_id or map_key
 * longer than the client keeps. Every "Invalid value for ..." line is followed by one that
 * gives the file, the line and the value. */
int config_load(const char *path, service_config *cfg, std::vector<config_line> *lines);

/* Print lines through the log: warnings as warnings, the rest as errors. */
void config_lines_print(const std::vector<config_line> &lines);

/* config_load(), its lines printed; when the configuration cannot be used, the process ends
 * with status 1 through log_exit. */
void config_read(const char *path, service_config *cfg);

/* ---- for config.cpp: the value readers of config_values.cpp --------------------------- */

/* What a value reader needs besides the value: where to say things, and where each key is. */
typedef struct config_reading {
    const char *path;                           /* the file, as lines name it */
    const std::map<std::string, int> *key_line; /* known key -> line it is first given on */
    std::vector<config_line> *lines;            /* where lines go */
} config_reading;

/* One key: its name as written (any case), and its reader, which takes the key's text ("" when
 * the file does not give it), fills its field and returns 0, or appends why not and returns
 * -1 when the configuration cannot be used. */
typedef struct config_key {
    const char *name;
    int (*read)(const config_reading *r, const char *text, service_config *cfg);
} config_key;

/* Every key, in the order they are read: the credentials first. */
extern const config_key CONFIG_KEYS[];
extern const size_t CONFIG_KEYS_COUNT;

/* The line the known key (lower case) is first given on; 0 when the file does not give it. */
int config_key_line(const config_reading *r, const char *key);

/* Every field at its value for a key the file does not give. */
void config_defaults(service_config *cfg);

/* Append one line of the given kind, formatted as printf() does. */
void config_say(std::vector<config_line> *lines, int kind, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#endif
