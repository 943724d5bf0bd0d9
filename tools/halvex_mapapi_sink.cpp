// halvex_mapapi_sink.cpp -- a local HTTPS stand-in for the live-map service that shows each batch.
//
// It listens on loopback with a self-signed certificate, answers every well-formed batch with
// "true" (or as told by its options, to try out failure handling), prints each batch in a
// readable form and can append the raw bodies to a log file. SIGINT or SIGTERM stops it.
//
// Threads: main blocks both stop signals before anything else starts, runs the HTTPS server on
// a thread of its own and waits in sigwait; on a signal it wakes any delayed answer, stops the
// server and joins it. The server's worker threads share out_lock for stdout and the log.
#include <errno.h>
#include <httplib.h>
#include <json/json.h>
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
};

static sink_options options;
static FILE *log_file;       // raw bodies, one per line; NULL without --log
static std::mutex out_lock;  // one batch's lines stay together on stdout and in the log

// Set on a stop signal so that a delayed answer does not hold up the shut-down.
static std::mutex stop_lock;
static std::condition_variable stop_changed;
static bool stop_requested;

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

static std::string batch_text(const std::string &path, const Json::Value &batch) {
    const Json::Value &points = batch["points"];
    std::ostringstream out;
    out << time_now_text() << "  POST " << path << "  map " << batch["mapId"].asString() << "  "
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

// ---- answering ------------------------------------------------------------------------

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

static void batch_handle(const httplib::Request &req, httplib::Response &res) {
    Json::Value batch;
    std::string why;
    bool ok = batch_parse(req.body, &batch, &why);
    {
        std::lock_guard<std::mutex> g(out_lock);
        if (log_file)
            body_log(req.body);
        if (!ok)
            printf("%s  POST %s  malformed batch (%zu bytes): %s\n", time_now_text().c_str(),
                   req.path.c_str(), req.body.size(), why.c_str());
        else if (!options.quiet)
            fputs(batch_text(req.path, batch).c_str(), stdout);
    }
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

static bool server_bind(httplib::SSLServer &server, int *port) {
    if (options.port == 0) {
        *port = server.bind_to_any_port(options.host);
        return *port > 0;
    }
    *port = options.port;
    return server.bind_to_port(options.host, options.port);
}

// Block the stop signals in every thread; main takes them with sigwait.
static void stop_signals_block(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, set, NULL);
}

static int server_run(httplib::SSLServer &server, const sigset_t *stop_set) {
    int port;
    if (!server_bind(server, &port)) {
        fprintf(stderr, "%s: cannot listen on %s:%d\n", PROG, options.host.c_str(), options.port);
        return 1;
    }
    std::atomic<bool> failed{false};
    std::thread runner([&] {
        if (server.listen_after_bind())
            return;
        failed = true;
        kill(getpid(), SIGTERM);  // wakes the sigwait below
    });
    // Until it runs, stop() would be a no-op; so a signal taken earlier would be lost.
    while (!server.is_running() && !failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    printf("%s: listening on https://%s:%d\n", PROG, options.host.c_str(), port);
    int sig;
    sigwait(stop_set, &sig);
    {
        std::lock_guard<std::mutex> g(stop_lock);
        stop_requested = true;
    }
    stop_changed.notify_all();
    server.stop();
    runner.join();
    if (failed) {
        fprintf(stderr, "%s: the server stopped on its own\n", PROG);
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
    return server_run(server, &stop_set);
}
