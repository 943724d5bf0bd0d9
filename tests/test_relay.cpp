// test_relay.cpp -- the whole relay: real binary, its socket, and an HTTPS map stand-in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "harness.h"

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

// Timing tolerances: wide enough for a loaded machine or a sanitizer build.
static const int LATE_MS = 600;  // how late a post may be past its due time
static const int POST_WAIT_MS = 10000;

struct relay {
    std::string dir;
    std::string sock;
    map_stub stub;
    server_proc server;
    int fd = -1;
};

static void relay_start(relay &r, const std::string &extra_config = "") {
    r.dir = tempdir_make();
    r.sock = r.dir + "/sock";
    map_stub_start(r.stub);
    file_write(r.dir + "/halvex_mapapi_server.ini",
               config_basic(r.sock, map_stub_url(r.stub, "/points"), extra_config));
    r.server = server_start(r.dir);
    ASSERT_TRUE(server_wait_listening(r.server, r.sock, 5000)) << server_stderr(r.server);
    r.fd = unix_connect(r.sock);
    ASSERT_GE(r.fd, 0);
}

static void relay_stop(relay &r) {
    if (r.fd >= 0)
        close(r.fd);
    EXPECT_EQ(server_stop(r.server), 0);
    map_stub_stop(r.stub);
    tempdir_remove(r.dir);
}

static std::string point_zip(int code) {
    return "{\"zipcode\":" + std::to_string(code) + "}";
}

static long ms_between(clock_type::time_point a, clock_type::time_point b) {
    return (long)std::chrono::duration_cast<milliseconds>(b - a).count();
}

// Send one point and return when it was sent.
static clock_type::time_point point_send(relay &r, const std::string &msg) {
    auto at = clock_type::now();
    EXPECT_EQ(point_exchange(r.fd, msg), "OK\n");
    return at;
}

TEST(Relay, SinglePointAfterIdleIsPostedAboutFiftyMillisecondsLater) {
    relay r;
    relay_start(r);
    auto sent = point_send(r, "{\"lat\":40.7128,\"lng\":-74.006}");
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    received_post post = map_stub_posts(r.stub)[0];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.path, "/points");
    EXPECT_EQ(post.content_type, "application/json");
    EXPECT_EQ(post.body,
              "{\"mapId\":\"testmap1\",\"key\":\"testkey123456789\",\"points\":"
              "[{\"lat\":40.712799,\"lng\":-74.005997}]}");
    long delay = ms_between(sent, post.at);
    EXPECT_GE(delay, 40);  // the coarse clock may round a few milliseconds off
    EXPECT_LT(delay, 50 + LATE_MS);
    relay_stop(r);
}

TEST(Relay, PointsSentWithinThePauseTravelInOnePostInOrder) {
    relay r;
    relay_start(r);
    for (int i = 1; i <= 10; i++)
        point_send(r, point_zip(i));
    ASSERT_GE(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    // All ten arrive, in order, however the machine's load split them.
    std::string all;
    ASSERT_TRUE(wait_until(
        [&] {
            all.clear();
            for (auto &p : map_stub_posts(r.stub))
                all += p.body;
            return all.find("{\"zipcode\":\"00010\"}") != std::string::npos;
        },
        POST_WAIT_MS));
    size_t at = 0;
    for (int i = 1; i <= 10; i++) {
        char want[32];
        snprintf(want, sizeof want, "{\"zipcode\":\"%05d\"}", i);
        size_t found = all.find(want, at);
        ASSERT_NE(found, std::string::npos) << "point " << i << " missing or out of order";
        at = found;
    }
    // Ten round trips take a few milliseconds: they fit the first post's 50 ms pause.
    EXPECT_NE(map_stub_posts(r.stub)[0].body.find("{\"zipcode\":\"00010\"}"), std::string::npos)
        << "the ten points were split: " << all;
    relay_stop(r);
}

TEST(Relay, SecondPointWaitsForTheIntervalSinceTheFirstWakeUp) {
    relay r;
    relay_start(r, "send_interval_usec = 1000000\n");
    auto first = point_send(r, point_zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    std::this_thread::sleep_for(milliseconds(200));  // the scenario: a point 0.2 s later
    point_send(r, point_zip(2));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    long second = ms_between(first, map_stub_posts(r.stub)[1].at);
    EXPECT_GE(second, 1000 - 10);
    EXPECT_LT(second, 1000 + LATE_MS);
    relay_stop(r);
}

TEST(Relay, NegativeIntervalAlwaysPausesFiftyMilliseconds) {
    relay r;
    relay_start(r, "send_interval_usec = -5\n");
    point_send(r, point_zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    auto sent = point_send(r, point_zip(2));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    long delay = ms_between(sent, map_stub_posts(r.stub)[1].at);
    EXPECT_GE(delay, 40);
    EXPECT_LT(delay, 50 + LATE_MS);
    relay_stop(r);
}

TEST(Relay, RefusedBatchesDoNotStopLaterOnes) {
    relay r;
    relay_start(r, "send_interval_usec = -1\n");
    map_stub_reply(r.stub, 200, "false");
    point_send(r, point_zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    map_stub_reply(r.stub, 500, "internal error");
    point_send(r, point_zip(2));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    map_stub_reply(r.stub, 200, "true");
    point_send(r, point_zip(3));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 3, POST_WAIT_MS), 3u);
    // The refused batch is not retried; the failed one is, ahead of the newer point.
    auto posts = map_stub_posts(r.stub);
    EXPECT_NE(posts[2].body.find("\"points\":[{\"zipcode\":\"00002\"},{\"zipcode\":\"00003\"}]"),
              std::string::npos);
    relay_stop(r);
}

TEST(Relay, StalledMapServiceDoesNotSlowRepliesAndLaterPointsArrive) {
    relay r;
    relay_start(r, "send_interval_usec = -1\n");
    map_stub_reply(r.stub, 200, "true", 1500);  // each post takes 1.5 s to answer
    point_send(r, point_zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    // While that post hangs, clients are still answered at once.
    for (int i = 2; i <= 21; i++) {
        auto sent = point_send(r, point_zip(i));
        EXPECT_LT(ms_between(sent, clock_type::now()), 500) << "reply " << i << " was held up";
    }
    map_stub_reply(r.stub, 200, "true", 0);
    // The points sent during the stall form the next batch, in order.
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    std::string body = map_stub_posts(r.stub)[1].body;
    EXPECT_NE(body.find("\"00002\""), std::string::npos);
    EXPECT_LT(body.find("\"00002\""), body.find("\"00021\""));
    relay_stop(r);
}

TEST(Relay, UnreachableEndpointDoesNotSlowReplies) {
    std::string dir = tempdir_make(), sock = dir + "/sock";
    // Port 1 on loopback: connections are refused at once.
    file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, "https://127.0.0.1:1/"));
    server_proc s = server_start(dir);
    ASSERT_TRUE(server_wait_listening(s, sock, 5000));
    int fd = unix_connect(sock);
    for (int i = 0; i < 50; i++) {
        auto sent = clock_type::now();
        ASSERT_EQ(point_exchange(fd, point_zip(i)), "OK\n");
        EXPECT_LT(ms_between(sent, clock_type::now()), 500);
    }
    close(fd);
    EXPECT_EQ(server_stop(s), 0);
    tempdir_remove(dir);
}

// A map service that resets the connection as soon as the request starts arriving.
static int reset_server_start(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr *)&addr, &len) != 0)
        return -1;
    *port = ntohs(addr.sin_port);
    return fd;
}

static void reset_server_serve(int listen_fd, int connections, std::atomic<int> *served) {
    for (int i = 0; i < connections; i++) {
        int c = accept(listen_fd, NULL, NULL);
        if (c < 0)
            return;
        char buf[512];
        if (recv(c, buf, sizeof buf, 0) < 0) {
            // the peer went first; the reset below is all that matters
        }
        linger l = {1, 0};  // close with a reset, so the sender's next write fails
        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(c);
        served->fetch_add(1);
    }
}

TEST(Relay, MapServiceResettingMidPostDoesNotEndTheService) {
    int port = 0, listen_fd = reset_server_start(&port);
    ASSERT_GE(listen_fd, 0);
    std::atomic<int> served{0};
    std::thread resetter(reset_server_serve, listen_fd, 2, &served);
    std::string dir = tempdir_make(), sock = dir + "/sock";
    // Plain HTTP, so the request body is written straight onto the reset connection.
    file_write(dir + "/halvex_mapapi_server.ini",
               config_basic(sock, "http://127.0.0.1:" + std::to_string(port) + "/",
                            "send_interval_usec = -1\n"));
    server_proc s = server_start(dir);
    ASSERT_TRUE(server_wait_listening(s, sock, 5000));
    std::string status = file_read("/proc/" + std::to_string(s.pid) + "/status");
    size_t at = status.find("SigIgn:");
    ASSERT_NE(at, std::string::npos);
    unsigned long long ignored = strtoull(status.c_str() + at + 7, NULL, 16);
    EXPECT_TRUE(ignored & (1ULL << (SIGPIPE - 1))) << "a write to a closed peer would kill it";
    int fd = unix_connect(sock);
    std::string big = "{\"lat\":1,\"lng\":2,\"r\":7,\"c\":\"#123456\",\"c2\":\"#654321\"}";
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(point_exchange(fd, big), "OK\n");
        EXPECT_TRUE(wait_until([&] { return served.load() > round; }, POST_WAIT_MS));
    }
    resetter.join();
    EXPECT_EQ(point_exchange(fd, big), "OK\n") << "the service must outlive the reset";
    close(fd);
    EXPECT_EQ(server_stop(s), 0);
    close(listen_fd);
    tempdir_remove(dir);
}
