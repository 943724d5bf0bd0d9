// test_relay.cpp -- the whole relay: real binary, its socket, and an HTTPS map stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "outbox/point_queue.h"
#include "outbox/sender.h"
#include "service.h"

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

static const int POST_WAIT_MS = WAIT_MS;
// The service's pause after a wake-up, and its interval when none is configured.
static const long COLLECT_MS = SENDER_COLLECT_PAUSE_USEC / 1000;
static const long DEFAULT_INTERVAL_MS = POINT_QUEUE_DEFAULT_INTERVAL_USEC / 1000;

// How early a post may seem: the service's wake-ups come from CLOCK_MONOTONIC_COARSE, up to a
// tick behind, and times here are whole milliseconds. Lateness has no bound on a loaded
// machine, so upper bounds only tell the pacing wanted from what a mistake would give.
static long early_ms(void) {
    struct timespec res;
    clock_getres(CLOCK_MONOTONIC_COARSE, &res);
    return (long)((res.tv_sec * 1000000000L + res.tv_nsec + 999999) / 1000000) + 1;
}

// The service posting to the stand-in, with one connection open (r.fd).
static void relay_start(service_run &r, const std::string &extra_config = "") {
    service_up(r, extra_config);
    r.fd = unix_connect(r.sock);
    ASSERT_GE(r.fd, 0);
}

static void relay_stop(service_run &r) {
    EXPECT_EQ(service_stop(r), 0);
    map_stub_stop(r.stub);
}

static long ms_between(clock_type::time_point a, clock_type::time_point b) {
    return (long)std::chrono::duration_cast<milliseconds>(b - a).count();
}

// Send one point and return when it was sent.
static clock_type::time_point point_send(service_run &r, const std::string &msg) {
    auto at = clock_type::now();
    EXPECT_EQ(point_exchange(r.fd, msg), "OK\n");
    return at;
}

TEST(Relay, SinglePointAfterIdleIsPostedAboutFiftyMillisecondsLater) {
    service_run r;
    ASSERT_NO_FATAL_FAILURE(relay_start(r));
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
    EXPECT_GE(delay, COLLECT_MS - early_ms());
    EXPECT_LT(delay, DEFAULT_INTERVAL_MS) << "the first post waited for the interval";
    relay_stop(r);
}

// collect_pause_usec sets the pause after a quiet spell, and a reload changes it in place.
TEST(Relay, CollectPauseFollowsTheConfigurationAndAReload) {
    service_run r;
    const std::string fast = "send_interval_usec = 1000\n";
    ASSERT_NO_FATAL_FAILURE(relay_start(r, fast + "collect_pause_usec = 400000\n"));
    auto sent = point_send(r, zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    EXPECT_GE(ms_between(sent, map_stub_posts(r.stub)[0].at), 400 - early_ms());
    r.extra = fast + "collect_pause_usec = 0\n";
    service_configure(r);
    kill(r.server.pid, SIGHUP);
    ASSERT_TRUE(printed_wait(r.server, "collect_pause_usec changed"));
    sent = point_send(r, zip(2));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    EXPECT_LT(ms_between(sent, map_stub_posts(r.stub)[1].at), 400) << "the pause before it";
    relay_stop(r);
}

TEST(Relay, PointsSentWithinThePauseTravelInOnePostInOrder) {
    service_run r;
    ASSERT_NO_FATAL_FAILURE(relay_start(r));
    for (int i = 1; i <= 10; i++)
        point_send(r, zip(i));
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

// A steady 100 points a second for 10 s: posts start at most once per interval (from the
// second post on, as the first waits for its TLS handshake). After a quiet spell of more than
// an interval, a point still leaves after the collect pause.
TEST(Relay, SteadyLoadPostsOncePerIntervalAndAPointAfterIdleAfterThePause) {
    for (long interval_ms : {1000L, 100L}) {
        service_run r;
        ASSERT_NO_FATAL_FAILURE(
            relay_start(r, "send_interval_usec = " + std::to_string(interval_ms * 1000) + "\n"));
        size_t sent = 0;
        for (auto until = clock_type::now() + std::chrono::seconds(10); clock_type::now() < until;
             std::this_thread::sleep_for(milliseconds(10)))  // the load, not a wait
            point_send(r, zip((int)++sent));
        ASSERT_TRUE(
            wait_until([&] { return map_stub_zipcodes(r.stub).size() == sent; }, POST_WAIT_MS));
        std::vector<received_post> posts = map_stub_posts(r.stub);
        long span = ms_between(posts[1].at, posts.back().at);
        EXPECT_LE((long)posts.size() - 2, span / (interval_ms - early_ms()) + 1) << interval_ms;
        std::this_thread::sleep_for(milliseconds(interval_ms * 3 / 2));  // the quiet spell
        auto at = point_send(r, zip(0));
        ASSERT_EQ(map_stub_wait_posts(r.stub, posts.size() + 1, POST_WAIT_MS), posts.size() + 1);
        long delay = ms_between(at, map_stub_posts(r.stub).back().at);
        EXPECT_GE(delay, COLLECT_MS - early_ms()) << interval_ms;
        EXPECT_LT(delay, DEFAULT_INTERVAL_MS) << "waited for the interval after a quiet spell";
        relay_stop(r);
    }
}

// The interval in use, seen as the spacing of two posts: a value with trailing text keeps its
// number; zero, no digits or too large a value fall back to one second. Each case also names
// the spacing that misreading it would give.
TEST(Relay, IntervalInUseFollowsTheConfiguredValue) {
    struct {
        const char *value;
        long want_ms, misread_ms;
    } cases[] = {{"250000xyz", 250, DEFAULT_INTERVAL_MS},
                 {"0", 1000, COLLECT_MS},
                 {"abc", 1000, COLLECT_MS},
                 {"900000001", 1000, 900000}};
    for (const auto &c : cases) {
        service_run r;
        ASSERT_NO_FATAL_FAILURE(
            relay_start(r, std::string("send_interval_usec = ") + c.value + "\n"));
        auto first = point_send(r, zip(1));
        ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u) << c.value;
        point_send(r, zip(2));
        ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u) << c.value;
        long spacing = ms_between(first, map_stub_posts(r.stub)[1].at);
        EXPECT_GE(spacing, c.want_ms - early_ms()) << c.value;
        if (c.misread_ms > c.want_ms) {
            EXPECT_LT(spacing, c.misread_ms - early_ms()) << c.value;
        }
        relay_stop(r);
    }
}

TEST(Relay, NegativeIntervalAlwaysPausesFiftyMilliseconds) {
    service_run r;
    ASSERT_NO_FATAL_FAILURE(relay_start(r, "send_interval_usec = -5\n"));
    point_send(r, zip(1));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, POST_WAIT_MS), 1u);
    auto sent = point_send(r, zip(2));
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, POST_WAIT_MS), 2u);
    long delay = ms_between(sent, map_stub_posts(r.stub)[1].at);
    EXPECT_GE(delay, COLLECT_MS - early_ms());
    EXPECT_LT(delay, DEFAULT_INTERVAL_MS) << "a negative interval read as the default";
    relay_stop(r);
}

// A map service on listen_fd that resets the connection as soon as the request starts arriving.
// Only connections that carried a request count: the start-up probe sends nothing.
static void reset_server_serve(int listen_fd, int connections, std::atomic<int> *served) {
    while (served->load() < connections) {
        int c = accept(listen_fd, NULL, NULL);
        if (c < 0)
            return;
        char buf[512];
        ssize_t got = recv(c, buf, sizeof buf, 0);
        linger l = {1, 0};  // close with a reset, so the sender's next write fails
        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(c);
        if (got > 0)
            served->fetch_add(1);
    }
}

TEST(Relay, MapServiceResettingMidPostDoesNotEndTheService) {
    int port = 0, listen_fd = loopback_listen(&port);
    ASSERT_GE(listen_fd, 0);
    std::atomic<int> served{0};
    std::thread resetter(reset_server_serve, listen_fd, 2, &served);
    scope_exit resetter_end{[&] {
        shutdown(listen_fd, SHUT_RDWR);  // ends a wait in accept
        resetter.join();
        close(listen_fd);
    }};
    std::string dir = tempdir_make(), sock = dir + "/sock";
    // Plain HTTP, so the request body is written straight onto the reset connection.
    file_write(dir + "/halvex_mapapi_server.ini",
               config_basic(sock, "http://127.0.0.1:" + std::to_string(port) + "/",
                            "send_interval_usec = -1\n"));
    server_proc s = server_start(dir);
    scope_exit s_end{[&] {
        server_stop(s);
        tempdir_remove(dir);
    }};
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
    EXPECT_EQ(point_exchange(fd, big), "OK\n") << "the service must outlive the reset";
    close(fd);
    EXPECT_EQ(server_stop(s), 0);
}
