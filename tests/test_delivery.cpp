// test_delivery.cpp -- every point answered OK reaches the map service, or the operator is
// told: retries, refusals, the queue bound, stopping on a signal, the counters line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "harness.h"

using clock_type = std::chrono::steady_clock;

// Bound on one wait; retries back off to several seconds, so arrivals get longer.
static const int WAIT_MS = 10000;
static const int ARRIVE_MS = 40000;
static const char KEY[] = "testkey123456789";  // what config_basic() writes
static const char FAILING_LINE[] = "Posting to the map service fails";
static const char RECOVERED_LINE[] = "Posting to the map service works again";
static const char REFUSED_LINE[] = "The map service refused";

struct delivery {
    std::string dir, sock;
    map_stub stub;
    server_proc server;
};

// The service posting to the stand-in, which is started first unless down (then nothing
// listens on its port until map_stub_start_on_port()).
static void delivery_start(delivery &d, const std::string &extra, bool down = false) {
    map_stub_start(d.stub);
    if (down)
        map_stub_stop(d.stub);
    d.dir = tempdir_make();
    d.sock = d.dir + "/sock";
    file_write(d.dir + "/halvex_mapapi_server.ini",
               config_basic(d.sock, map_stub_url(d.stub, "/points"), extra));
    d.server = server_start(d.dir);
    ASSERT_TRUE(server_wait_listening(d.server, d.sock, WAIT_MS)) << server_stderr(d.server);
}

static void delivery_stop(delivery &d) {
    server_stop(d.server);
    EXPECT_EQ(server_stderr(d.server).find("Sanitizer"), std::string::npos)
        << server_stderr(d.server);
    EXPECT_EQ((server_stdout(d.server) + server_stderr(d.server)).find(KEY), std::string::npos);
    map_stub_stop(d.stub);
    tempdir_remove(d.dir);
}

static std::string zip(long code) {
    return "{\"zipcode\":" + std::to_string(code) + "}";
}

// Send codes [first, first + n) on one new connection; every reply must be OK.
static void points_send(const delivery &d, long first, long n) {
    int fd = unix_connect(d.sock);
    ASSERT_GE(fd, 0);
    for (long c = first; c < first + n; c++)
        ASSERT_EQ(point_exchange(fd, zip(c)), "OK\n") << c;
    close(fd);
}

static bool arrived(delivery &d, size_t n) {
    return wait_until([&] { return map_stub_zipcodes(d.stub).size() >= n; }, ARRIVE_MS);
}

// Each code once, and the codes of one connection (same millions) in increasing order.
static void expect_once_in_order(const std::vector<long> &posted, const std::set<long> &ok) {
    std::set<long> seen;
    std::map<long, long> last;
    for (long c : posted) {
        EXPECT_TRUE(seen.insert(c).second) << c << " arrived twice";
        EXPECT_LT(last[c / 1000000], c) << c << " out of order";
        last[c / 1000000] = c;
    }
    for (long c : ok)
        EXPECT_TRUE(seen.count(c)) << c << " was answered OK and never arrived";
}

TEST(Delivery, SinkDownThreeSecondsMidStreamLosesNothing) {
    delivery d;
    delivery_start(d, "send_interval_usec = 100000\n");
    std::atomic<bool> stop{false};
    std::atomic<long> exchanged{0};
    std::vector<std::set<long>> ok(4);
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([&, t] {
            int fd = unix_connect(d.sock);
            for (long c = (t + 1) * 1000000L; fd >= 0 && !stop; c++, exchanged++) {
                if (point_exchange(fd, zip(c)) == "OK\n")
                    ok[t].insert(c);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a steady stream
            }
            close(fd);
        });
    }
    ASSERT_TRUE(wait_until([&] { return exchanged >= 400; }, WAIT_MS));
    int port = d.stub.port;
    map_stub_stop(d.stub);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the scenario: 3 s without it
    ASSERT_TRUE(map_stub_start_on_port(d.stub, port, WAIT_MS)) << "port taken meanwhile";
    long back_at = exchanged;
    ASSERT_TRUE(wait_until([&] { return exchanged >= back_at + 400; }, WAIT_MS));
    stop = true;
    for (auto &t : clients)
        t.join();
    std::set<long> all;
    for (auto &s : ok)
        all.insert(s.begin(), s.end());
    EXPECT_TRUE(arrived(d, all.size()));
    expect_once_in_order(map_stub_zipcodes(d.stub), all);
    delivery_stop(d);
}

TEST(Delivery, HeldPointsArriveOnceTheMapServiceRecovers) {
    delivery d;
    d.stub.reply_status = 503;
    d.stub.reply_body = "busy";
    delivery_start(d, "");
    points_send(d, 1, 5);
    ASSERT_GE(map_stub_wait_posts(d.stub, 2, WAIT_MS), 2u);  // tried, and retried
    map_stub_reply(d.stub, 200, "true");
    ASSERT_TRUE(
        wait_until([&] { return server_stdout_count(d.server, RECOVERED_LINE) > 0; }, ARRIVE_MS));
    std::vector<received_post> posts = map_stub_posts(d.stub);
    for (long c = 1; c <= 5; c++)
        EXPECT_NE(posts.back().body.find("\"0000" + std::to_string(c)), std::string::npos);
    EXPECT_EQ(server_stdout_count(d.server, FAILING_LINE), 1u) << server_stdout(d.server);
    EXPECT_EQ(server_stdout_count(d.server, RECOVERED_LINE), 1u);
    EXPECT_EQ(server_stdout_count(d.server, "HTTP status 503"), 1u);
    delivery_stop(d);
}

// A refusal is reported, at most one line per 10 s, and not retried; an answer that repeats
// the request shows the map key masked.
TEST(Delivery, RefusedBatchesAreReportedOnceAndNotRetried) {
    const struct {
        int status;
        const char *body;  // nullptr: the request's own body
        const char *shown;
    } cases[] = {{401, nullptr, "HTTP status 401"}, {200, "false", "HTTP status 200"}};
    for (const auto &c : cases) {
        delivery d;
        d.stub.custom = [&c](const std::string &, const std::string &body) {
            return std::make_pair(c.status, std::string(c.body ? c.body : body));
        };
        delivery_start(d, "");
        points_send(d, 1, 3);
        ASSERT_TRUE(
            wait_until([&] { return server_stdout_count(d.server, REFUSED_LINE) > 0; }, WAIT_MS));
        points_send(d, 4, 1);  // a later batch, refused too
        ASSERT_TRUE(arrived(d, 4));
        EXPECT_EQ(map_stub_zipcodes(d.stub), (std::vector<long>{1, 2, 3, 4})) << "retried";
        EXPECT_EQ(server_stdout_count(d.server, REFUSED_LINE), 1u) << server_stdout(d.server);
        EXPECT_EQ(server_stdout_count(d.server, c.shown), 1u) << server_stdout(d.server);
        delivery_stop(d);
    }
}

TEST(Delivery, BoundedQueueAnswersFailedBeyondItAndKeepsWhatItHolds) {
    delivery d;
    delivery_start(d, "max_queued_points = 1000\n", true);
    points_send(d, 1, 1000);
    int fd = unix_connect(d.sock);
    EXPECT_EQ(point_exchange(fd, zip(1001)), "FAILED\n");
    EXPECT_EQ(point_exchange(fd, zip(1002)), "FAILED\n");
    close(fd);
    EXPECT_TRUE(wait_until(
        [&] { return server_stdout_count(d.server, "The point queue is full") == 1; }, WAIT_MS));
    ASSERT_TRUE(
        wait_until([&] { return server_stdout_count(d.server, FAILING_LINE) == 1; }, WAIT_MS));
    ASSERT_TRUE(map_stub_start_on_port(d.stub, d.stub.port, WAIT_MS));
    ASSERT_TRUE(arrived(d, 1000));
    std::vector<long> posted = map_stub_zipcodes(d.stub);
    std::vector<long> want(1000);
    for (long c = 1; c <= 1000; c++)
        want[c - 1] = c;
    EXPECT_EQ(posted, want);
    EXPECT_TRUE(wait_until(
        [&] { return server_stdout_count(d.server, "The point queue has room again.") == 1; },
        WAIT_MS));
    delivery_stop(d);
}

// Queue 10000 points behind a long interval, then stop: the socket file goes at once, the
// queue is posted while the map service takes its time to answer, and the service exits 0.
static void stop_drains_the_queue(int sig) {
    delivery d;
    delivery_start(d, "send_interval_usec = 60000000\n");
    map_stub_reply(d.stub, 200, "true", 1000);
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++)
        clients.emplace_back([&, t] { points_send(d, t * 2500 + 1, 2500); });
    for (auto &t : clients)
        t.join();
    size_t before = map_stub_posts(d.stub).size();
    kill(d.server.pid, sig);
    ASSERT_GE(map_stub_wait_posts(d.stub, before + 1, WAIT_MS), before + 1);
    EXPECT_NE(access(d.sock.c_str(), F_OK), 0) << "socket file still there during the drain";
    EXPECT_TRUE(server_wait_exit(d.server, WAIT_MS));
    EXPECT_EQ(d.server.exit_status, 0);
    std::vector<long> posted = map_stub_zipcodes(d.stub);
    std::sort(posted.begin(), posted.end());
    EXPECT_EQ(posted.size(), 10000u);
    EXPECT_EQ(std::unique(posted.begin(), posted.end()), posted.end());
    EXPECT_EQ(server_stdout_count(d.server, " 0 lost."), 1u) << server_stdout(d.server);
    delivery_stop(d);
}

TEST(Delivery, SigintPostsWhatIsQueuedAndExitsZero) {
    stop_drains_the_queue(SIGINT);
}

TEST(Delivery, SigtermPostsWhatIsQueuedAndExitsZero) {
    stop_drains_the_queue(SIGTERM);
}

TEST(Delivery, StopWithTheMapServiceDownEndsInTimeAndCountsTheLost) {
    delivery d;
    delivery_start(d, "", true);
    points_send(d, 1, 100);
    auto signalled = clock_type::now();
    kill(d.server.pid, SIGTERM);
    ASSERT_TRUE(server_wait_exit(d.server, WAIT_MS));
    // The deadline is 5 s; the rest is room for a loaded machine or a sanitizer build.
    EXPECT_LT(clock_type::now() - signalled, std::chrono::milliseconds(7000));
    EXPECT_EQ(d.server.exit_status, 0);
    EXPECT_EQ(server_stdout_count(d.server, "Stopped: 0 points posted, 100 lost."), 1u)
        << server_stdout(d.server);
    delivery_stop(d);
}

TEST(Delivery, Sigusr1PrintsCountersThatAddUp) {
    delivery d;
    delivery_start(d, "");
    points_send(d, 1, 5);
    int fd = unix_connect(d.sock);
    EXPECT_EQ(point_exchange(fd, "[1"), "FAILED\n");
    EXPECT_EQ(point_exchange(fd, "not json"), "FAILED\n");
    close(fd);
    ASSERT_TRUE(arrived(d, 5));
    std::string line;
    ASSERT_TRUE(wait_until(
        [&] {
            kill(d.server.pid, SIGUSR1);  // again until the post has been counted
            return wait_until(
                [&] {
                    std::string out = server_stdout(d.server);
                    size_t at = out.rfind("Counters:");
                    line = at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
                    return line.find("posted 5,") != std::string::npos;
                },
                200);
        },
        WAIT_MS));
    EXPECT_EQ(line,
              "Counters: points received 7, accepted 5, rejected 2, posted 5, refused 0, lost 0, "
              "queued 0; posts made 1, failed in transit 0, refused 0.");
    delivery_stop(d);
}
