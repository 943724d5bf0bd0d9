/* config.h -- every configuration key in one table, read and checked into one record before
 * it is used, with what each key needs from the system. */
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
    int64_t collect_pause_usec;   /* collect_pause_usec: wait after a batch's first point */
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
    CONFIG_LINE_NOTE,    /* a fact worth knowing, on standard output: nothing is wrong */
    CONFIG_LINE_ERROR,   /* why the configuration cannot be used */
    CONFIG_LINE_TEXT,    /* written as it is, no line break added: the two failures that have
                            always been printed that way */
    CONFIG_LINE_CALL,    /* a system call's failure, for standard error as perror() writes it:
                            text is the call, err its errno */
};

typedef struct config_line {
    int kind;         /* config_line_kind */
    std::string text; /* without a line break, but for CONFIG_LINE_TEXT */
    int err;          /* CONFIG_LINE_CALL only */
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
 * example's placeholders (in any line of a joined value), a value that holds a line break
 * where none can be part of it (a key given twice or continued on an indented line: one line
 * names the key and both lines), or a value the service cannot honour. *cfg is then unusable.
 * path is the pointer config_path_choose() returned, or a file named on the command line:
 * the line for a file that cannot be read names the files tried accordingly, and when the
 * system file is read a working directory's own file gets a warning that it is not.
 * A value with a safe default gets its line and that default. Warnings, each with the file
 * and line number: an unknown key (with the known key it most likely misspells, or begins),
 * a key under a [section], a line that is no setting, section or comment, a key given twice,
 * a quoted value, a number followed by other text, an http:// endpoint, and a map_id or
 * map_key longer than the client keeps. Every "Invalid value for ..." line is followed by one
 * that gives the file, the line and the value. */
int config_load(const char *path, service_config *cfg, std::vector<config_line> *lines);

/* What a configuration is checked for. */
enum config_purpose {
    CONFIG_FOR_START,  /* a start: every key, before anything is created */
    CONFIG_FOR_CHECK,  /* --check: what a start checks, and the warnings a start prints later */
    CONFIG_FOR_RELOAD, /* a reload: the keys that change in place */
};

/* config_load(), then a warning when the file shows the map key to every local user, then
 * what the keys need from the system (config_needs_check()). Creates, binds and changes
 * nothing. Returns 0 when the configuration can be used for purpose, else -1; the lines in
 * *lines either way. */
int config_check(const char *path, int purpose, service_config *cfg,
                 std::vector<config_line> *lines);

/* Print lines through the log: warnings as warnings, calls on standard error, the rest as
 * errors. */
void config_lines_print(const std::vector<config_line> &lines);

/* ---- the table of keys ---------------------------------------------------------------- */

/* What a reload does with a key's new value. */
enum config_reload_kind {
    CONFIG_RELOAD_IN_PLACE,    /* the next post uses it */
    CONFIG_RELOAD_RESTART,     /* kept until a restart, with one warning */
    CONFIG_RELOAD_SPOOL_KEEPS, /* in place, but with a spool kept until a restart, with one
                                  warning: its files carry it */
    CONFIG_RELOAD_SPOOL_ONLY,  /* in place with a spool; without one it has nothing to apply
                                  to and is kept silently */
};

/* What a key's value needs from the system, checked before anything is created. */
enum config_need_kind {
    CONFIG_NEEDS_NOTHING,
    CONFIG_NEEDS_CERTIFICATES, /* map_api_ca_file: a PEM file whose certificates load */
    CONFIG_NEEDS_SOCKET,       /* unix_sock_path: a socket to make in a folder that exists */
    CONFIG_NEEDS_GROUP,        /* unix_sock_group: a group this user may chown the socket to */
    CONFIG_NEEDS_PORT,         /* metrics_listen: a port to bind */
    CONFIG_NEEDS_FOLDER,       /* spool_dir: a folder to create, or to take */
};

/* What a value reader needs besides the value: where to say things, and where each key is. */
typedef struct config_reading {
    const char *path;                           /* the file, as lines name it */
    const std::map<std::string, int> *key_line; /* known key -> line it is first given on */
    std::vector<config_line> *lines;            /* where lines go */
} config_reading;

/* A reader's results: the value is taken; or it cannot be honoured and its default is taken
 * instead (the reader has said so); or the configuration cannot be used (the reader has said
 * why). */
#define CONFIG_READ_TAKEN 0
#define CONFIG_READ_DEFAULT 1
#define CONFIG_READ_UNUSABLE (-1)

/* One key. Its reader takes the key's text (default_text when the file does not give it or
 * gives it empty) and fills its field. */
typedef struct config_key {
    const char *name; /* as written, in any case */
    int (*read)(const config_reading *r, const char *text, service_config *cfg);
    std::string default_text;                        /* what it is when not given */
    int reload;                                      /* config_reload_kind */
    int needs;                                       /* config_need_kind */
    int one_line;                                    /* no line break can be part of its value */
    std::string (*shown)(const service_config *cfg); /* its value, as lines show it */
    void (*keep)(service_config *to, const service_config *from); /* its value copied */
} config_key;

/* Every key, in the order they are read (the credentials first) and checked. */
extern const config_key CONFIG_KEYS[];
extern const size_t CONFIG_KEYS_COUNT;

/* The line the known key (lower case) is first given on; 0 when the file does not give it. */
int config_key_line(const config_reading *r, const char *key);

/* Append one line of the given kind, formatted as printf() does. */
void config_say(std::vector<config_line> *lines, int kind, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* What the keys of *cfg need from the system, key by key in the table's order: for
 * CONFIG_FOR_RELOAD only the keys that change in place. Looks, probes and takes no lock for
 * longer than a look; creates, binds and changes nothing, so that --check can run beside the
 * service and a start can run it before it makes anything. Appends the lines a start prints
 * for the first need that fails (and for CONFIG_FOR_CHECK the warnings a start prints later)
 * and returns -1 then, else 0. */
int config_needs_check(const service_config *cfg, int purpose, std::vector<config_line> *lines);

#endif
