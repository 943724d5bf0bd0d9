// config_values.cpp -- one reader per configuration key, and the lines the values earn.
//
// A reader takes the key's text (its default when the file does not give it), fills its field
// and returns CONFIG_READ_TAKEN, or says why and returns CONFIG_READ_UNUSABLE when the
// configuration cannot be used: a service that quietly ignored a value it cannot honour would
// run otherwise than its operator believes. A value that has a safe default says so and
// returns CONFIG_READ_DEFAULT: the default is read instead. Every "Invalid value for ..." line
// is followed by one that says where the value is and what it is, and a value read leniently
// (a number followed by other text) is warned about, with the same facts.
//
// The table at the end says for each key its reader, its default, what a reload does with it
// and what it needs from the system.
#include <errno.h>
#include <grp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "base/file_kind.h"
#include "config.h"
#include "intake/protocol.h"
#include "outbox/delivery.h"
#include "outbox/point_queue.h"
#include "outbox/sender.h"
#include "outbox/spool.h"

// Longest accepted send interval: 15 minutes, in microseconds.
static const int64_t SEND_INTERVAL_MAX_USEC = 900000000;
// Setuid, setgid and sticky mean nothing on a socket; only permission bits are taken.
static const mode_t SOCK_MODE_MAX = 0777;
// First buffer for a group entry; doubled while getgrnam_r says it is too small.
static const size_t GROUP_BUFFER_FIRST = 1024;
static const size_t GROUP_BUFFER_MAX = 1024 * 1024;

void config_say(std::vector<config_line> *lines, int kind, const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int len = vsnprintf(NULL, 0, fmt, ap);
    std::string text(len > 0 ? (size_t)len : 0, '\0');
    if (len > 0)
        vsnprintf(&text[0], (size_t)len + 1, fmt, again);
    va_end(again);
    va_end(ap);
    lines->push_back({kind, text, 0});
}

int config_key_line(const config_reading *r, const char *key) {
    auto found = r->key_line->find(key);
    return found == r->key_line->end() ? 0 : found->second;
}

// The line after every "Invalid value for ...": where the value is, and the value.
static void value_where_say(const config_reading *r, int kind, const char *key, const char *text) {
    config_say(r->lines, kind, "%s:%d: %s = %s", r->path, config_key_line(r, key), key, text);
}

// A warning that a value the service takes has a safe default instead.
static void default_taken_say(const config_reading *r, const char *key, const char *text) {
    config_say(r->lines, CONFIG_LINE_WARNING, "Invalid value for %s.  Using default.", key);
    value_where_say(r, CONFIG_LINE_WARNING, key, text);
}

// Both credentials are required; the line has always gone out without a line break.
static int credential_read(const config_reading *r, const char *text, std::string *field) {
    if (!*text) {
        config_say(r->lines, CONFIG_LINE_TEXT, "Enter map_id and map_key in your config file.");
        return CONFIG_READ_UNUSABLE;
    }
    *field = text;
    return CONFIG_READ_TAKEN;
}

static int map_id_read(const config_reading *r, const char *text, service_config *cfg) {
    return credential_read(r, text, &cfg->map_id);
}

static int map_key_read(const config_reading *r, const char *text, service_config *cfg) {
    return credential_read(r, text, &cfg->map_key);
}

// Batches carry the map key: https:// keeps it from the network, http:// is taken with a
// warning (a map service on the same host or behind a local proxy), and anything else could
// never be posted to.
static int endpoint_read(const config_reading *r, const char *text, service_config *cfg) {
    int line = config_key_line(r, "map_api_endpoint");
    if (*text && strncasecmp(text, "http://", 7) == 0)
        config_say(r->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: map_api_endpoint %s is plain http://: the map key travels "
                   "in clear text (use https://).",
                   r->path, line, text);
    else if (*text && strncasecmp(text, "https://", 8) != 0) {
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "%s:%d: map_api_endpoint %s does not start with https:// (nor http://): "
                   "batches cannot be posted to it.",
                   r->path, line, text);
        return CONFIG_READ_UNUSABLE;
    }
    cfg->endpoint = text;
    return CONFIG_READ_TAKEN;
}

// "yes" or "no" in any case into *flag; absent or "" leaves it. -1 for anything else.
static int yes_no_parse(const char *text, int *flag) {
    if (!*text)
        return 0;
    if (strcasecmp(text, "yes") != 0 && strcasecmp(text, "no") != 0)
        return -1;
    *flag = strcasecmp(text, "yes") == 0;
    return 0;
}

// A yes/no key whose other values end start-up: each is a choice the operator made.
static int yes_no_read(const config_reading *r, const char *key, const char *text, int *flag) {
    if (yes_no_parse(text, flag) == 0)
        return CONFIG_READ_TAKEN;
    config_say(r->lines, CONFIG_LINE_ERROR, "Invalid value for %s: %s (yes or no).", key, text);
    value_where_say(r, CONFIG_LINE_ERROR, key, text);
    return CONFIG_READ_UNUSABLE;
}

// A whole decimal number from min to max, blanks around it allowed, into *out; -1 otherwise.
static int whole_number_read(const char *text, long long min, long long max, long long *out) {
    char *end = NULL;
    errno = 0;
    long long n = strtoll(text, &end, 10);
    if (errno != 0 || end == text || end[strspn(end, " \t")] != '\0' || n < min || n > max)
        return -1;
    *out = n;
    return 0;
}

static int verify_tls_read(const config_reading *r, const char *text, service_config *cfg) {
    return yes_no_read(r, "map_api_verify_tls", text, &cfg->verify_tls);
}

// The file must be readable now; a file that appears later would not help the first post.
static int ca_file_read(const config_reading *r, const char *text, service_config *cfg) {
    if (!*text)
        return CONFIG_READ_TAKEN;
    if (const char *kind = file_kind_unreadable(text)) {  // never opened: a FIFO would hang
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "Cannot read map_api_ca_file: %s is %s, not a regular file.", text, kind);
        return CONFIG_READ_UNUSABLE;
    }
    FILE *f = fopen(text, "r");
    if (!f) {
        config_say(r->lines, CONFIG_LINE_ERROR, "Cannot read map_api_ca_file %s: %s.", text,
                   strerror(errno));
        return CONFIG_READ_UNUSABLE;
    }
    fclose(f);
    cfg->ca_file = text;
    cfg->verify_tls = 1;
    return CONFIG_READ_TAKEN;
}

// Octal digits only ("0660", "660"), no sign, no blanks inside, at most 0777.
static int sock_mode_read(const config_reading *r, const char *text, service_config *cfg) {
    char *end = NULL;
    unsigned long mode = strtoul(text, &end, 8);
    if (text[0] < '0' || text[0] > '7' || *end != '\0' || mode > SOCK_MODE_MAX) {
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "Invalid value for unix_sock_mode: %s (an octal mode such as 0660).", text);
        value_where_say(r, CONFIG_LINE_ERROR, "unix_sock_mode", text);
        return CONFIG_READ_UNUSABLE;
    }
    cfg->sock_mode = (mode_t)mode;
    return CONFIG_READ_TAKEN;
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

static int sock_group_read(const config_reading *r, const char *text, service_config *cfg) {
    cfg->sock_gid = (gid_t)-1;
    if (!*text || group_lookup(text, &cfg->sock_gid) == 0)
        return CONFIG_READ_TAKEN;
    config_say(r->lines, CONFIG_LINE_ERROR, "Unknown group for unix_sock_group: %s.", text);
    return CONFIG_READ_UNUSABLE;
}

static int sock_path_read(const config_reading *, const char *text, service_config *cfg) {
    cfg->sock_path = text;
    return CONFIG_READ_TAKEN;
}

// strtol reading: leading blanks and a sign taken, stops at the first non-digit, no digits
// gives 0. Zero and values above the maximum fall back to the default; negatives stay. Text
// after the number ("1s", "1e6") is ignored, as it always was, with a warning: it was
// almost certainly meant otherwise.
static int send_interval_read(const config_reading *r, const char *text, service_config *cfg) {
    char *end = NULL;
    int64_t interval = (int64_t)strtol(text, &end, 10);
    if (interval > SEND_INTERVAL_MAX_USEC || interval == 0) {
        default_taken_say(r, "send_interval_usec", text);
        return CONFIG_READ_DEFAULT;
    }
    if (*end != '\0')
        config_say(r->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: send_interval_usec = %s is read as %lld (what follows the "
                   "number is ignored; give microseconds in digits only).",
                   r->path, config_key_line(r, "send_interval_usec"), text, (long long)interval);
    cfg->send_interval_usec = interval;
    return CONFIG_READ_TAKEN;
}

// A whole decimal number of microseconds up to a second, blanks around it allowed; anything
// else keeps the default, as the interval it goes with does.
static int collect_pause_read(const config_reading *r, const char *text, service_config *cfg) {
    long long n;
    if (whole_number_read(text, 0, SENDER_COLLECT_PAUSE_MAX_USEC, &n) != 0) {
        default_taken_say(r, "collect_pause_usec", text);
        return CONFIG_READ_DEFAULT;
    }
    cfg->collect_pause_usec = n;
    return CONFIG_READ_TAKEN;
}

// A whole decimal number from 1 to POINT_QUEUE_MAX_POINTS_MAX, blanks around it allowed;
// anything else keeps the default.
static int max_queued_read(const config_reading *r, const char *text, service_config *cfg) {
    long long n;
    if (whole_number_read(text, 1, POINT_QUEUE_MAX_POINTS_MAX, &n) != 0) {
        default_taken_say(r, "max_queued_points", text);
        return CONFIG_READ_DEFAULT;
    }
    cfg->max_queued_points = (size_t)n;
    return CONFIG_READ_TAKEN;
}

// Checked here, before the socket exists; the endpoint itself starts later.
static int metrics_listen_read(const config_reading *r, const char *text, service_config *cfg) {
    if (!*text)
        return CONFIG_READ_TAKEN;
    if (metrics_listen_parse(text, &cfg->metrics_addr) != 0) {
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "Invalid value for metrics_listen (ADDRESS:PORT expected): %s", text);
        value_where_say(r, CONFIG_LINE_ERROR, "metrics_listen", text);
        return CONFIG_READ_UNUSABLE;
    }
    cfg->metrics_listen = text;
    return CONFIG_READ_TAKEN;
}

int config_keep_alive_parse(const char *text, int *keep) {
    int flag = 1;
    if (yes_no_parse(text ? text : "", &flag) != 0)
        return -1;
    *keep = flag;
    return 0;
}

int config_max_post_points_parse(const char *text, size_t *max) {
    long long n = 0;
    if (text && *text && whole_number_read(text, 0, DELIVERY_MAX_POST_POINTS_MAX, &n) != 0)
        return -1;
    *max = (size_t)n;
    return 0;
}

// A wrong value ends start-up: a kept connection or not is a choice the operator made.
static int keep_alive_read(const config_reading *r, const char *text, service_config *cfg) {
    return yes_no_read(r, "map_api_keep_alive", text, &cfg->keep_alive);
}

static int max_post_read(const config_reading *r, const char *text, service_config *cfg) {
    if (config_max_post_points_parse(text, &cfg->max_post_points) == 0)
        return CONFIG_READ_TAKEN;
    default_taken_say(r, "max_post_points", text);
    return CONFIG_READ_DEFAULT;
}

// What the folder needs is checked once every key is read: it may not exist yet.
static int spool_dir_read(const config_reading *, const char *text, service_config *cfg) {
    cfg->spool_dir = text;
    return CONFIG_READ_TAKEN;
}

// A spool key's whole number from min to max into *out, or start-up ends: what the spool
// promises clients rests on it.
static int spool_number_read(const config_reading *r, const char *key, const char *text,
                             long long min, long long max, long long *out) {
    if (whole_number_read(text, min, max, out) == 0)
        return CONFIG_READ_TAKEN;
    config_say(r->lines, CONFIG_LINE_ERROR,
               "Invalid value for %s: %s (a whole number from %lld to %lld).", key, text, min, max);
    value_where_say(r, CONFIG_LINE_ERROR, key, text);
    return CONFIG_READ_UNUSABLE;
}

static int spool_max_bytes_read(const config_reading *r, const char *text, service_config *cfg) {
    long long n = 0;
    int rc =
        spool_number_read(r, "spool_max_bytes", text, SPOOL_MAX_BYTES_MIN, SPOOL_MAX_BYTES_MAX, &n);
    cfg->spool_max_bytes = (uint64_t)n;
    return rc;
}

static int spool_max_age_read(const config_reading *r, const char *text, service_config *cfg) {
    long long n = 0;
    int rc = spool_number_read(r, "spool_max_age_sec", text, 0, SPOOL_MAX_AGE_SEC_MAX, &n);
    cfg->spool_max_age_sec = n;
    return rc;
}

static int spool_sync_read(const config_reading *r, const char *text, service_config *cfg) {
    long long n = 0;
    int rc = spool_number_read(r, "spool_sync_usec", text, 0, SPOOL_SYNC_USEC_MAX, &n);
    cfg->spool_sync_usec = n;
    return rc;
}

// ---- the table ------------------------------------------------------------------------

// A field as lines show it: a text ("(off)" when empty), a number, yes or no, a mode, a group.
template <std::string service_config::*F>
static std::string text_shown(const service_config *cfg) {
    return (cfg->*F).empty() ? "(off)" : cfg->*F;
}

template <typename T, T service_config::*F>
static std::string number_shown(const service_config *cfg) {
    return std::to_string(cfg->*F);
}

template <int service_config::*F>
static std::string yes_no_shown(const service_config *cfg) {
    return cfg->*F ? "yes" : "no";
}

static std::string mode_shown(const service_config *cfg) {
    char text[16];
    snprintf(text, sizeof text, "%04o", (unsigned)cfg->sock_mode);
    return text;
}

static std::string gid_shown(const service_config *cfg) {
    return cfg->sock_gid == (gid_t)-1 ? "(not set)" : "gid " + std::to_string(cfg->sock_gid);
}

// A field copied from one configuration to another.
template <typename T, T service_config::*F>
static void field_keep(service_config *to, const service_config *from) {
    to->*F = from->*F;
}

static void metrics_keep(service_config *to, const service_config *from) {
    to->metrics_listen = from->metrics_listen;
    to->metrics_addr = from->metrics_addr;
}

#define TEXT(field) text_shown<&service_config::field>, KEEP(field)
#define NUMBER(field) \
    number_shown<decltype(service_config::field), &service_config::field>, KEEP(field)
#define YES_NO(field) yes_no_shown<&service_config::field>, KEEP(field)
#define KEEP(field) field_keep<decltype(service_config::field), &service_config::field>

// Credentials first: without them nothing else matters. Then as start-up uses them: what the
// socket, the metrics port and the spool's folder need is checked in this order.
const config_key CONFIG_KEYS[] = {
    // name, reader, default, on a reload, needs, one line only, shown and kept
    {"map_id", map_id_read, "", CONFIG_RELOAD_SPOOL_KEEPS, CONFIG_NEEDS_NOTHING, 1, TEXT(map_id)},
    {"map_key", map_key_read, "", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 1, TEXT(map_key)},
    {"map_api_endpoint", endpoint_read, "", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 1,
     TEXT(endpoint)},
    {"map_api_verify_tls", verify_tls_read, "no", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 0,
     YES_NO(verify_tls)},
    {"map_api_ca_file", ca_file_read, "", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_CERTIFICATES, 1,
     TEXT(ca_file)},
    {"unix_sock_mode", sock_mode_read, "0777", CONFIG_RELOAD_RESTART, CONFIG_NEEDS_NOTHING, 0,
     mode_shown, KEEP(sock_mode)},
    {"unix_sock_path", sock_path_read, HALVEX_DEFAULT_SOCK_PATH, CONFIG_RELOAD_RESTART,
     CONFIG_NEEDS_SOCKET, 1, TEXT(sock_path)},
    {"unix_sock_group", sock_group_read, "", CONFIG_RELOAD_RESTART, CONFIG_NEEDS_GROUP, 1,
     gid_shown, KEEP(sock_gid)},
    {"send_interval_usec", send_interval_read, std::to_string(POINT_QUEUE_DEFAULT_INTERVAL_USEC),
     CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 0, NUMBER(send_interval_usec)},
    {"collect_pause_usec", collect_pause_read, std::to_string(SENDER_COLLECT_PAUSE_USEC),
     CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 0, NUMBER(collect_pause_usec)},
    {"max_queued_points", max_queued_read, std::to_string(POINT_QUEUE_DEFAULT_MAX_POINTS),
     CONFIG_RELOAD_RESTART, CONFIG_NEEDS_NOTHING, 0, NUMBER(max_queued_points)},
    {"metrics_listen", metrics_listen_read, "", CONFIG_RELOAD_RESTART, CONFIG_NEEDS_PORT, 1,
     text_shown<&service_config::metrics_listen>, metrics_keep},
    {"map_api_keep_alive", keep_alive_read, "yes", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 0,
     YES_NO(keep_alive)},
    {"max_post_points", max_post_read, "0", CONFIG_RELOAD_IN_PLACE, CONFIG_NEEDS_NOTHING, 0,
     NUMBER(max_post_points)},
    {"spool_dir", spool_dir_read, "", CONFIG_RELOAD_RESTART, CONFIG_NEEDS_FOLDER, 1,
     TEXT(spool_dir)},
    {"spool_max_bytes", spool_max_bytes_read, std::to_string(SPOOL_MAX_BYTES_DEFAULT),
     CONFIG_RELOAD_RESTART, CONFIG_NEEDS_NOTHING, 0, NUMBER(spool_max_bytes)},
    {"spool_max_age_sec", spool_max_age_read, std::to_string(SPOOL_MAX_AGE_SEC_DEFAULT),
     CONFIG_RELOAD_SPOOL_ONLY, CONFIG_NEEDS_NOTHING, 0, NUMBER(spool_max_age_sec)},
    {"spool_sync_usec", spool_sync_read, std::to_string(SPOOL_SYNC_USEC_DEFAULT),
     CONFIG_RELOAD_RESTART, CONFIG_NEEDS_NOTHING, 0, NUMBER(spool_sync_usec)},
};
const size_t CONFIG_KEYS_COUNT = sizeof CONFIG_KEYS / sizeof CONFIG_KEYS[0];
