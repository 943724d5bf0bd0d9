// config.cpp -- every configuration key, read and checked at start-up into one record.
//
// CONFIG_KEYS lists the keys in the order they are read. Each key has one reader: it takes
// the key's text ("" when the file does not give it), fills its field and returns 0, or
// prints one line and returns -1 when start-up must end: a service that quietly ignored a
// value it cannot honour would run otherwise than its operator believes. A value that has a
// safe default prints one line, keeps the default and returns 0.
#include "config.h"

#include <INIReader.h>
#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <vector>

#include "delivery.h"
#include "log.h"
#include "point_queue.h"
#include "protocol.h"

static const char SYSTEM_CONFIG_PATH[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";
static const char LOCAL_CONFIG_PATH[] = "halvex_mapapi_server.ini";
// Longest accepted send interval: 15 minutes, in microseconds.
static const int64_t SEND_INTERVAL_MAX_USEC = 900000000;
// Most points the queue may be set to hold: at about 40 bytes a record, 400 MB.
static const long long MAX_QUEUED_POINTS_MAX = 10000000;
// The socket file's bits without a key: every local user may connect.
static const mode_t SOCK_MODE_DEFAULT = 0777;
// Setuid, setgid and sticky mean nothing on a socket; only permission bits are taken.
static const mode_t SOCK_MODE_MAX = 0777;
// First buffer for a group entry; doubled while getgrnam_r says it is too small.
static const size_t GROUP_BUFFER_FIRST = 1024;
static const size_t GROUP_BUFFER_MAX = 1024 * 1024;

const char *config_path_choose(void) {
    return access(SYSTEM_CONFIG_PATH, F_OK) == 0 ? SYSTEM_CONFIG_PATH : LOCAL_CONFIG_PATH;
}

static void config_defaults(service_config *cfg) {
    cfg->verify_tls = 0;
    cfg->sock_mode = SOCK_MODE_DEFAULT;
    cfg->sock_gid = (gid_t)-1;
    cfg->sock_path = HALVEX_DEFAULT_SOCK_PATH;
    cfg->send_interval_usec = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
    cfg->max_queued_points = POINT_QUEUE_DEFAULT_MAX_POINTS;
    cfg->keep_alive = 1;
    cfg->max_post_points = 0;
}

// ---- one reader per key -----------------------------------------------------------------

// Both credentials are required; the line has always gone out without a line break.
static int credential_read(const char *text, std::string *field) {
    if (!*text) {
        log_text("Enter map_id and map_key in your config file.");
        return -1;
    }
    *field = text;
    return 0;
}

static int map_id_read(const char *text, service_config *cfg) {
    return credential_read(text, &cfg->map_id);
}

static int map_key_read(const char *text, service_config *cfg) {
    return credential_read(text, &cfg->map_key);
}

static int endpoint_read(const char *text, service_config *cfg) {
    cfg->endpoint = text;
    return 0;
}

static int verify_tls_read(const char *text, service_config *cfg) {
    if (!*text || strcasecmp(text, "no") == 0)
        return 0;
    if (strcasecmp(text, "yes") == 0) {
        cfg->verify_tls = 1;
        return 0;
    }
    log_printf("Invalid value for map_api_verify_tls: %s (yes or no).", text);
    return -1;
}

// The file must be readable now; a file that appears later would not help the first post.
static int ca_file_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    FILE *f = fopen(text, "r");
    if (!f) {
        log_printf("Cannot read map_api_ca_file %s: %s.", text, strerror(errno));
        return -1;
    }
    fclose(f);
    cfg->ca_file = text;
    cfg->verify_tls = 1;
    return 0;
}

// Octal digits only ("0660", "660"), no sign, no blanks inside, at most 0777.
static int sock_mode_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    char *end = NULL;
    unsigned long mode = strtoul(text, &end, 8);
    if (text[0] < '0' || text[0] > '7' || *end != '\0' || mode > SOCK_MODE_MAX) {
        log_printf("Invalid value for unix_sock_mode: %s (an octal mode such as 0660).", text);
        return -1;
    }
    cfg->sock_mode = (mode_t)mode;
    return 0;
}

// The group's id by name; a text of digits that names no group is taken as a group id.
static int group_lookup(const char *name, gid_t *gid) {
    std::vector<char> buf(GROUP_BUFFER_FIRST);
    struct group entry, *found = NULL;
    int rc;
    while ((rc = getgrnam_r(name, &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < GROUP_BUFFER_MAX)
        buf.resize(buf.size() * 2);
    if (rc == 0 && found) {
        *gid = found->gr_gid;
        return 0;
    }
    char *end = NULL;
    unsigned long id = strtoul(name, &end, 10);
    if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && id < (unsigned long)(gid_t)-1) {
        *gid = (gid_t)id;
        return 0;
    }
    return -1;
}

static int sock_group_read(const char *text, service_config *cfg) {
    if (!*text || group_lookup(text, &cfg->sock_gid) == 0)
        return 0;
    log_printf("Unknown group for unix_sock_group: %s.", text);
    return -1;
}

static int sock_path_read(const char *text, service_config *cfg) {
    if (*text)
        cfg->sock_path = text;
    return 0;
}

// strtol reading: leading blanks and a sign taken, stops at the first non-digit, no digits
// gives 0. Zero and values above the maximum fall back to the default; negatives stay.
static int send_interval_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    int64_t interval = (int64_t)strtol(text, NULL, 10);
    if (interval > SEND_INTERVAL_MAX_USEC || interval == 0) {
        log_line("Invalid value for send_interval_usec.  Using default.");
        interval = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
    }
    cfg->send_interval_usec = interval;
    return 0;
}

// A whole decimal number from 1 to MAX_QUEUED_POINTS_MAX, blanks around it allowed; anything
// else keeps the default.
static int max_queued_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    char *end = NULL;
    errno = 0;
    long long n = strtoll(text, &end, 10);
    while (end && (*end == ' ' || *end == '\t'))
        end++;
    if (errno != 0 || end == text || *end != '\0' || n < 1 || n > MAX_QUEUED_POINTS_MAX) {
        log_line("Invalid value for max_queued_points.  Using default.");
        return 0;
    }
    cfg->max_queued_points = (size_t)n;
    return 0;
}

// Checked here, before the socket exists; the endpoint itself starts later.
static int metrics_listen_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    if (metrics_listen_parse(text, &cfg->metrics_addr) != 0) {
        log_printf("Invalid value for metrics_listen (ADDRESS:PORT expected): %s", text);
        return -1;
    }
    cfg->metrics_listen = text;
    return 0;
}

// A wrong value ends start-up: a kept connection or not is a choice the operator made.
static int keep_alive_read(const char *text, service_config *cfg) {
    return keep_alive_parse(text, &cfg->keep_alive);
}

static int max_post_read(const char *text, service_config *cfg) {
    if (max_post_points_parse(text, &cfg->max_post_points) != 0)
        log_line("Invalid value for max_post_points.  Using default.");
    return 0;
}

// ---- the keys, in the order they are read ------------------------------------------------

struct config_key {
    const char *name;                                    // as written, any case
    int (*read)(const char *text, service_config *cfg);  // 0, or -1: start-up ends
};

// Credentials first: without them nothing else matters. Then as start-up uses them.
static const config_key CONFIG_KEYS[] = {
    {"map_id", map_id_read},
    {"map_key", map_key_read},
    {"map_api_endpoint", endpoint_read},
    {"map_api_verify_tls", verify_tls_read},
    {"map_api_ca_file", ca_file_read},
    {"unix_sock_mode", sock_mode_read},
    {"unix_sock_group", sock_group_read},
    {"unix_sock_path", sock_path_read},
    {"send_interval_usec", send_interval_read},
    {"max_queued_points", max_queued_read},
    {"metrics_listen", metrics_listen_read},
    {"map_api_keep_alive", keep_alive_read},
    {"max_post_points", max_post_read},
};

// Keys belong to the unnamed section; the reader joins a repeated key's values with '\n'.
void config_read(const char *path, service_config *cfg) {
    INIReader ini(path);
    if (ini.ParseError() < 0) {
        log_text("Failed to read ini file.");  // without a line break, as it always was
        log_exit(1);
    }
    config_defaults(cfg);
    for (const config_key &key : CONFIG_KEYS) {
        std::string text = ini.Get("", key.name, "");
        if (key.read(text.c_str(), cfg) != 0)
            log_exit(1);
    }
}
