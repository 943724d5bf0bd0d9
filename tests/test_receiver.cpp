// test_receiver.cpp -- the receiver thread through the real service on its real socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

class Receiver : public testing::Test {
protected:
    std::string dir, sock;
    server_proc server;

    void SetUp() override {
        dir = tempdir_make();
        ASSERT_FALSE(dir.empty());
        sock = dir + "/point.sock";
        // Nothing listens on port 1: batches fail quickly and do not matter here.
        file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, "https://127.0.0.1:1"));
    }
    void start(const server_options &opt = server_options()) {
        server = server_start_with(dir, opt);
        ASSERT_TRUE(server_wait_listening(server, sock, WAIT_MS)) << server_stderr(server);
    }
    void TearDown() override {
        server_stop(server);
        // A sanitizer build of the service reports there and may not change its exit status.
        EXPECT_EQ(server_stderr(server).find("Sanitizer"), std::string::npos)
            << server_stderr(server);
        tempdir_remove(dir);
    }
    bool running() { return server.pid > 0 && !server_wait_exit(server, 0); }
    bool stdout_has(const std::string &text) {
        return wait_until([&] { return server_stdout(server).find(text) != std::string::npos; },
                          WAIT_MS);
    }
};

static const std::string POINT_OK = R"({"lat":40.7128,"lng":-74.006})";
static const std::string POINT_BAD = R"({"lat":"x","lng":1})";

TEST_F(Receiver, EachMessageOnAConnectionGetsExactlyOneReply) {
    ASSERT_NO_FATAL_FAILURE(start());
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    // Alternating answers: a duplicated or missing reply would shift every later one.
    for (int i = 0; i < 300; i++) {
        bool good = i % 2 == 0;
        ASSERT_EQ(point_exchange(fd, good ? POINT_OK : POINT_BAD, WAIT_MS),
                  good ? "OK\n" : "FAILED\n")
            << "message " << i;
    }
    close(fd);
}

TEST_F(Receiver, ConcurrentConnectionsAllServed) {
    ASSERT_NO_FATAL_FAILURE(start());
    const int clients = 8, messages = 100;
    std::atomic<int> served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; t++) {
        threads.emplace_back([&] {
            int fd = unix_connect(sock);
            if (fd < 0)
                return;
            for (int i = 0; i < messages; i++)
                if (point_exchange(fd, POINT_OK, WAIT_MS) == "OK\n")
                    served++;
            close(fd);
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(served.load(), clients * messages);
}

TEST_F(Receiver, BadMessagesAnsweredFailedWithTheirLine) {
    ASSERT_NO_FATAL_FAILURE(start());
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(point_exchange(fd, POINT_BAD), "FAILED\n");
    EXPECT_TRUE(stdout_has("Invalid lat/lng.\n"));
    EXPECT_EQ(point_exchange(fd, "not json"), "FAILED\n");
    EXPECT_TRUE(stdout_has("Failed to parse JSON.\n"));
    EXPECT_EQ(point_exchange(fd, "[1,2]"), "FAILED\n");
    EXPECT_TRUE(stdout_has("Point message is not a JSON object.\n"));
    EXPECT_EQ(point_exchange(fd, std::string(1024, '[')), "FAILED\n");
    EXPECT_EQ(point_exchange(fd, POINT_OK), "OK\n") << "the connection stays open";
    close(fd);
}

// Points written back to back arrive as one message: the first counts, and one line says the
// rest was lost. A message longer than a receive is answered once per piece, and says so.
TEST_F(Receiver, TrailingTextAndOverlongMessagesAreNamed) {
    ASSERT_NO_FATAL_FAILURE(start());
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(point_exchange(fd, POINT_OK + " // note\n"), "OK\n");
    EXPECT_EQ(point_exchange(fd, POINT_OK + "\n" + POINT_OK + "\n"), "OK\n");
    EXPECT_TRUE(stdout_has("\nText after the first JSON value of a message was ignored"));
    std::string head = "{\"x\":\"", tail = "\"}";
    ASSERT_TRUE(
        unix_send_all(fd, head + std::string(1529 - head.size() - tail.size(), 'a') + tail));
    EXPECT_EQ(unix_reply_read(fd, WAIT_MS), "FAILED\n");
    EXPECT_EQ(unix_reply_read(fd, WAIT_MS), "FAILED\n");
    EXPECT_TRUE(
        stdout_has("Failed to parse JSON.\nThe message filled the whole 1024-byte receive"));
    EXPECT_EQ(server_stdout_count(server, "was ignored"), 1u) << "a comment loses nothing";
    EXPECT_EQ(server_stdout_count(server, "filled the whole"), 1u) << "its rest did not fill one";
    close(fd);
}

TEST_F(Receiver, ClientClosingBeforeItsReplyHarmsNoOne) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (int i = 0; i < 50; i++) {
        int fd = unix_connect(sock);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(unix_send_all(fd, POINT_OK));
        close(fd);
    }
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(point_exchange(fd, POINT_OK), "OK\n");
    close(fd);
    EXPECT_TRUE(running()) << server_stderr(server);
}

// Everything readable from fd without waiting, appended to out.
static void pipe_drain(int fd, std::string &out) {
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
}

// Standard output is a pipe that nobody reads: the log fills it and then its own buffer, and
// from then on drops lines, while every client is still answered at once.
TEST_F(Receiver, UnreadLogHoldsUpNoReplyAndCountsWhatItDropped) {
    server_options opt;
    opt.stdout_pipe = true;
    ASSERT_NO_FATAL_FAILURE(start(opt));
    int fd = unix_connect(sock);
    ASSERT_GE(fd, 0);
    // A pipe holds about 3000 of these lines, the log about 1000 more.
    for (int i = 0; i < 6000; i++)
        ASSERT_EQ(point_exchange(fd, "not json", WAIT_MS), "FAILED\n") << "message " << i;
    fcntl(server.out_pipe, F_SETFL, O_NONBLOCK);
    std::string out;
    EXPECT_TRUE(wait_until(
        [&] {
            pipe_drain(server.out_pipe, out);
            return out.find(" log lines dropped") != std::string::npos;
        },
        WAIT_MS))
        << out.substr(0, 200);
    // Once it is read, the log carries every line again, after the count.
    EXPECT_EQ(point_exchange(fd, POINT_BAD), "FAILED\n");
    EXPECT_TRUE(wait_until(
        [&] {
            pipe_drain(server.out_pipe, out);
            return out.find("Invalid lat/lng.\n", out.find(" log lines dropped")) !=
                   std::string::npos;
        },
        WAIT_MS));
    close(fd);
}

TEST_F(Receiver, ServesDescriptorsBeyond1024) {
    const int conns = 1100;
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t want = 4096;  // room for our end and the service's end of every connection
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < want)
        GTEST_SKIP() << "descriptor limit cannot be raised to " << want;
    lim.rlim_cur = want;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);  // the service inherits it
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<int> fds;
    for (int i = 0; i < conns; i++) {
        int fd = unix_connect(sock);
        ASSERT_GE(fd, 0) << "connection " << i;
        fds.push_back(fd);
    }
    EXPECT_EQ(point_exchange(fds.back(), POINT_OK, WAIT_MS), "OK\n");
    EXPECT_GT(fd_count(server.pid), 1024);
    int served = 0;
    for (int fd : fds)
        served += point_exchange(fd, POINT_OK, WAIT_MS) == "OK\n";
    EXPECT_EQ(served, conns);
    for (int fd : fds)
        close(fd);
}
