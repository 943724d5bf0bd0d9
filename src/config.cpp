// config.cpp -- every configuration key, read and checked at start-up into one record.
//
// CONFIG_KEYS lists the keys in the order they are read. Each key has one reader: it takes
// the key's text ("" when the file does not give it), fills its field and returns 0, or
// prints one line and returns -1 when start-up must end: a service that quietly ignored a
// value it cannot honour would run otherwise than its operator believes. A value that has a
// safe default prints one line, keeps the default and returns 0.
//
// Before the keys are read, the file is read once more through inih's own parser to warn
// about what it would otherwise ignore in silence: unknown keys, keys under a [section] and
// lines that are not settings. Warnings never stop start-up.
#include "config.h"

#include <INIReader.h>
#include <errno.h>
#include <grp.h>
#include <ini.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <vector>

#include "base/file_kind.h"
#include "base/log.h"
#include "intake/protocol.h"
#include "mapapi/halvex_mapapi.h"
#include "outbox/delivery.h"
#include "outbox/point_queue.h"

const char SYSTEM_CONFIG_PATH[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";
const char LOCAL_CONFIG_PATH[] = "halvex_mapapi_server.ini";
// Longest accepted send interval: 15 minutes, in microseconds.
static const int64_t SEND_INTERVAL_MAX_USEC = 900000000;
// The socket file's bits without a key: every local user may connect.
static const mode_t SOCK_MODE_DEFAULT = 0777;
// Setuid, setgid and sticky mean nothing on a socket; only permission bits are taken.
static const mode_t SOCK_MODE_MAX = 0777;
// First buffer for a group entry; doubled while getgrnam_r says it is too small.
static const size_t GROUP_BUFFER_FIRST = 1024;
static const size_t GROUP_BUFFER_MAX = 1024 * 1024;
// The example configuration's credentials, left there for the operator to replace.
static const char EXAMPLE_MAP_ID[] = "YOUR_MAP_ID";
static const char EXAMPLE_MAP_KEY[] = "YOUR_MAP_KEY";
// An unknown key this few edits away from a known one is offered as a likely misspelling.
static const size_t KEY_SUGGEST_DISTANCE = 2;

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

// "yes" or "no" in any case into *flag; absent or "" leaves it. One line for anything else.
static int yes_no_read(const char *key, const char *text, int *flag) {
    if (!*text)
        return 0;
    if (strcasecmp(text, "yes") == 0 || strcasecmp(text, "no") == 0) {
        *flag = strcasecmp(text, "yes") == 0;
        return 0;
    }
    log_errorf("Invalid value for %s: %s (yes or no).", key, text);
    return -1;
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

static int verify_tls_read(const char *text, service_config *cfg) {
    return yes_no_read("map_api_verify_tls", text, &cfg->verify_tls);
}

// The file must be readable now; a file that appears later would not help the first post.
static int ca_file_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    if (!file_regular_check(text, "Cannot read map_api_ca_file"))
        return -1;
    FILE *f = fopen(text, "r");
    if (!f) {
        log_errorf("Cannot read map_api_ca_file %s: %s.", text, strerror(errno));
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
        log_errorf("Invalid value for unix_sock_mode: %s (an octal mode such as 0660).", text);
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
    log_errorf("Unknown group for unix_sock_group: %s.", text);
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
        log_warnf("Invalid value for send_interval_usec.  Using default.");
        interval = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
    }
    cfg->send_interval_usec = interval;
    return 0;
}

// A whole decimal number from 1 to POINT_QUEUE_MAX_POINTS_MAX, blanks around it allowed; anything
// else keeps the default.
static int max_queued_read(const char *text, service_config *cfg) {
    if (!*text)
        return 0;
    long long n;
    if (whole_number_read(text, 1, POINT_QUEUE_MAX_POINTS_MAX, &n) != 0) {
        log_warnf("Invalid value for max_queued_points.  Using default.");
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
        log_errorf("Invalid value for metrics_listen (ADDRESS:PORT expected): %s", text);
        return -1;
    }
    cfg->metrics_listen = text;
    return 0;
}

int config_keep_alive_parse(const char *text, int *keep) {
    *keep = 1;
    return yes_no_read("map_api_keep_alive", text ? text : "", keep);
}

int config_max_post_points_parse(const char *text, size_t *max) {
    long long n = 0;
    if (text && *text && whole_number_read(text, 0, DELIVERY_MAX_POST_POINTS_MAX, &n) != 0)
        return -1;
    *max = (size_t)n;
    return 0;
}

// A wrong value ends start-up: a kept connection or not is a choice the operator made.
static int keep_alive_read(const char *text, service_config *cfg) {
    return config_keep_alive_parse(text, &cfg->keep_alive);
}

static int max_post_read(const char *text, service_config *cfg) {
    if (config_max_post_points_parse(text, &cfg->max_post_points) != 0)
        log_warnf("Invalid value for max_post_points.  Using default.");
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

// ---- warnings about what the file holds -------------------------------------------------

// What the check keeps while inih reads the file. inih calls the reader once per line it
// counts (a line longer than its buffer counts as several), so the reader's count is inih's
// line number, and the handler runs for the line the reader gave last.
struct config_lint {
    const char *path;
    FILE *file;
    int line;                    // lines read so far
    std::string text;            // the last line read
    bool judged;                 // the handler ran for it, or it has been judged
    std::set<std::string> keys;  // "section]name" in lower case, for one warning per key
    int id_line, key_line;       // where map_id and map_key are first given; 0: nowhere
};

static int setting_ignore(void *, const char *, const char *, const char *) {
    return 1;
}

// A line the handler never saw is blank, a comment, a [section] header or one inih cannot
// read. inih tells which by reading it alone: its context would only matter for an indented
// line right after a setting, and inih hands that one to the handler as the setting's next line.
static void lint_line_judge(config_lint *l) {
    if (l->judged || l->line == 0)
        return;
    l->judged = true;
    if (ini_parse_string(l->text.c_str(), setting_ignore, NULL) != 0)
        log_warnf(
            "Warning: %s:%d: not a setting (name = value), a [section] or a comment "
            "(ignored).",
            l->path, l->line);
}

static char *lint_line_read(char *str, int num, void *stream) {
    config_lint *l = (config_lint *)stream;
    lint_line_judge(l);  // inih is done with the previous line
    if (!fgets(str, num, l->file))
        return NULL;
    l->line++;
    l->text = str;
    l->judged = false;
    return str;
}

// Edits (insertions, deletions, replacements) that turn a into b.
static size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

static std::string lower(const char *text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return tolower(c); });
    return s;
}

// The known key nearest to name (lower case), or NULL when none is a likely misspelling.
static const char *key_nearest(const std::string &name) {
    const char *best = NULL;
    size_t best_distance = KEY_SUGGEST_DISTANCE + 1;
    for (const config_key &key : CONFIG_KEYS) {
        size_t d = edit_distance(name, key.name);
        if (d < best_distance) {
            best = key.name;
            best_distance = d;
        }
    }
    return best;
}

static void unknown_key_warn(const config_lint *l, const char *name) {
    std::string lowered = lower(name);
    for (const config_key &key : CONFIG_KEYS)
        if (lowered == key.name)
            return;
    const char *near = key_nearest(lowered);
    log_warnf("Warning: %s:%d: unknown key %s (ignored%s%s%s)", l->path, l->line, name,
              near ? "; did you mean " : "", near ? near : "", near ? "?" : "");
}

// Called by inih for each setting and each continuation line; says once per key what is wrong.
static int lint_setting(void *user, const char *section, const char *name, const char *) {
    config_lint *l = (config_lint *)user;
    l->judged = true;
    if (!l->keys.insert(lower(section) + "]" + lower(name)).second)
        return 1;  // a repeated key or a value's next line: said already
    if (*section)
        log_warnf(
            "Warning: %s:%d: key %s under [%s] is ignored (keys belong before the first "
            "[section]).",
            l->path, l->line, name, section);
    else if (strcasecmp(name, "map_id") == 0)
        l->id_line = l->line;
    else if (strcasecmp(name, "map_key") == 0)
        l->key_line = l->line;
    else
        unknown_key_warn(l, name);
    return 1;
}

// map_id or map_key as read: still the example's placeholder, or longer than the client keeps.
static void credential_warn(const config_lint *l, int line, const char *name,
                            const std::string &value, const char *example, size_t kept) {
    if (value == example)
        log_warnf(
            "Warning: %s:%d: %s is still the example's placeholder %s: the example "
            "configuration was not filled in.",
            l->path, line, name, example);
    else if (value.size() > kept)
        log_warnf("Warning: %s:%d: %s is %zu characters long; only the first %zu are used.",
                  l->path, line, name, value.size(), kept);
}

// After "Failed to read ini file." (which has no line break): the files tried, and why not.
static void config_unreadable_exit(const char *path, int err) {
    log_text("Failed to read ini file.");  // without a line break, as it always was
    log_text("\n");
    char cwd[PATH_MAX];
    if (strcmp(path, SYSTEM_CONFIG_PATH) == 0)
        log_warnf("Tried %s: %s (while it exists, %s in the working directory is not read).", path,
                  strerror(err), LOCAL_CONFIG_PATH);
    else
        log_warnf("Tried %s (not there), then %s in %s: %s.", SYSTEM_CONFIG_PATH, path,
                  getcwd(cwd, sizeof cwd) ? cwd : "the working directory", strerror(err));
    log_exit(1);
}

// After "Enter map_id and map_key in your config file.": which of the two is not set.
static void credentials_missing_say(const INIReader &ini) {
    bool no_id = ini.Get("", "map_id", "").empty(), no_key = ini.Get("", "map_key", "").empty();
    log_text("\n");
    log_warnf("%s in the configuration.", no_id && no_key
                                              ? "map_id and map_key are missing or empty"
                                          : no_id ? "map_id is missing or empty"
                                                  : "map_key is missing or empty");
}

// Keys belong to the unnamed section; the reader joins a repeated key's values with '\n'.
void config_read(const char *path, service_config *cfg) {
    if (!file_regular_check(path, "Failed to read ini file"))
        log_exit(1);
    FILE *file = fopen(path, "r");
    if (!file)
        config_unreadable_exit(path, errno);
    config_lint lint = {path, file, 0, "", true, {}, 0, 0};
    ini_parse_stream(lint_line_read, &lint, lint_setting, &lint);
    lint_line_judge(&lint);
    fclose(file);
    INIReader ini(path);
    if (ini.ParseError() < 0)
        config_unreadable_exit(path, errno);
    config_defaults(cfg);
    for (const config_key &key : CONFIG_KEYS) {
        std::string text = ini.Get("", key.name, "");
        if (key.read(text.c_str(), cfg) == 0)
            continue;
        if (key.read == map_id_read || key.read == map_key_read)
            credentials_missing_say(ini);
        log_exit(1);
    }
    credential_warn(&lint, lint.id_line, "map_id", cfg->map_id, EXAMPLE_MAP_ID,
                    HALVEX_MAPAPI_MAP_ID_MAX);
    credential_warn(&lint, lint.key_line, "map_key", cfg->map_key, EXAMPLE_MAP_KEY,
                    HALVEX_MAPAPI_MAP_KEY_MAX);
}
