// config.cpp -- the configuration file read and checked into one record, with what it says.
//
// config_load() reads the file and says everything about it as lines, printing nothing and
// never ending the process, so that start-up, --check and a reload share one reading;
// config_check() adds what the keys need from the system (config_needs.cpp). The keys, their
// readers and defaults are the table of config_values.cpp (CONFIG_KEYS, in the order they are
// read).
//
// Before the keys are read, the file is read once more through inih's own parser to warn
// about what it would otherwise ignore or bend in silence: unknown keys, keys under a
// [section], lines that are not settings, keys given twice (inih joins their values with a
// line break) and quoted values (inih keeps the quotes). Warnings never stop start-up; a line
// break in a value that can never hold one does.
#include "config.h"

#include <INIReader.h>
#include <errno.h>
#include <ini.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "base/file_kind.h"
#include "base/log.h"
#include "mapapi/halvex_mapapi.h"

const char SYSTEM_CONFIG_PATH[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";
const char LOCAL_CONFIG_PATH[] = "halvex_mapapi_server.ini";
// The example configuration's credentials, left there for the operator to replace: a map
// service never takes them, so every point answered OK would be lost.
static const char EXAMPLE_MAP_ID[] = "YOUR_MAP_ID";
static const char EXAMPLE_MAP_KEY[] = "YOUR_MAP_KEY";
// An unknown key this few edits away from a known one is offered as a likely misspelling.
static const size_t KEY_SUGGEST_DISTANCE = 2;

const char *config_path_choose(void) {
    return access(SYSTEM_CONFIG_PATH, F_OK) == 0 ? SYSTEM_CONFIG_PATH : LOCAL_CONFIG_PATH;
}

// ---- warnings about what the file holds -------------------------------------------------

// What the check keeps while inih reads the file. inih calls the reader once per line it
// counts (a line longer than its buffer counts as several), so the reader's count is inih's
// line number, and the handler runs for the line the reader gave last.
struct config_lint {
    const char *path;
    FILE *file;
    std::vector<config_line> *lines;      // where warnings go
    int line;                             // lines read so far
    std::string text;                     // the last line read
    bool judged;                          // the handler ran for it, or it has been judged
    std::string last;                     // "section]name" in lower case of the last setting
    std::set<std::string> others;         // the same of every other key, warned about once
    std::map<std::string, int> key_line;  // known key of the unnamed section -> first line
    std::map<std::string, int> joined;    // one-line key -> the first line joined to it
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
        config_say(l->lines, CONFIG_LINE_WARNING,
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

// The key of the table named name (lower case), or NULL.
static const config_key *key_find(const std::string &name) {
    for (size_t i = 0; i < CONFIG_KEYS_COUNT; i++)
        if (name == CONFIG_KEYS[i].name)
            return &CONFIG_KEYS[i];
    return NULL;
}

// The known key nearest to name (lower case), or NULL when none is a likely misspelling; else
// the one known key that name begins ("send_interval" for send_interval_usec).
static const char *key_nearest(const std::string &name) {
    const char *best = NULL, *begun = NULL;
    size_t best_distance = KEY_SUGGEST_DISTANCE + 1, begun_count = 0;
    for (size_t i = 0; i < CONFIG_KEYS_COUNT; i++) {
        size_t d = edit_distance(name, CONFIG_KEYS[i].name);
        if (d < best_distance) {
            best = CONFIG_KEYS[i].name;
            best_distance = d;
        }
        if (strncmp(CONFIG_KEYS[i].name, name.c_str(), name.size()) == 0) {
            begun = CONFIG_KEYS[i].name;
            begun_count++;
        }
    }
    return best ? best : begun_count == 1 ? begun : NULL;
}

// Keys of another section, and unknown ones, are ignored: said once for each.
static void other_key_warn(config_lint *l, const char *section, const char *name) {
    if (!l->others.insert(l->last).second)
        return;
    const char *near = *section ? NULL : key_nearest(lower(name));
    if (*section)
        config_say(l->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: key %s under [%s] is ignored (keys belong before the first "
                   "[section]).",
                   l->path, l->line, name, section);
    else
        config_say(l->lines, CONFIG_LINE_WARNING, "Warning: %s:%d: unknown key %s (ignored%s%s%s)",
                   l->path, l->line, name, near ? "; did you mean " : "", near ? near : "",
                   near ? "?" : "");
}

// A known key: where it is first given, and what inih does to it without a word. The value
// itself is never shown: it may be the map key. A key whose value can never hold a line break
// gets no warning: keys_read() refuses it.
static void known_key_check(config_lint *l, const config_key *known, const std::string &key,
                            const char *value) {
    auto first = l->key_line.emplace(key, l->line).first;
    if (first->second != l->line && known->one_line)
        l->joined.emplace(key, l->line);
    else if (first->second != l->line)
        config_say(l->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: %s is given again (first on line %d): both values are used "
                   "joined by a line break; give each key once.",
                   l->path, l->line, key.c_str(), first->second);
    size_t len = strlen(value);
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0])
        config_say(l->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: the value of %s is in quotes, which are kept as part of it.",
                   l->path, l->line, key.c_str());
}

// Called by inih for each setting and for each indented line that continues one: inih hands
// that one over under the setting's name and joins it to the value by a line break, which a
// known key gets a warning for.
static int lint_setting(void *user, const char *section, const char *name, const char *value) {
    config_lint *l = (config_lint *)user;
    l->judged = true;
    std::string key = lower(name), full = lower(section) + "]" + key;
    bool continues = (l->text[0] == ' ' || l->text[0] == '\t') && full == l->last;
    const config_key *known = *section ? NULL : key_find(key);
    l->last = full;
    if (continues && known && known->one_line)
        l->joined.emplace(key, -l->line);  // negative: a continuation
    else if (continues && known)
        config_say(l->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: this indented line continues %s, joined by a line break.",
                   l->path, l->line, key.c_str());
    else if (!continues && known)
        known_key_check(l, known, key, value);
    else if (!continues)
        other_key_warn(l, section, name);
    return 1;
}

// ---- what a file that can be used must hold --------------------------------------------

// Whether value, or a line of it, is the placeholder.
static bool placeholder_in(const std::string &value, const char *placeholder) {
    return ("\n" + value + "\n").find("\n" + std::string(placeholder) + "\n") != std::string::npos;
}

// The example's credentials can never be delivered: one line for both.
static int placeholders_check(const config_reading *r, const service_config *cfg) {
    bool id = placeholder_in(cfg->map_id, EXAMPLE_MAP_ID);
    bool key = placeholder_in(cfg->map_key, EXAMPLE_MAP_KEY);
    if (!id && !key)
        return 0;
    const char *names = id && key ? "map_id and map_key are" : id ? "map_id is" : "map_key is";
    std::string values = id && key ? std::string(EXAMPLE_MAP_ID) + " and " + EXAMPLE_MAP_KEY
                         : id      ? EXAMPLE_MAP_ID
                                   : EXAMPLE_MAP_KEY;
    config_say(r->lines, CONFIG_LINE_ERROR,
               "%s:%d: %s still the example's placeholder%s %s: no point could ever be "
               "delivered; fill in the map's id and key.",
               r->path, config_key_line(r, id ? "map_id" : "map_key"), names, id && key ? "s" : "",
               values.c_str());
    return -1;
}

// map_id or map_key as read, longer than the client keeps.
static void credential_length_warn(const config_reading *r, const char *name,
                                   const std::string &value, size_t kept) {
    if (value.size() > kept)
        config_say(r->lines, CONFIG_LINE_WARNING,
                   "Warning: %s:%d: %s is %zu characters long; only the first %zu are used.",
                   r->path, config_key_line(r, name), name, value.size(), kept);
}

// After "Failed to read ini file." (which has no line break): the files tried, and why not.
static int config_unreadable_say(const char *path, int err, std::vector<config_line> *lines) {
    char cwd[PATH_MAX];
    config_say(lines, CONFIG_LINE_TEXT, "Failed to read ini file.");  // as it always was
    config_say(lines, CONFIG_LINE_TEXT, "\n");
    if (path == SYSTEM_CONFIG_PATH && err != ENOENT)  // gone since it was chosen: a reload
        config_say(lines, CONFIG_LINE_WARNING,
                   "Tried %s: %s (while it exists, %s in the working directory is not read).", path,
                   strerror(err), LOCAL_CONFIG_PATH);
    else if (path == LOCAL_CONFIG_PATH)
        config_say(lines, CONFIG_LINE_WARNING, "Tried %s (not there), then %s in %s: %s.",
                   SYSTEM_CONFIG_PATH, path,
                   getcwd(cwd, sizeof cwd) ? cwd : "the working directory", strerror(err));
    else
        config_say(lines, CONFIG_LINE_WARNING, "Tried %s: %s.", path, strerror(err));
    return -1;
}

// After "Enter map_id and map_key in your config file.": which of the two is not set.
static void credentials_missing_say(const INIReader &ini, std::vector<config_line> *lines) {
    bool no_id = ini.Get("", "map_id", "").empty(), no_key = ini.Get("", "map_key", "").empty();
    config_say(lines, CONFIG_LINE_TEXT, "\n");
    config_say(lines, CONFIG_LINE_WARNING, "%s in the configuration.",
               no_id && no_key ? "map_id and map_key are missing or empty"
               : no_id         ? "map_id is missing or empty"
                               : "map_key is missing or empty");
}

// The system file is read: a file of the working directory's own (not the same file, as
// under the packaged unit) would be mistaken for the one in use.
static void shadow_warn(std::vector<config_line> *lines) {
    struct stat local, system;
    char cwd[PATH_MAX];
    if (stat(LOCAL_CONFIG_PATH, &local) != 0 ||
        (stat(SYSTEM_CONFIG_PATH, &system) == 0 && system.st_dev == local.st_dev &&
         system.st_ino == local.st_ino))
        return;
    config_say(lines, CONFIG_LINE_WARNING,
               "Warning: %s/%s is not read: %s exists and is read instead (--config FILE reads "
               "another file).",
               getcwd(cwd, sizeof cwd) ? cwd : ".", LOCAL_CONFIG_PATH, SYSTEM_CONFIG_PATH);
}

// A value joined from two lines of the file, for a key that can never hold a line break: one
// line naming the key and both lines.
static int joined_say(const config_reading *r, const std::map<std::string, int> &joined,
                      const char *key) {
    int at = joined.at(key), first = config_key_line(r, key);
    if (at > 0)
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "%s:%d: %s is given again (first on line %d); no %s can hold the line break "
                   "that would join them: give it once.",
                   r->path, at, key, first, key);
    else
        config_say(r->lines, CONFIG_LINE_ERROR,
                   "%s:%d: this indented line continues %s (line %d); no %s can hold the line "
                   "break that would join them: write it on one line.",
                   r->path, -at, key, first, key);
    return -1;
}

// One key through its reader: the file's text, else (or when the reader cannot take it) the
// key's default.
static int key_read(const INIReader &ini, const config_reading *r, const config_key &key,
                    service_config *cfg) {
    std::string text = ini.Get("", key.name, "");
    int rc = key.read(r, (text.empty() ? key.default_text : text).c_str(), cfg);
    if (rc == CONFIG_READ_DEFAULT)
        rc = key.read(r, key.default_text.c_str(), cfg);
    return rc == CONFIG_READ_UNUSABLE ? -1 : 0;
}

// Every key through its reader, then what only both credentials together tell.
static int keys_read(const INIReader &ini, const config_reading *r,
                     const std::map<std::string, int> &joined, service_config *cfg) {
    *cfg = service_config{};
    for (size_t i = 0; i < CONFIG_KEYS_COUNT; i++) {
        const config_key &key = CONFIG_KEYS[i];
        if (joined.count(key.name))
            return joined_say(r, joined, key.name);
        if (key_read(ini, r, key, cfg) == 0)
            continue;
        if (strcmp(key.name, "map_id") == 0 || strcmp(key.name, "map_key") == 0)
            credentials_missing_say(ini, r->lines);
        return -1;
    }
    if (placeholders_check(r, cfg) != 0)
        return -1;
    credential_length_warn(r, "map_id", cfg->map_id, HALVEX_MAPAPI_MAP_ID_MAX);
    credential_length_warn(r, "map_key", cfg->map_key, HALVEX_MAPAPI_MAP_KEY_MAX);
    return 0;
}

// Keys belong to the unnamed section; the reader joins a repeated key's values with '\n'.
int config_load(const char *path, service_config *cfg, std::vector<config_line> *lines) {
    if (const char *kind = file_kind_unreadable(path)) {  // never opened: a FIFO would hang
        config_say(lines, CONFIG_LINE_ERROR,
                   "Failed to read ini file: %s is %s, not a regular file.", path, kind);
        return -1;
    }
    FILE *file = fopen(path, "r");
    if (!file)
        return config_unreadable_say(path, errno, lines);
    if (path == SYSTEM_CONFIG_PATH)
        shadow_warn(lines);
    config_lint lint = {path, file, lines, 0, "", true, "", {}, {}, {}};
    ini_parse_stream(lint_line_read, &lint, lint_setting, &lint);
    lint_line_judge(&lint);
    fclose(file);
    INIReader ini(path);
    if (ini.ParseError() < 0)
        return config_unreadable_say(path, errno, lines);
    config_reading reading = {path, &lint.key_line, lines};
    return keys_read(ini, &reading, lint.joined, cfg);
}

// The file holds map_key: say so when every local user can read it.
static void exposure_warn(const char *path, std::vector<config_line> *lines) {
    struct stat st;
    if (stat(path, &st) == 0 && (st.st_mode & S_IROTH))
        config_say(lines, CONFIG_LINE_WARNING,
                   "Warning: %s holds map_key and every local user can read it; make it "
                   "readable by the service only (chmod 600).",
                   path);
}

int config_check(const char *path, int purpose, service_config *cfg,
                 std::vector<config_line> *lines) {
    if (config_load(path, cfg, lines) != 0)
        return -1;
    exposure_warn(path, lines);
    return config_needs_check(cfg, purpose, lines);
}

void config_lines_print(const std::vector<config_line> &lines) {
    for (const config_line &line : lines) {
        if (line.kind == CONFIG_LINE_TEXT)
            log_text(line.text.c_str());
        else if (line.kind == CONFIG_LINE_ERROR)
            log_errorf("%s", line.text.c_str());
        else if (line.kind == CONFIG_LINE_NOTE)
            log_printf("%s", line.text.c_str());
        else if (line.kind == CONFIG_LINE_CALL) {
            errno = line.err;
            log_perror(line.text.c_str());
        } else
            log_warnf("%s", line.text.c_str());
    }
}
