// test_sink.cpp -- the local map sink binary over real HTTPS: answers, output, options,
// certificate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

static httplib::Result post(int port, const std::string &path, const std::string &body) {
    httplib::SSLClient cli("127.0.0.1", port);
    cli.enable_server_certificate_verification(false);
    cli.set_connection_timeout(5);
    cli.set_read_timeout(10);
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
    auto res = post(port, "/", BATCH);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_NE(res->body, "true") << "an error answer must not read as accepted";
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

TEST_F(Sink, RejectsBadCommandLinesWithStatus64) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "x"}, {"--port"}, {"--cert", "c.pem"}, {"--status", "99"}, {"--frobnicate"}};
    for (const auto &extra : bad) {
        std::vector<std::string> args = {HALVEX_SINK_BIN};
        args.insert(args.end(), extra.begin(), extra.end());
        server_proc p = tool_spawn(dir, args);
        ASSERT_TRUE(server_wait_exit(p, 5000));
        EXPECT_EQ(p.exit_status, 64) << extra[0];
        EXPECT_NE(server_stderr(p).find("--help"), std::string::npos);
    }
    server_proc p = tool_spawn(dir, {HALVEX_SINK_BIN, "--help"});
    ASSERT_TRUE(server_wait_exit(p, 5000));
    EXPECT_EQ(p.exit_status, 0);
    EXPECT_EQ(server_stdout(p).rfind("Usage: halvex_mapapi_sink", 0), 0u);
}
