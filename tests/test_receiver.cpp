// test_receiver.cpp -- the receiver thread through the real service on its real socket.
#include <dirent.h>
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

// Bound on any single wait for the service, in milliseconds.
static const int WAIT_MS = 10000;
static const char CLOSED_SLOW_LINE[] = "Closed a client that does not read its replies.\n";

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
    void start() {
        server = server_start(dir);
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

static int fd_count(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

static const std::string POINT_OK = R"({"lat":40.7128,"lng":-74.006})";
static const std::string POINT_BAD = R"({"lat":"x","lng":1})";

TEST_F(Receiver, EachMessageOnAConnectionGetsExactlyOneReply) {
    start();
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
    start();
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
    start();
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

TEST_F(Receiver, ClientClosingBeforeItsReplyHarmsNoOne) {
    start();
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

// Floods the service with whole-receive messages and never reads a reply.
static void flood_unread(int fd, int chunks) {
    timeval limit{WAIT_MS / 1000, 0};  // a send that blocks this long ends the flood
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string chunk = "{}" + std::string(1022, ' ');
    for (int i = 0; i < chunks; i++)
        if (!unix_send_all(fd, chunk))
            return;
}

TEST_F(Receiver, ClientThatNeverReadsIsClosedWhileOthersAreServed) {
    start();
    int slow = unix_connect(sock), fast = unix_connect(sock);
    ASSERT_GE(slow, 0);
    ASSERT_GE(fast, 0);
    std::thread flood(flood_unread, slow, 5000);
    int served = 0;
    while (served < 50 && point_exchange(fast, POINT_OK, WAIT_MS) == "OK\n")
        served++;
    flood.join();
    EXPECT_EQ(served, 50) << "served while the other client floods";
    EXPECT_TRUE(stdout_has(CLOSED_SLOW_LINE));
    EXPECT_EQ(point_exchange(fast, POINT_OK, WAIT_MS), "OK\n");
    EXPECT_TRUE(running());
    close(slow);
    close(fast);
}

TEST_F(Receiver, ClosedConnectionsAreReleased) {
    start();
    int control = unix_connect(sock);
    ASSERT_GE(control, 0);
    ASSERT_EQ(point_exchange(control, POINT_OK), "OK\n");
    int base = fd_count(server.pid);
    ASSERT_GT(base, 0);
    for (int i = 0; i < 200; i++) {
        int fd = unix_connect(sock);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(point_exchange(fd, POINT_OK), "OK\n");
        close(fd);
    }
    EXPECT_TRUE(wait_until([&] { return fd_count(server.pid) <= base; }, WAIT_MS))
        << fd_count(server.pid) << " descriptors open, " << base << " before";
    EXPECT_EQ(point_exchange(control, POINT_OK), "OK\n");
    close(control);
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
    start();
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
