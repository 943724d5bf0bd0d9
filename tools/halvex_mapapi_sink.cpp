// halvex_mapapi_sink.cpp -- a local HTTPS stand-in for the live-map service that shows each batch.
//
// It listens on loopback with a self-signed certificate, answers every well-formed batch with
// "true" (or as told by its options, to try out failure handling), prints each batch in a
// readable form and can append the raw bodies to a log file. A second, plain HTTP server on
// loopback serves a live map page (tools/web) that polls /state for the batches' points.
// SIGINT or SIGTERM stops it.
//
// Threads: main blocks both stop signals before anything else starts, runs the HTTPS server and
// the page's server on threads of their own and waits in sigwait; on a signal it wakes any
// delayed answer, stops both servers and joins them. The servers' worker threads share
// out_lock for stdout and the log, and page_lock for what the page is shown.
#include <errno.h>
#include <fcntl.h>
#include <httplib.h>
#include <json/json.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "tls_cert.h"

static const char PROG[] = "halvex_mapapi_sink";
// The live service's own port, so an endpoint only needs its host changed to point here.
static const int DEFAULT_PORT = 4434;
static const char DEFAULT_HOST[] = "127.0.0.1";
static const char DEFAULT_TLS_DIR[] = "./halvex_mapapi_sink_tls";
// Exit status for a bad command line, as sysexits.h has it.
static const int EXIT_USAGE = 64;
// Longest accepted --delay-ms: one hour; longer would only look like a hang.
static const long DELAY_MAX_MS = 3600L * 1000;
// --web-port's default: next to the HTTPS port, or a free one when that is picked freely.
static const int WEB_PORT_NEXT = -1;
// The page's files when installed, relative to the folder of the sink's binary.
static const char WEB_DIR_INSTALLED[] = "/../share/halvex-mapapi-server/web";
#ifndef HALVEX_SINK_WEB_DIR  // the source tree's tools/web, set by the build
#define HALVEX_SINK_WEB_DIR "tools/web"
#endif
// Largest batch body taken; a larger one is answered 413 without being kept. A full queue at
// the service's default bound (100000 points of at most about 120 bytes each) fits.
static const size_t BODY_MAX = 16 * 1024 * 1024;
// After a batch body larger than this, the memory its parse took is given back at once.
static const size_t TRIM_ABOVE = 1024 * 1024;
// The page's server takes no request bodies worth keeping.
static const size_t WEB_BODY_MAX = 4096;
// Points kept for pages that open or poll later: the newest 100000, and no more text than one
// batch body may carry, so that neither many batches nor large points grow the sink without
// end. Older points go first; the page says how many went.
static const size_t PAGE_POINTS_KEPT = 100000;
static const size_t PAGE_BYTES_KEPT = BODY_MAX;
// A browser's idle keep-alive connection holds up the stop by at most this many seconds.
static const int WEB_KEEP_ALIVE_SEC = 1;

struct sink_options {
    std::string host = DEFAULT_HOST;
    int port = DEFAULT_PORT;
    std::string tls_dir = DEFAULT_TLS_DIR;
    std::string cert_path;  // both set, or both empty for the tls folder's pair
    std::string key_path;
    std::string reply;  // answer to a well-formed batch; empty: "true" for 200, else "false"
    int status = 200;
    long delay_ms = 0;
    bool quiet = false;
    std::string log_path;
    int web_port = WEB_PORT_NEXT;
    std::string web_dir;  // empty: beside the installed binary, else the source tree's
};

static sink_options options;
static FILE *log_file;         // raw bodies, one per line; NULL without --log
static int web_root_fd = -1;   // the page's folder, opened before the servers start
static std::mutex out_lock;    // one batch's lines stay together on stdout and in the log
static std::mutex batch_lock;  // one batch parsed at a time (batch_take)

// Set on a stop signal so that a delayed answer does not hold up the shut-down.
static std::mutex stop_lock;
static std::condition_variable stop_changed;
static bool stop_requested;

// One well-formed batch as the page gets it: its points, never its key.
struct page_batch {
    long long seq;                             // its number, from 1
    std::chrono::steady_clock::time_point at;  // when it arrived
    std::string time;                          // the same, as printed
    std::deque<std::string> points;            // each as compact JSON, oldest first
};

// What the map page is shown. Locks: [p] page_lock.
struct page_state {
    std::string map_id;             // [p] of the latest batch
    long long batches = 0;          // [p] well-formed batches received
    long long points = 0;           // [p] points in them
    std::string last_time;          // [p] the latest batch's arrival, as printed
    std::deque<page_batch> recent;  // [p] oldest first, within PAGE_POINTS_KEPT and _BYTES_KEPT
    size_t recent_points = 0;       // [p] points in recent
    size_t recent_bytes = 0;        // [p] their text
    long long dropped = 0;          // [p] points received but no longer kept
};
static std::mutex page_lock;
static page_state page;

static void usage_print(FILE *to) {
    fprintf(to,
            "Usage: %s [OPTION...]\n"
            "A local stand-in for the live-map service: takes batches of points over HTTPS\n"
            "(POST on any path), prints them and answers \"true\".\n\n"
            "  --host ADDR       address to listen on (default %s)\n"
            "  --port N          port to listen on (default %d; 0 picks a free one)\n"
            "  --tls-dir DIR     folder for the self-signed certificate, made on first start\n"
            "                    (default %s)\n"
            "  --cert FILE --key FILE   use this certificate and key instead\n"
            "  --reply TEXT      answer TEXT to well-formed batches (e.g. false)\n"
            "  --status CODE     answer with this HTTP status (body \"false\" unless --reply)\n"
            "  --delay-ms N      wait N milliseconds before each answer\n"
            "  --quiet           do not print the batches\n"
            "  --log FILE        append each raw body received to FILE, one per line\n"
            "  --web-port N      serve the live map page over plain HTTP on port N (default:\n"
            "                    the HTTPS port + 1, or a free one with --port 0; 0: a free one)\n"
            "  --web-dir DIR     the page's files (default: beside the installed program, or\n"
            "                    the source tree's tools/web)\n"
            "  -h, --help        show this help\n\n"
            "A body that is not a JSON object with a string mapId, a string key and an array\n"
            "points is answered with status 400 and \"false\", one over 16 MB with status 413.\n"
            "SIGINT or SIGTERM stops it.\n",
            PROG, DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TLS_DIR);
}

static void usage_fail(const char *what, const char *arg) {
    fprintf(stderr, "%s: %s%s\nTry '%s --help'.\n", PROG, what, arg, PROG);
    exit(EXIT_USAGE);
}

// Whole decimal number in [lo, hi], or a usage error naming the option.
static long number_parse(const char *opt, const char *text, long lo, long hi) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        std::string what = std::string("bad value for ") + opt + ": ";
        usage_fail(what.c_str(), text);
    }
    return v;
}

// The option's value: the next argument; a usage error when there is none.
static const char *option_value(int argc, char **argv, int *i) {
    if (*i + 1 >= argc)
        usage_fail("missing value for ", argv[*i]);
    return argv[++*i];
}

// An option that takes a value, and what it does with it.
struct valued_option {
    const char *name;
    void (*apply)(const char *value);
};

static const valued_option VALUED_OPTIONS[] = {
    {"--host", [](const char *v) { options.host = v; }},
    {"--port", [](const char *v) { options.port = (int)number_parse("--port", v, 0, 65535); }},
    {"--tls-dir", [](const char *v) { options.tls_dir = v; }},
    {"--cert", [](const char *v) { options.cert_path = v; }},
    {"--key", [](const char *v) { options.key_path = v; }},
    {"--reply", [](const char *v) { options.reply = v; }},
    {"--status",
     [](const char *v) { options.status = (int)number_parse("--status", v, 100, 599); }},
    {"--delay-ms",
     [](const char *v) { options.delay_ms = number_parse("--delay-ms", v, 0, DELAY_MAX_MS); }},
    {"--log", [](const char *v) { options.log_path = v; }},
    {"--web-port",
     [](const char *v) { options.web_port = (int)number_parse("--web-port", v, 0, 65535); }},
    {"--web-dir", [](const char *v) { options.web_dir = v; }},
};

// The valued option called name; NULL when there is none, so that an unknown option is named
// as given rather than the argument after it.
static const valued_option *valued_option_find(const std::string &name) {
    for (const valued_option &o : VALUED_OPTIONS)
        if (name == o.name)
            return &o;
    return NULL;
}

static void options_parse(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        const valued_option *valued = valued_option_find(name);
        if (name == "--help" || name == "-h") {
            usage_print(stdout);
            exit(0);
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (valued) {
            valued->apply(option_value(argc, argv, &i));
        } else {
            usage_fail("unknown option: ", name.c_str());
        }
    }
    if (options.cert_path.empty() != options.key_path.empty())
        usage_fail("--cert and --key go together", "");
}

// ---- certificate ----------------------------------------------------------------------

static bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The tls folder's pair, made on first start; kept private since it holds the key.
static bool tls_pair_ensure(std::string *cert, std::string *key) {
    const std::string &dir = options.tls_dir;
    *cert = dir + "/cert.pem";
    *key = dir + "/key.pem";
    if (file_exists(*cert) && file_exists(*key))
        return true;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: cannot create %s: %s\n", PROG, dir.c_str(), strerror(errno));
        return false;
    }
    mode_t old_mask = umask(077);
    int rc = tls_cert_create(cert->c_str(), key->c_str());
    umask(old_mask);
    if (rc != 0)
        return false;
    fprintf(stderr, "%s: made a self-signed certificate in %s\n", PROG, dir.c_str());
    return true;
}

// ---- printing -------------------------------------------------------------------------

// Local time with milliseconds, e.g. "2024-05-01 12:34:56.789".
static std::string time_now_text(void) {
    struct timeval tv;
    gettimeofday(&tv, NULL);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[64];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(buf + n, sizeof buf - n, ".%03ld", (long)(tv.tv_usec / 1000));
    return buf;
}

static std::string json_compact(const Json::Value &v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

// A field's value as people read it: strings bare, reals with six decimals as sent.
static std::string field_text(const Json::Value &v) {
    if (v.isString())
        return v.asString();
    if (v.isIntegral())
        return json_compact(v);
    if (v.isDouble()) {
        char buf[64];
        snprintf(buf, sizeof buf, "%.6f", v.asDouble());
        return buf;
    }
    return json_compact(v);
}

// One point as "  lat 40.712799 lng -74.005997 r 10 ...": known fields in the order the
// service writes them, then any others.
static std::string point_line(const Json::Value &p) {
    static const char *const known[] = {"lat", "lng", "zipcode", "r",
                                        "c",   "c2",  "delay",   "visible_time"};
    if (!p.isObject())
        return "  (not an object) " + json_compact(p);
    if (p.empty())
        return "  (no fields)";
    std::string line = " ";
    for (const char *name : known)
        if (p.isMember(name))
            line += std::string(" ") + name + " " + field_text(p[name]);
    for (const std::string &name : p.getMemberNames()) {
        bool is_known = false;
        for (const char *k : known)
            is_known = is_known || name == k;
        if (!is_known)
            line += " " + name + " " + field_text(p[name]);
    }
    return line;
}

// text with its control characters shown as \xNN (C1 ones, in UTF-8, as \u00NN), so that a
// batch cannot move the terminal's cursor, clear its screen or fake a line of its own.
static std::string printable(const std::string &text) {
    std::string out;
    char esc[8];
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char ch = (unsigned char)text[i], next = i + 1 < text.size() ? text[i + 1] : 0;
        if (ch < 0x20 || ch == 0x7f) {
            snprintf(esc, sizeof esc, "\\x%02x", ch);
            out += esc;
        } else if (ch == 0xc2 && next >= 0x80 && next <= 0x9f) {
            snprintf(esc, sizeof esc, "\\u00%02x", next);
            out += esc;
            i++;
        } else {
            out += (char)ch;
        }
    }
    return out;
}

static std::string batch_text(const std::string &time, const std::string &path,
                              const Json::Value &batch) {
    const Json::Value &points = batch["points"];
    std::ostringstream out;
    out << time << "  POST " << printable(path) << "  map " << printable(batch["mapId"].asString())
        << "  " << points.size() << (points.size() == 1 ? " point" : " points") << "\n";
    for (const Json::Value &p : points)
        out << printable(point_line(p)) << "\n";
    return out.str();
}

// The raw body on one line: line breaks, which JSON only has between tokens, become spaces.
static void body_log(const std::string &body) {
    std::string line = body;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    for (char &ch : line)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    fprintf(log_file, "%s\n", line.c_str());
    fflush(log_file);
}

// ---- reading batches ------------------------------------------------------------------

// The first of the parser's complaints, on one line: "* Line 1, Column 1: Syntax error: ...".
static std::string parse_error_first(const std::string &errors) {
    std::string first = errors.substr(0, errors.find("\n* "));
    std::string line;
    for (size_t i = 0; i < first.size(); i++) {
        if (first[i] != '\n') {
            line += first[i];
        } else if (i + 1 < first.size()) {
            line += ':';
            while (i + 1 < first.size() && first[i + 1] == ' ')
                i++;
            line += ' ';
        }
    }
    return line;
}

// Strict JSON: an object with a string mapId, a string key and an array points. Otherwise
// *why says what is wrong.
static bool batch_parse(const std::string &body, Json::Value *batch, std::string *why) {
    Json::CharReaderBuilder b;
    Json::CharReaderBuilder::strictMode(&b.settings_);
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    if (!reader->parse(body.data(), body.data() + body.size(), batch, why)) {
        *why = parse_error_first(*why);
        return false;
    }
    if (!batch->isObject())
        *why = "not a JSON object";
    else if (!(*batch)["mapId"].isString())
        *why = "no string mapId";
    else if (!(*batch)["key"].isString())
        *why = "no string key";
    else if (!(*batch)["points"].isArray())
        *why = "no array points";
    return why->empty();
}

// Wait the configured delay, cut short by a stop signal.
static void answer_delay(void) {
    if (options.delay_ms <= 0)
        return;
    std::unique_lock<std::mutex> g(stop_lock);
    stop_changed.wait_for(g, std::chrono::milliseconds(options.delay_ms),
                          [] { return stop_requested; });
}

// ---- the map page ---------------------------------------------------------------------

// Each point as compact JSON, made before page_lock is taken.
static std::deque<std::string> points_texts(const Json::Value &points) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    std::unique_ptr<Json::StreamWriter> writer(w.newStreamWriter());
    std::deque<std::string> texts;
    for (const Json::Value &p : points) {
        std::ostringstream one;
        writer->write(p, &one);
        texts.push_back(one.str());
    }
    return texts;
}

// Drop the oldest points until the bounds hold; every kept batch has points. page_lock held.
static void page_trim(void) {
    while (page.recent_points > PAGE_POINTS_KEPT || page.recent_bytes > PAGE_BYTES_KEPT) {
        std::deque<std::string> &oldest = page.recent.front().points;
        page.recent_points--;
        page.recent_bytes -= oldest.front().size();
        page.dropped++;
        oldest.pop_front();
        if (oldest.empty())
            page.recent.pop_front();
    }
}

// Keep a well-formed batch's points for the page, within PAGE_POINTS_KEPT and PAGE_BYTES_KEPT.
static void page_record(const std::string &time, const Json::Value &batch) {
    page_batch b{0, std::chrono::steady_clock::now(), time, points_texts(batch["points"])};
    size_t bytes = 0;
    for (const std::string &t : b.points)
        bytes += t.size();
    std::lock_guard<std::mutex> g(page_lock);
    page.map_id = batch["mapId"].asString();
    b.seq = ++page.batches;
    page.points += b.points.size();
    page.last_time = time;
    if (b.points.empty())
        return;  // nothing to show
    page.recent_points += b.points.size();
    page.recent_bytes += bytes;
    page.recent.push_back(std::move(b));
    page_trim();
}

// One kept batch as the page takes it: {"seq":..,"ageMs":..,"time":..,"points":[..]}.
static void fresh_append(std::string &out, const page_batch &b,
                         std::chrono::steady_clock::time_point now) {
    long long age = std::chrono::duration_cast<std::chrono::milliseconds>(now - b.at).count();
    out += "{\"seq\":" + std::to_string(b.seq) + ",\"ageMs\":" + std::to_string(age) +
           ",\"time\":\"" + b.time + "\",\"points\":[";
    for (size_t i = 0; i < b.points.size(); i++)
        out += (i ? "," : "") + b.points[i];
    out += "]}";
}

// GET /state?after=N: the counts, and the kept batches numbered above N with their age, so
// that a page opened late still times each point's delay and visible time from its arrival,
// and a page that polls gets only what is new since its last poll.
static void state_handle(const httplib::Request &req, httplib::Response &res) {
    long long after = atoll(req.get_param_value("after").c_str());
    auto now = std::chrono::steady_clock::now();
    Json::Value head(Json::objectValue);
    std::string out;
    std::lock_guard<std::mutex> g(page_lock);
    head["mapId"] = page.map_id;
    head["batches"] = (Json::Int64)page.batches;
    head["points"] = (Json::Int64)page.points;
    head["lastBatch"] = page.last_time;
    head["seq"] = (Json::Int64)page.batches;
    head["kept"] = (Json::UInt64)PAGE_POINTS_KEPT;
    head["dropped"] = (Json::Int64)page.dropped;
    out = json_compact(head);
    out.back() = ',';  // the object goes on with the batches
    out += "\"fresh\":[";
    auto first = std::upper_bound(page.recent.begin(), page.recent.end(), after,
                                  [](long long n, const page_batch &b) { return n < b.seq; });
    for (auto it = first; it != page.recent.end(); ++it) {
        if (it != first)
            out += ',';
        fresh_append(out, *it, now);
    }
    out += "]}";
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::move(out), "application/json");
}

static bool web_files_present(const std::string &dir) {
    return file_exists(dir + "/index.html") && file_exists(dir + "/map.js") &&
           file_exists(dir + "/node_modules/leaflet/dist/leaflet.js");
}

// --web-dir, else the installed files beside the binary, else the source tree's.
static std::string web_dir_find(void) {
    if (!options.web_dir.empty())
        return options.web_dir;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, (size_t)n);
        std::string dir = path.substr(0, path.rfind('/')) + WEB_DIR_INSTALLED;
        if (web_files_present(dir))
            return dir;
    }
    return HALVEX_SINK_WEB_DIR;
}

// Content type of one of the page's files, by its ending.
static const char *content_type_of(const std::string &path) {
    static const char *const types[][2] = {{".html", "text/html; charset=utf-8"},
                                           {".js", "text/javascript; charset=utf-8"},
                                           {".css", "text/css; charset=utf-8"},
                                           {".json", "application/json"},
                                           {".png", "image/png"},
                                           {".svg", "image/svg+xml"}};
    for (const auto &t : types) {
        size_t n = strlen(t[0]);
        if (path.size() > n && path.compare(path.size() - n, n, t[0]) == 0)
            return t[1];
    }
    return "application/octet-stream";
}

// The regular file at rel below the page's folder, opened part by part without following
// any symbolic link; no part may be empty, hold a NUL or start with a dot (so no "..", no
// hidden file). -1 for anything else.
static int web_file_open(const std::string &rel) {
    int dir = fcntl(web_root_fd, F_DUPFD_CLOEXEC, 0);
    for (size_t at = 0; dir >= 0;) {
        size_t slash = rel.find('/', at);
        std::string part = rel.substr(at, slash == std::string::npos ? slash : slash - at);
        bool last = slash == std::string::npos;
        int fd = -1;
        if (!part.empty() && part[0] != '.' && part.find('\0') == std::string::npos)
            fd = openat(dir, part.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY));
        close(dir);
        struct stat st;
        if (last && fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd);
            fd = -1;
        }
        if (last || fd < 0)
            return fd;
        dir = fd;
        at = slash + 1;
    }
    return -1;
}

// GET of one of the page's files; 404 for anything web_file_open refuses.
static void file_handle(const httplib::Request &req, httplib::Response &res) {
    std::string rel = req.path.substr(1);
    if (rel.empty() || rel.back() == '/')
        rel += "index.html";
    int fd = web_file_open(rel);
    if (fd < 0) {
        res.status = 404;
        res.set_content("not found\n", "text/plain");
        return;
    }
    std::string body;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        body.append(buf, (size_t)n);
    close(fd);
    res.set_content(std::move(body), content_type_of(rel));
}

// The page's files under /, its data under /state; without the files, a notice saying why.
// *where is the folder served, for the start line.
static void web_routes_set(httplib::Server &web, std::string *where) {
    std::string dir = web_dir_find();
    char real[PATH_MAX];
    *where = realpath(dir.c_str(), real) ? real : dir;
    if (web_files_present(dir) &&
        (web_root_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0) {
        web.Get("/state", state_handle);
        web.Get("/.*", file_handle);
        return;
    }
    *where = "no page files";
    std::string why =
        "the map page's files are missing in " + dir + " (run \"npm ci\" there, or give --web-dir)";
    fprintf(stderr, "%s: %s\n", PROG, why.c_str());
    web.Get(".*", [why](const httplib::Request &, httplib::Response &res) {
        res.status = 503;
        res.set_content(why + "\n", "text/plain");
    });
}

// ---- answering batches ----------------------------------------------------------------

// The body, read to its end so that the client can read the answer, but kept only up to
// BODY_MAX bytes. False, with res's status set, when it is longer or cannot be read; the
// server itself reads past a stated length above the bound and sets 413.
static bool body_read(const httplib::ContentReader &read, std::string *body,
                      httplib::Response &res) {
    size_t size = 0;
    bool whole = read([&](const char *data, size_t len) {
        size += len;
        if (size <= BODY_MAX)
            body->append(data, len);
        return true;
    });
    if (whole && size <= BODY_MAX)
        return true;
    res.status = whole || res.status == 413 ? 413 : 400;
    return false;
}

// The batch's lines on stdout, or why it is refused, and the raw body in the log.
static void batch_report(const std::string &time, const httplib::Request &req,
                         const std::string &body, const Json::Value *batch,
                         const std::string &why) {
    std::lock_guard<std::mutex> g(out_lock);
    if (log_file)
        body_log(body);
    if (!batch)
        printf("%s  POST %s  malformed batch (%zu %s): %s\n", time.c_str(),
               printable(req.path).c_str(), body.size(), body.size() == 1 ? "byte" : "bytes",
               printable(why).c_str());
    else if (!options.quiet)
        fputs(batch_text(time, req.path, *batch).c_str(), stdout);
}

// Parse, show and keep one batch; false when it is malformed. One batch at a time, since a
// large one takes many times its size while parsed; the memory goes back to the system after.
static bool batch_take(const std::string &time, const httplib::Request &req,
                       const std::string &body) {
    std::lock_guard<std::mutex> g(batch_lock);
    bool ok;
    {
        Json::Value batch;
        std::string why;
        ok = batch_parse(body, &batch, &why);
        batch_report(time, req, body, ok ? &batch : NULL, why);
        if (ok)
            page_record(time, batch);
    }
    if (body.size() > TRIM_ABOVE)
        malloc_trim(0);
    return ok;
}

static void batch_handle(const httplib::Request &req, httplib::Response &res,
                         const httplib::ContentReader &read) {
    std::string body, time = time_now_text();
    if (!body_read(read, &body, res)) {
        std::lock_guard<std::mutex> g(out_lock);
        printf("%s  POST %s  %s: answered %d\n", time.c_str(), printable(req.path).c_str(),
               res.status == 413 ? "batch over 16 MB" : "body not readable", res.status);
        res.set_content("false", "text/plain");
        return;
    }
    bool ok = batch_take(time, req, body);
    answer_delay();
    if (!ok) {
        res.status = 400;
        res.set_content("false", "text/plain");
        return;
    }
    res.status = options.status;
    std::string reply = options.reply;
    if (reply.empty())
        reply = options.status == 200 ? "true" : "false";
    res.set_content(reply, "text/plain");
}

// ---- start and stop -------------------------------------------------------------------

// Take request bodies of at most max bytes: a longer one with a stated length is read past
// and answered 413. One of unknown length (chunked) is refused with 411 before it is read,
// except by a handler that reads it within the bound (posts_read: batch_handle).
static void body_bound_set(httplib::Server &server, size_t max, bool posts_read) {
    server.set_payload_max_length(max);
    server.set_pre_routing_handler(
        [posts_read](const httplib::Request &req, httplib::Response &res) {
            if (!req.has_header("Transfer-Encoding") || (posts_read && req.method == "POST"))
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 411;
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        });
}

// SO_REUSEADDR alone: a restart binds at once over connections still in TIME_WAIT, yet a port
// another program listens on is refused. The server's own default adds SO_REUSEPORT, with
// which a second sink would share the port and take part of the batches.
static void listen_socket_options(socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Bind to wanted (0: a free port); the port bound, or 0 on failure with *why set.
static int server_bind(httplib::Server &server, int wanted, std::string *why) {
    server.set_socket_options(listen_socket_options);
    // Answers go out at once, not after Nagle's wait for the client's delayed ACK: without it,
    // back-to-back posts each waited tens of milliseconds, and the relay seemed slow.
    server.set_tcp_nodelay(true);
    errno = 0;
    int port = wanted == 0 ? server.bind_to_any_port(options.host)
                           : (server.bind_to_port(options.host, wanted) ? wanted : 0);
    if (port <= 0) {
        *why = errno ? std::string(": ") + strerror(errno) : "";
        return 0;
    }
    return port;
}

// --web-port, or the HTTPS port + 1 when that was given, else a free one.
static int web_port_wanted(void) {
    if (options.web_port != WEB_PORT_NEXT)
        return options.web_port;
    return options.port == 0 || options.port == 65535 ? 0 : options.port + 1;
}

// The log, appended to; a new one is its owner's alone, as it holds the map keys.
static FILE *log_open(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    FILE *f = fd >= 0 ? fdopen(fd, "a") : NULL;
    if (fd >= 0 && !f)
        close(fd);
    return f;
}

// Block the stop signals in every thread; main takes them with sigwait.
static void stop_signals_block(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, set, NULL);
}

// Serve on a thread of its own; a server that ends on its own sets failed and wakes main.
static std::thread server_spawn(httplib::Server &server, std::atomic<bool> &failed) {
    std::thread runner([&server, &failed] {
        if (server.listen_after_bind())
            return;
        failed = true;
        kill(getpid(), SIGTERM);  // wakes the sigwait in servers_run
    });
    // Until it runs, stop() would be a no-op; so a signal taken earlier would be lost.
    while (!server.is_running() && !failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return runner;
}

static int servers_run(httplib::SSLServer &server, httplib::Server &web,
                       const std::string &web_where, const sigset_t *stop_set) {
    std::string why;
    int port = server_bind(server, options.port, &why);
    int web_wanted = web_port_wanted(), web_port = port ? server_bind(web, web_wanted, &why) : 0;
    if (!port || !web_port) {
        fprintf(stderr, "%s: cannot listen on %s:%d%s%s\n", PROG, options.host.c_str(),
                port ? web_wanted : options.port, port ? " (the map page; see --web-port)" : "",
                why.c_str());
        return 1;
    }
    std::atomic<bool> failed{false};
    std::thread runner = server_spawn(server, failed), web_runner = server_spawn(web, failed);
    printf("%s: listening on https://%s:%d\n", PROG, options.host.c_str(), port);
    printf("%s: live map on http://%s:%d/ (%s)\n", PROG, options.host.c_str(), web_port,
           web_where.c_str());
    int sig;
    sigwait(stop_set, &sig);
    {
        std::lock_guard<std::mutex> g(stop_lock);
        stop_requested = true;
    }
    stop_changed.notify_all();
    server.stop();
    web.stop();
    runner.join();
    web_runner.join();
    if (failed) {
        fprintf(stderr, "%s: a server stopped on its own\n", PROG);
        return 1;
    }
    printf("%s: stopped by %s\n", PROG, sig == SIGINT ? "SIGINT" : "SIGTERM");
    return 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    options_parse(argc, argv);
    sigset_t stop_set;
    stop_signals_block(&stop_set);
    std::string cert = options.cert_path, key = options.key_path;
    if (cert.empty() && !tls_pair_ensure(&cert, &key))
        return 1;
    if (!options.log_path.empty() && !(log_file = log_open(options.log_path))) {
        fprintf(stderr, "%s: cannot open %s: %s\n", PROG, options.log_path.c_str(),
                strerror(errno));
        return 1;
    }
    httplib::SSLServer server(cert.c_str(), key.c_str());
    if (!server.is_valid()) {
        fprintf(stderr, "%s: cannot use certificate %s with key %s\n", PROG, cert.c_str(),
                key.c_str());
        return 1;
    }
    body_bound_set(server, BODY_MAX, true);
    // An answer the server makes itself (411, 400) reads as a refusal, as our own do.
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            res.set_content("false", "text/plain");
    });
    server.Post(".*", batch_handle);
    httplib::Server web;
    body_bound_set(web, WEB_BODY_MAX, false);
    web.set_keep_alive_timeout(WEB_KEEP_ALIVE_SEC);
    std::string web_where;
    web_routes_set(web, &web_where);
    return servers_run(server, web, web_where, &stop_set);
}
