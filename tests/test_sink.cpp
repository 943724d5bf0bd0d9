// test_sink.cpp -- the local map sink binary over real HTTPS: answers, output, options,
// certificate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapapi/halvex_mapapi.h"
#include "harness.h"

static const char READY_PREFIX[] = "halvex_mapapi_sink: listening on https://127.0.0.1:";
static const char BATCH[] =
    "{\"mapId\":\"testmap1\",\"key\":\"k1\",\"points\":[{\"lat\":40.712799,\"lng\":-74.005997,"
    "\"r\":10,\"c\":\"#ff0000\",\"delay\":3000},{\"zipcode\":\"00501\"}]}";

// Run a tool in dir with stdout and stderr in files there.
static server_proc tool_spawn(const std::string &dir, const std::vector<std::string> &args) {
    return program_start(dir, args);
}

// Port from the sink's first line, once it is out; 0 if it ends or stays silent.
static int sink_port_wait(server_proc &p) {
    int port = 0;
    wait_until(
        [&] {
            std::string out = server_stdout(p);
            if (out.rfind(READY_PREFIX, 0) == 0 && out.find('\n') != std::string::npos)
                port = atoi(out.c_str() + strlen(READY_PREFIX));
            return port > 0 || server_wait_exit(p, 0);
        },
        10000);
    return port;
}

// The port of the page's server, from the sink's second line.
static int web_port_of(server_proc &p) {
    static const char web[] = "live map on http://127.0.0.1:";
    size_t at = server_stdout(p).find(web);
    return at == std::string::npos ? 0 : atoi(server_stdout(p).c_str() + at + strlen(web));
}

// What the service's own client makes of the sink's answer to count points.
// Bound on one answer of the sink: a 100000-point batch takes seconds under ThreadSanitizer on
// a loaded machine.
static const int SINK_ANSWER_S = 60;

static halvex_mapapi_post_result client_post(int port, int count) {
    halvex_mapapi_init("testmap1", "testkey123456789");
    halvex_mapapi_set_endpoint(("https://127.0.0.1:" + std::to_string(port) + "/").c_str());
    halvex_mapapi_point zip = {};
    zip.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    std::vector<halvex_mapapi_point> points(count, zip);  // {"zipcode":"00000"}: 18 B each
    halvex_mapapi_post_result r;
    halvex_mapapi_post_map_points(points.data(), count, 0, &r);
    return r;
}

// The page's /state after batch number after, parsed; null when it cannot be had.
static Json::Value state_get(httplib::Client &web, int after) {
    web.set_read_timeout(SINK_ANSWER_S);
    auto res = web.Get(("/state?after=" + std::to_string(after)).c_str());
    std::istringstream in(res ? res->body : "");
    Json::Value v;
    Json::parseFromStream(Json::CharReaderBuilder(), in, &v, NULL);
    return v;
}

static httplib::Result post(int port, const std::string &path, const std::string &body) {
    httplib::SSLClient cli("127.0.0.1", port);
    cli.enable_server_certificate_verification(false);
    cli.set_connection_timeout(5);
    cli.set_read_timeout(SINK_ANSWER_S);
    return cli.Post(path.c_str(), body, "application/json");
}

class Sink : public ::testing::Test {
protected:
    void SetUp() override { dir = tempdir_make(); }
    void TearDown() override {
        if (proc.pid > 0) {
            EXPECT_EQ(server_stop(proc), 0) << "SIGINT should end it cleanly";
        }
        tempdir_remove(dir);
    }
    // Start the sink on a free port with its certificate in dir/tls, plus the given options.
    int start(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = {HALVEX_SINK_BIN, "--port", "0", "--tls-dir", dir + "/tls"};
        args.insert(args.end(), extra.begin(), extra.end());
        proc = tool_spawn(dir, args);
        int port = sink_port_wait(proc);
        EXPECT_GT(port, 0) << server_stdout(proc) << server_stderr(proc);
        return port;
    }
    bool stdout_has(const std::string &text) {
        return wait_until([&] { return server_stdout(proc).find(text) != std::string::npos; },
                          5000);
    }
    std::string dir;
    server_proc proc;
};

TEST_F(Sink, AnswersTrueAndPrintsAndLogsEachBatch) {
    int port = start({"--log", dir + "/bodies.log"});
    auto res = post(port, "/any/path", BATCH);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "true");
    EXPECT_TRUE(
        stdout_has("POST /any/path  map testmap1  2 points\n"
                   "  lat 40.712799 lng -74.005997 r 10 c #ff0000 delay 3000\n"
                   "  zipcode 00501\n"))
        << server_stdout(proc);
    res = post(port, "/", "{\"mapId\":\"m2\",\"key\":\"k\",\"points\":[{}]}\n");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "true");
    EXPECT_TRUE(stdout_has("map m2  1 point\n  (no fields)\n"));
    EXPECT_EQ(file_read(dir + "/bodies.log"), std::string(BATCH) +
                                                  "\n{\"mapId\":\"m2\",\"key\":\"k\","
                                                  "\"points\":[{}]}\n");
    struct stat st;
    ASSERT_EQ(stat((dir + "/bodies.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the log holds map keys";
}

TEST_F(Sink, PrintsControlCharactersEscaped) {
    int port = start();
    auto res = post(port, "/p%1B",
                    "{\"mapId\":\"m\\u001b[2J\",\"key\":\"k\",\"points\":"
                    "[{\"zipcode\":\"1\\r\\u0007\\u009b\"}]}");
    ASSERT_TRUE(res);
    EXPECT_TRUE(stdout_has("POST /p\\x1b  map m\\x1b[2J  1 point\n  zipcode 1\\x0d\\x07\\u009b\n"))
        << server_stdout(proc);
}

TEST_F(Sink, BodiesAboveTheBoundAreAnswered413False) {
    int port = start();
    halvex_mapapi_post_result r = client_post(port, 1000000);  // about 19 MB
    EXPECT_EQ(r.http_status, 413);
    EXPECT_STREQ(r.answer_start, "false");
    EXPECT_EQ(r.outcome, HALVEX_MAPAPI_POST_REFUSED);
    httplib::SSLClient cli("127.0.0.1", port);  // the same in chunks, of unknown length
    cli.enable_server_certificate_verification(false);
    std::string chunk(1 << 20, ' ');
    auto res = cli.Post(
        "/",
        [&chunk](size_t offset, httplib::DataSink &sink) {
            if (offset >= 17 * chunk.size())
                sink.done();
            return offset >= 17 * chunk.size() || sink.write(chunk.data(), chunk.size());
        },
        "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_EQ(res->body, "false");
}

TEST_F(Sink, PageKeepsTheNewestPointsAndAPollGetsOnlyNewBatches) {
    int port = start();
    std::string body = "{\"mapId\":\"m\",\"key\":\"k\",\"points\":[{\"i\":0}";
    for (int i = 1; i <= 100000; i++)
        body += ",{\"i\":" + std::to_string(i) + "}";
    ASSERT_TRUE(post(port, "/", body + "]}"));
    ASSERT_TRUE(post(port, "/", "{\"mapId\":\"m\",\"key\":\"k\",\"points\":[{\"i\":-1}]}"));
    httplib::Client web("127.0.0.1", web_port_of(proc));
    Json::Value all = state_get(web, 0), fresh = state_get(web, 1);
    EXPECT_EQ(all["points"].asInt(), 100002);
    EXPECT_EQ(all["dropped"].asInt(), 2);
    EXPECT_EQ(all["fresh"].size(), 2u);
    EXPECT_EQ(all["fresh"][0]["points"].size(), 99999u);  // 100000 kept; the oldest go first
    EXPECT_EQ(all["fresh"][0]["points"][0]["i"].asInt(), 2);
    ASSERT_EQ(fresh["fresh"].size(), 1u) << "only the batch after the first";
    EXPECT_EQ(fresh["fresh"][0]["points"][0]["i"].asInt(), -1);
}

TEST_F(Sink, ServesOnlyRegularFilesInsideItsWebFolder) {
    std::string web_dir = dir + "/web";
    ASSERT_EQ(system(("mkdir -p " + web_dir + "/node_modules/leaflet/dist").c_str()), 0);
    for (const char *f : {"/index.html", "/map.js", "/node_modules/leaflet/dist/leaflet.js"})
        file_write(web_dir + f, f);
    file_write(dir + "/secret", "secret");
    ASSERT_EQ(symlink("../secret", (web_dir + "/link.js").c_str()), 0);
    ASSERT_EQ(symlink("..", (web_dir + "/up").c_str()), 0);
    ASSERT_EQ(mkfifo((web_dir + "/fifo.js").c_str(), 0600), 0);
    start({"--web-dir", web_dir});
    httplib::Client web("127.0.0.1", web_port_of(proc));
    auto res = web.Get("/");
    EXPECT_EQ(res ? res->body : "", "/index.html");
    for (const char *path : {"/link.js", "/up/secret", "/../secret", "/%2e%2e/secret",
                             "/map.js%00.html", "/fifo.js", "/node_modules"}) {
        res = web.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path << ": " << res->body;
    }
}

TEST_F(Sink, RefusesMalformedBodiesWith400False) {
    int port = start();
    const char *const bad[] = {
        "",
        "true",
        "not json",
        "[]",
        "{\"mapId\":\"m\",\"key\":\"k\",\"points\":[]} extra",
        "{\"mapId\":1,\"key\":\"k\",\"points\":[]}",
        "{\"mapId\":\"m\",\"points\":[]}",
        "{\"mapId\":\"m\",\"key\":\"k\",\"points\":{}}",
    };
    for (const char *body : bad) {
        auto res = post(port, "/", body);
        ASSERT_TRUE(res) << body;
        EXPECT_EQ(res->status, 400) << body;
        EXPECT_EQ(res->body, "false") << body;
    }
    EXPECT_TRUE(stdout_has("malformed batch"));
}

TEST_F(Sink, ReplyOptionChangesTheAnswerText) {
    int port = start({"--reply", "false"});
    auto res = post(port, "/", BATCH);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "false");
}

TEST_F(Sink, StatusOptionAnswersWithThatHttpError) {
    int port = start({"--status", "500"});
    halvex_mapapi_post_result r = client_post(port, 1);
    EXPECT_EQ(r.http_status, 500);
    EXPECT_STREQ(r.answer_start, "false");
    EXPECT_EQ(r.outcome, HALVEX_MAPAPI_POST_FAILED);
}

TEST_F(Sink, DelayOptionHoldsEachAnswer) {
    const int delay_ms = 300;
    int port = start({"--delay-ms", std::to_string(delay_ms)});
    auto began = std::chrono::steady_clock::now();
    auto res = post(port, "/", BATCH);
    auto took = std::chrono::steady_clock::now() - began;
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "true");
    EXPECT_GE(took, std::chrono::milliseconds(delay_ms));
}

TEST_F(Sink, StopSignalCutsADelayedAnswerShort) {
    int port = start({"--delay-ms", "600000"});
    std::thread client([port] { post(port, "/", BATCH); });
    ASSERT_TRUE(stdout_has("map testmap1"));
    EXPECT_EQ(server_stop(proc), 0) << "a pending answer must not keep it from stopping";
    client.join();
}

TEST_F(Sink, KeepsItsCertificateAcrossRestarts) {
    ASSERT_GT(start(), 0);
    kill(proc.pid, SIGTERM);
    ASSERT_TRUE(server_wait_exit(proc, 5000));
    EXPECT_EQ(proc.exit_status, 0) << "SIGTERM should end it cleanly";
    std::string cert = file_read(dir + "/tls/cert.pem"), key = file_read(dir + "/tls/key.pem");
    ASSERT_NE(cert.find("BEGIN CERTIFICATE"), std::string::npos);
    ASSERT_FALSE(key.empty());
    int port = start();
    EXPECT_EQ(file_read(dir + "/tls/cert.pem"), cert);
    EXPECT_EQ(file_read(dir + "/tls/key.pem"), key);
    auto res = post(port, "/", BATCH);
    ASSERT_TRUE(res) << "the kept pair must still serve";
    EXPECT_EQ(res->body, "true");
}

TEST_F(Sink, RefusesAPortInUseWithOneLineAndStatus1) {
    int port = start();
    const std::string https = std::to_string(port), web = std::to_string(web_port_of(proc));
    const std::string tries[][3] = {{https, "0", https}, {"0", web, web}};  // ports, the busy one
    for (const auto &t : tries) {
        server_proc p = tool_spawn(
            dir, {HALVEX_SINK_BIN, "--port", t[0], "--web-port", t[1], "--tls-dir", dir + "/tls"});
        bool ended = server_wait_exit(p, 5000);
        server_stop(p);
        ASSERT_TRUE(ended) << "a second sink must not share the port";
        EXPECT_EQ(p.exit_status, 1);
        std::string err = server_stderr(p);
        EXPECT_EQ(err.rfind("halvex_mapapi_sink: cannot listen on 127.0.0.1:" + t[2], 0), 0u);
        EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST_F(Sink, RejectsBadCommandLinesWithStatus64) {
    const std::vector<std::vector<std::string>> bad = {{"--port", "x"},     {"--port"},
                                                       {"--cert", "c.pem"}, {"--status", "99"},
                                                       {"--frobnicate"},    {"--bogus", "x"}};
    for (const auto &extra : bad) {
        std::vector<std::string> args = {HALVEX_SINK_BIN};
        args.insert(args.end(), extra.begin(), extra.end());
        server_proc p = tool_spawn(dir, args);
        ASSERT_TRUE(server_wait_exit(p, 5000));
        EXPECT_EQ(p.exit_status, 64) << extra[0];
        EXPECT_NE(server_stderr(p).find("--help"), std::string::npos);
        EXPECT_NE(server_stderr(p).find(extra[0]), std::string::npos)
            << "the message names the option, not its would-be value: " << server_stderr(p);
    }
    server_proc p = tool_spawn(dir, {HALVEX_SINK_BIN, "--help"});
    ASSERT_TRUE(server_wait_exit(p, 5000));
    EXPECT_EQ(p.exit_status, 0);
    EXPECT_EQ(server_stdout(p).rfind("Usage: halvex_mapapi_sink", 0), 0u);
}
