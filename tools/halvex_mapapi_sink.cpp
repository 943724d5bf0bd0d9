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
#include <httplib.h>
#include <json/json.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

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
// Points kept for pages that open or poll later: room for 10000 visible points and more,
// bounded so that a long run does not grow without end (the oldest batches go first).
static const size_t PAGE_POINTS_KEPT = 20000;
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
static FILE *log_file;       // raw bodies, one per line; NULL without --log
static std::mutex out_lock;  // one batch's lines stay together on stdout and in the log

// Set on a stop signal so that a delayed answer does not hold up the shut-down.
static std::mutex stop_lock;
static std::condition_variable stop_changed;
static bool stop_requested;

// One well-formed batch as the page gets it: its points, never its key.
struct page_batch {
    long long seq;                             // its number, from 1
    std::chrono::steady_clock::time_point at;  // when it arrived
    std::string time;                          // the same, as printed
    Json::Value points;
};

// What the map page is shown. Locks: [p] page_lock.
struct page_state {
    std::string map_id;             // [p] of the latest batch
    long long batches = 0;          // [p] well-formed batches received
    long long points = 0;           // [p] points in them
    std::string last_time;          // [p] the latest batch's arrival, as printed
    std::deque<page_batch> recent;  // [p] oldest first, PAGE_POINTS_KEPT points at most
    size_t recent_points = 0;       // [p] points in recent
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
            "  --help            show this help\n\n"
            "A body that is not a JSON object with a string mapId, a string key and an array\n"
            "points is answered with status 400 and \"false\". SIGINT or SIGTERM stops it.\n",
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

// Options that take a value; false when name is not one of them.
static bool option_valued_apply(const std::string &name, const char *v) {
    if (name == "--host") {
        options.host = v;
    } else if (name == "--port") {
        options.port = (int)number_parse("--port", v, 0, 65535);
    } else if (name == "--tls-dir") {
        options.tls_dir = v;
    } else if (name == "--cert") {
        options.cert_path = v;
    } else if (name == "--key") {
        options.key_path = v;
    } else if (name == "--reply") {
        options.reply = v;
    } else if (name == "--status") {
        options.status = (int)number_parse("--status", v, 100, 599);
    } else if (name == "--delay-ms") {
        options.delay_ms = number_parse("--delay-ms", v, 0, DELAY_MAX_MS);
    } else if (name == "--log") {
        options.log_path = v;
    } else if (name == "--web-port") {
        options.web_port = (int)number_parse("--web-port", v, 0, 65535);
    } else if (name == "--web-dir") {
        options.web_dir = v;
    } else {
        return false;
    }
    return true;
}

static void options_parse(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            usage_print(stdout);
            exit(0);
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name.rfind("--", 0) != 0 ||
                   !option_valued_apply(name, option_value(argc, argv, &i))) {
            usage_fail("unknown option: ", argv[i]);
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

static std::string batch_text(const std::string &time, const std::string &path,
                              const Json::Value &batch) {
    const Json::Value &points = batch["points"];
    std::ostringstream out;
    out << time << "  POST " << path << "  map " << batch["mapId"].asString() << "  "
        << points.size() << (points.size() == 1 ? " point" : " points") << "\n";
    for (const Json::Value &p : points)
        out << point_line(p) << "\n";
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

// Keep a well-formed batch for the page, dropping the oldest beyond PAGE_POINTS_KEPT points.
static void page_record(const std::string &time, Json::Value &batch) {
    std::lock_guard<std::mutex> g(page_lock);
    page.map_id = batch["mapId"].asString();
    page.batches++;
    page.points += batch["points"].size();
    page.last_time = time;
    page_batch b{page.batches, std::chrono::steady_clock::now(), time, Json::Value()};
    b.points.swapPayload(batch["points"]);
    page.recent_points += b.points.size();
    page.recent.push_back(std::move(b));
    while (page.recent_points > PAGE_POINTS_KEPT && page.recent.size() > 1) {
        page.recent_points -= page.recent.front().points.size();
        page.recent.pop_front();
    }
}

// GET /state?after=N: the counts, and the kept batches numbered above N with their age, so
// that a page opened late still times each point's delay and visible time from its arrival.
static void state_handle(const httplib::Request &req, httplib::Response &res) {
    long long after = atoll(req.get_param_value("after").c_str());
    Json::Value out(Json::objectValue), fresh(Json::arrayValue);
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> g(page_lock);
        out["mapId"] = page.map_id;
        out["batches"] = (Json::Int64)page.batches;
        out["points"] = (Json::Int64)page.points;
        out["lastBatch"] = page.last_time;
        out["seq"] = (Json::Int64)page.batches;
        for (const page_batch &b : page.recent) {
            if (b.seq <= after)
                continue;
            Json::Value &e = fresh.append(Json::Value(Json::objectValue));
            e["seq"] = (Json::Int64)b.seq;
            e["ageMs"] =
                (Json::Int64)std::chrono::duration_cast<std::chrono::milliseconds>(now - b.at)
                    .count();
            e["time"] = b.time;
            e["points"] = b.points;
        }
    }
    out["fresh"].swapPayload(fresh);
    res.set_header("Cache-Control", "no-store");
    res.set_content(json_compact(out), "application/json");
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

// The page's files under /, its data under /state; without the files, a notice saying why.
// *where is the folder served, for the start line.
static void web_routes_set(httplib::Server &web, std::string *where) {
    std::string dir = web_dir_find();
    char real[PATH_MAX];
    *where = realpath(dir.c_str(), real) ? real : dir;
    if (web_files_present(dir) && web.set_mount_point("/", dir)) {
        web.Get("/state", state_handle);
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

static void batch_handle(const httplib::Request &req, httplib::Response &res) {
    Json::Value batch;
    std::string why;
    bool ok = batch_parse(req.body, &batch, &why);
    std::string time = time_now_text();
    {
        std::lock_guard<std::mutex> g(out_lock);
        if (log_file)
            body_log(req.body);
        if (!ok)
            printf("%s  POST %s  malformed batch (%zu bytes): %s\n", time.c_str(), req.path.c_str(),
                   req.body.size(), why.c_str());
        else if (!options.quiet)
            fputs(batch_text(time, req.path, batch).c_str(), stdout);
    }
    if (ok)
        page_record(time, batch);
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

// Bind to wanted (0: a free port); the port bound, or 0 on failure.
static int server_bind(httplib::Server &server, int wanted) {
    if (wanted == 0)
        return server.bind_to_any_port(options.host);
    return server.bind_to_port(options.host, wanted) ? wanted : 0;
}

// --web-port, or the HTTPS port + 1 when that was given, else a free one.
static int web_port_wanted(void) {
    if (options.web_port != WEB_PORT_NEXT)
        return options.web_port;
    return options.port == 0 || options.port == 65535 ? 0 : options.port + 1;
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
    int port = server_bind(server, options.port);
    int web_wanted = web_port_wanted(), web_port = port ? server_bind(web, web_wanted) : 0;
    if (!port || !web_port) {
        fprintf(stderr, "%s: cannot listen on %s:%d%s\n", PROG, options.host.c_str(),
                port ? web_wanted : options.port, port ? " (the map page; see --web-port)" : "");
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
    if (!options.log_path.empty() && !(log_file = fopen(options.log_path.c_str(), "a"))) {
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
    server.Post(".*", batch_handle);
    httplib::Server web;
    web.set_keep_alive_timeout(WEB_KEEP_ALIVE_SEC);
    std::string web_where;
    web_routes_set(web, &web_where);
    return servers_run(server, web, web_where, &stop_set);
}
