// test_delivery.cpp -- every point answered OK reaches the map service, or the operator is
// told: retries, refusals, the queue bound, stopping on a signal, the counters line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <numeric>
#include <set>

#include "base/stop.h"
#include "service.h"
#include "outbox/delivery.h"

// Bounds on waits; retries back off to several seconds, so arrivals get longer.
static const int ARRIVE_MS = 40000;
static const char FAILING[] = "Posting to the map service fails";
static const char RECOVERED[] = "Posting to the map service works again";
static const char REFUSED[] = "The map service refused";

// The service posting to the stand-in; when down, nothing listens on the stand-in's port
// until map_back().
static void delivery_start(service_run &d, const std::string &extra, bool down = false,
                           const server_options &opt = server_options()) {
    service_up(d, extra, down, opt);
}

// Wait until text has been printed, and say whether it was printed exactly times times.
static bool printed(service_run &d, const std::string &text, size_t times = 1) {
    return printed_exactly(d.server, text, times, ARRIVE_MS);
}

// Codes [first, first + n) on a new connection: how many were answered OK.
static long points_send(const service_run &d, long first, long n) {
    return (long)points_send(d.sock, first, n).size();
}

static bool arrived(service_run &d, size_t n) {
    return wait_until([&] { return map_stub_zipcodes(d.stub).size() >= n; }, ARRIVE_MS);
}

TEST(Delivery, SinkDownThreeSecondsMidStreamLosesNothing) {
    service_run d;
    delivery_start(d, "send_interval_usec = 100000\n");
    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0};      // points answered OK, on every connection
    std::vector<std::set<long>> ok(4);  // per connection; codes of connection t are t millions
    std::vector<std::thread> clients;
    scope_exit clients_end{[&] {
        stop = true;
        for (auto &t : clients)
            if (t.joinable())
                t.join();
    }};
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([&, t] {
            int fd = unix_connect(d.sock);
            for (long c = (t + 1) * 1000000L; !stop; c++) {
                if (point_exchange(fd, zip(c)) == "OK\n") {
                    ok[t].insert(c);
                    accepted++;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a steady stream
            }
            close(fd);
        });
    }
    ASSERT_TRUE(wait_until([&] { return accepted >= 400; }, WAIT_MS)) << accepted << " accepted";
    int port = d.stub.port;
    map_stub_stop(d.stub);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the scenario: 3 s without it
    ASSERT_TRUE(map_stub_start_on_port(d.stub, port)) << "port taken meanwhile";
    long back = accepted;
    ASSERT_TRUE(wait_until([&] { return accepted >= back + 400; }, WAIT_MS))
        << accepted - back << " accepted since it came back";
    stop = true;
    for (auto &t : clients)
        t.join();
    size_t answered_ok = 0;
    for (auto &s : ok)
        answered_ok += s.size();
    EXPECT_TRUE(arrived(d, answered_ok))
        << map_stub_zipcodes(d.stub).size() << " arrived of " << answered_ok << " answered OK";
    std::set<long> seen;
    std::map<long, long> last;  // per connection
    for (long c : map_stub_zipcodes(d.stub)) {
        EXPECT_TRUE(seen.insert(c).second) << c << " arrived twice";
        EXPECT_LT(last[c / 1000000], c) << c << " out of order";
        last[c / 1000000] = c;
    }
    for (auto &s : ok)
        EXPECT_TRUE(std::includes(seen.begin(), seen.end(), s.begin(), s.end()))
            << "a point answered OK never arrived";
    service_stop(d);
}

TEST(Delivery, HeldPointsArriveOnceTheMapServiceRecovers) {
    service_run d;
    d.stub.reply_status = 503;
    d.stub.reply_body = "busy";
    delivery_start(d, "");
    EXPECT_EQ(points_send(d, 1, 5), 5);
    ASSERT_GE(map_stub_wait_posts(d.stub, 2, WAIT_MS), 2u);  // tried, and tried again
    map_stub_reply(d.stub, 200, "true");
    EXPECT_TRUE(printed(d, RECOVERED));
    std::vector<long> codes = map_stub_zipcodes(d.stub);  // the last post held all five
    EXPECT_EQ(std::vector<long>(codes.end() - 5, codes.end()), (std::vector<long>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(printed(d, FAILING)) << server_stdout(d.server);
    service_stop(d);
}

// Not retried, one line per 10 s; an answer that repeats the request shows the key masked.
TEST(Delivery, RefusedBatchesAreReportedOnceAndNotRetried) {
    for (int status : {401, 200}) {
        service_run d;
        d.stub.custom = [status](const std::string &, const std::string &body) {
            return std::make_pair(status, status == 200 ? std::string("false") : body);
        };
        delivery_start(d, "");
        EXPECT_EQ(points_send(d, 1, 3), 3);
        EXPECT_TRUE(printed(d, REFUSED));
        EXPECT_EQ(points_send(d, 4, 1), 1);  // a later batch, refused too
        EXPECT_TRUE(arrived(d, 4));
        EXPECT_EQ(map_stub_zipcodes(d.stub), (std::vector<long>{1, 2, 3, 4}));
        EXPECT_TRUE(printed(d, status == 200 ? "HTTP status 200" : "HTTP status 401"));
        server_stop(d.server);  // within 10 s of the first line: the stop prints the second
        std::string out = server_stdout(d.server);
        EXPECT_EQ(server_stdout_count(d.server, REFUSED), 2u) << out;
        EXPECT_LT(out.find("refused 1 batch since the last such line (not sent again); latest: 1 "
                           "point,"),
                  out.find("Stopped:"))
            << out;
        service_stop(d);
    }
}

TEST(Delivery, BoundedQueueAnswersFailedBeyondItAndKeepsWhatItHolds) {
    service_run d;
    delivery_start(d, "max_queued_points = 1000\n", true);
    EXPECT_EQ(points_send(d, 1, 1002), 1000);
    EXPECT_TRUE(printed(d, "The point queue is full"));
    ASSERT_TRUE(printed(d, FAILING));  // held after a failed post, not merely not yet posted
    ASSERT_TRUE(map_back(d));
    ASSERT_TRUE(arrived(d, 1000));
    std::vector<long> want(1000);
    std::iota(want.begin(), want.end(), 1);
    EXPECT_EQ(map_stub_zipcodes(d.stub), want);
    EXPECT_TRUE(printed(d, "The point queue has room again."));
    service_stop(d);
}

static long ms(std::chrono::steady_clock::duration d) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// 10000 points queued behind a long interval, then a stop. With the stand-in up (taking 1 s to
// answer, so the socket file can be seen gone mid-drain) all arrive; with it down, the stop
// keeps its 5 s deadline and counts them lost. The deadline is checked with room for the
// signal's delivery and the process's end on a loaded machine: 2 s, and what a process's start
// and end cost in this build, measured beside it.
TEST(Delivery, SigintAndSigtermPostWhatIsQueuedAndExitZeroInTime) {
    for (int sig : {SIGINT, SIGTERM, 0}) {
        service_run d;
        delivery_start(d, "send_interval_usec = 60000000\n", sig == 0);
        map_stub_reply(d.stub, 200, "true", 1000);
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; t++)
            clients.emplace_back([&, t] { EXPECT_EQ(points_send(d, t * 2500 + 1, 2500), 2500); });
        for (auto &t : clients)
            t.join();
        auto allowed = std::chrono::microseconds(STOP_DEADLINE_USEC) + std::chrono::seconds(2) +
                       std::chrono::milliseconds(server_failed_start_ms());
        size_t before = map_stub_posts(d.stub).size();
        auto signalled = std::chrono::steady_clock::now();
        kill(d.server.pid, sig ? sig : SIGTERM);
        EXPECT_TRUE(sig == 0 || map_stub_wait_posts(d.stub, before + 1, WAIT_MS) > before);
        EXPECT_TRUE(wait_until([&] { return access(d.sock.c_str(), F_OK) != 0; }, WAIT_MS));
        EXPECT_TRUE(server_wait_exit(d.server, WAIT_MS));
        auto took = std::chrono::steady_clock::now() - signalled;
        EXPECT_LT(took, allowed) << ms(took) << " ms from the signal to the end, " << ms(allowed)
                                 << " ms allowed";
        EXPECT_EQ(d.server.exit_status, 0);
        std::vector<long> posted = map_stub_zipcodes(d.stub), want(sig ? 10000 : 0);
        std::sort(posted.begin(), posted.end());
        std::iota(want.begin(), want.end(), 1);
        EXPECT_EQ(posted, want);
        EXPECT_TRUE(
            printed(d, sig ? " 0 lost, 0 unconfirmed."
                           : "Stopped: 0 points posted while stopping, 10000 lost, 0 unconfirmed."))
            << server_stdout(d.server);
        service_stop(d);
    }
}

// A map service that answers only after the stop's 5 s: the post in flight is cut at the
// deadline. Its batch went out and may have been taken, so it is unconfirmed; the points held
// behind it never went and are lost.
TEST(Delivery, PostInFlightAtAStopIsCutAndItsBatchCountedUnconfirmed) {
    service_run d;
    delivery_start(d, "send_interval_usec = 100000\n");
    map_stub_reply(d.stub, 200, "true", 8000);
    EXPECT_EQ(points_send(d, 1, 3), 3);
    ASSERT_EQ(map_stub_wait_posts(d.stub, 1, WAIT_MS), 1u);
    // The post in flight carries the three points, or fewer where the machine was slow to
    // send them within the collect pause; the rest wait in the queue.
    std::string doubt = std::to_string(map_stub_zipcodes(d.stub).size());
    std::string lost = std::to_string(5 - map_stub_zipcodes(d.stub).size());
    EXPECT_EQ(points_send(d, 4, 2), 2);
    auto signalled = std::chrono::steady_clock::now();
    kill(d.server.pid, SIGTERM);
    EXPECT_TRUE(server_wait_exit(d.server, WAIT_MS));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(6));
    EXPECT_EQ(d.server.exit_status, 0);
    EXPECT_TRUE(printed(d, "Stopped: 0 points posted while stopping, " + lost + " lost, " + doubt +
                               " unconfirmed.\n"));
    EXPECT_TRUE(printed(d, "accepted 5, rejected 0, carried in 0, posted 0, refused 0, lost " +
                               lost + ", expired 0, unconfirmed " + doubt +
                               ", set aside 0, held 0; posts made 1, failed in transit 1,"))
        << server_stdout(d.server);
    service_stop(d);
}

// A gateway's 504 after the whole body went out: the map service may have the batch, so a
// stop before a later post settles it counts the point unconfirmed, not lost.
TEST(Delivery, PointAnswered504ByAGatewayIsUnconfirmedAtAStop) {
    service_run d;
    d.stub.reply_status = 504;
    delivery_start(d, "send_interval_usec = 5000000\n");
    EXPECT_EQ(points_send(d, 1, 1), 1);
    ASSERT_TRUE(printed(d, FAILING));
    kill(d.server.pid, SIGTERM);
    EXPECT_TRUE(printed(d, "Stopped: 0 points posted while stopping, 0 lost, 1 unconfirmed."))
        << server_stdout(d.server);
    service_stop(d);
}

// A connection cut after the map service read a whole post on it: the post fails in transit,
// in doubt, and goes again through the counted retry, not silently on a new connection.
TEST(Delivery, PostCutUnansweredOnAKeptConnectionIsRetriedAndCountedPossiblyDuplicated) {
    service_run d;
    d.stub.unanswered_post = 2;
    delivery_start(d, "send_interval_usec = 100000\n");
    for (long code = 1; code <= 2; code++) {
        EXPECT_EQ(points_send(d, code, 1), 1);
        ASSERT_GE(map_stub_wait_posts(d.stub, code, WAIT_MS), (size_t)code);
    }
    EXPECT_TRUE(printed(d, RECOVERED));
    server_stop(d.server);
    EXPECT_EQ(map_stub_posts(d.stub)[0].client_port, map_stub_posts(d.stub)[1].client_port);
    EXPECT_EQ(map_stub_zipcodes(d.stub), (std::vector<long>{1, 2, 2}));
    EXPECT_TRUE(printed(d,
                        "lost 0, expired 0, unconfirmed 0, set aside 0, held 0; posts made 3, "
                        "failed in transit 1, refused 0; points possibly duplicated 1, replayed "
                        "0, damaged 0.\n"))
        << server_stdout(d.server);
    service_stop(d);
}

// A redirect to a host that takes the connection and never answers: no byte of the batch went
// there, so a stop counts its points lost, not unconfirmed.
TEST(Delivery, PointsRedirectedToAHostThatNeverAnswersAreLostAtAStop) {
    int port = 0, fd = loopback_listen(&port);
    scope_exit fd_end{[fd] { close(fd); }};
    service_run d;
    d.stub.custom = [port](const std::string &, const std::string &) {
        return std::make_pair(307, "https://127.0.0.1:" + std::to_string(port) + "/points");
    };
    delivery_start(d, "");
    EXPECT_EQ(points_send(d, 1, 3), 3);
    ASSERT_EQ(map_stub_wait_posts(d.stub, 1, WAIT_MS), 1u);
    kill(d.server.pid, SIGTERM);
    EXPECT_TRUE(printed(d, "Stopped: 0 points posted while stopping, 3 lost, 0 unconfirmed."))
        << server_stdout(d.server);
    service_stop(d);
}

// Behind a proxy that closes connections idle for 200 ms, posts 250 ms apart: the one that
// meets the close goes again at once on a new connection (no backoff: 1 s), in doubt; later
// posts do not reuse a connection idle that long, so none fails again.
TEST(Delivery, PeerClosingIdleConnectionsCostsOneFailedPostAndNoWait) {
    service_run d;
    d.stub.idle_close_ms = 200;
    delivery_start(d, "send_interval_usec = 250000\ncollect_pause_usec = 0\n");
    for (long code = 1; code <= 6; code++) {
        EXPECT_EQ(points_send(d, code, 1), 1);
        ASSERT_TRUE(wait_until([&] { return map_stub_zipcodes(d.stub).size() >= (size_t)code; },
                               ARRIVE_MS));
    }
    std::vector<received_post> posts = map_stub_posts(d.stub);
    EXPECT_EQ(map_stub_zipcodes(d.stub), (std::vector<long>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.stub.idle_closes, 1u);
    EXPECT_LT(posts[1].at - posts[0].at, std::chrono::milliseconds(250 + 1000));
    EXPECT_TRUE(printed(d, "retried at once on a new connection."));
    server_stop(d.server);
    EXPECT_TRUE(printed(d,
                        "posts made 7, failed in transit 1, refused 0; points possibly "
                        "duplicated 1,"));
    service_stop(d);
}

// A map service failing in transit while the service stops: retries keep the interval, here
// 400 ms, above the 200 ms floor, from the last failure before the stop through the drain.
TEST(Delivery, StopRetriesAFailingMapServiceNoFasterThanTheInterval) {
    service_run d;
    d.stub.reply_status = 503;
    delivery_start(d, "send_interval_usec = 400000\n");
    EXPECT_EQ(points_send(d, 1, 1), 1);
    ASSERT_EQ(map_stub_wait_posts(d.stub, 1, WAIT_MS), 1u);
    kill(d.server.pid, SIGTERM);
    EXPECT_TRUE(server_wait_exit(d.server, WAIT_MS));
    std::vector<received_post> posts = map_stub_posts(d.stub);
    EXPECT_GE(posts.size(), 3u) << "the drain tried again";
    for (size_t i = 1; i < posts.size(); i++) {
        auto gap = posts[i].at - posts[i - 1].at;
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(gap).count(), 400) << i;
    }
    service_stop(d);
}

static size_t thread_count(pid_t pid) {
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    size_t n = 0;
    for (; dir && readdir(dir); n++) {
    }
    return dir && closedir(dir) == 0 ? n : 0;
}

// Standard output is full when the stop lines are due, and a second SIGTERM comes while they
// wait in the log: it still writes them out whole before it ends the process.
TEST(Delivery, SecondSigtermWritesTheStopLinesWhole) {
    service_run d;
    server_options opt;
    opt.stdout_pipe = true;
    delivery_start(d, "", false, opt);
    fcntl(d.server.out_pipe, F_SETPIPE_SZ, 4096);
    int fd = unix_connect(d.sock);
    for (int i = 0; i < 300; i++)  // a line each: more than the pipe holds
        ASSERT_EQ(point_exchange(fd, "not json"), "FAILED\n");
    size_t threads = thread_count(d.server.pid);
    kill(d.server.pid, SIGTERM);
    // the sender ends with the drain: the stop lines are due
    ASSERT_TRUE(wait_until([&] { return thread_count(d.server.pid) < threads; }, WAIT_MS));
    kill(d.server.pid, SIGTERM);
    std::string out;
    char buf[4096];
    ssize_t n;
    fcntl(d.server.out_pipe, F_SETFL, O_NONBLOCK);
    wait_until(
        [&] {
            while ((n = read(d.server.out_pipe, buf, sizeof buf)) > 0)
                out.append(buf, (size_t)n);
            return n == 0;
        },
        WAIT_MS);
    EXPECT_TRUE(server_wait_exit(d.server, WAIT_MS) && d.server.exit_status == 0);
    EXPECT_NE(
        out.find(
            "Stopped: 0 points posted while stopping, 0 lost, 0 unconfirmed.\nCounters: points "
            "received 300, accepted 0, rejected 300, carried in 0, posted 0, refused 0, lost 0, "
            "expired 0, unconfirmed 0, set aside 0, held 0; posts made 0, failed in transit 0, "
            "refused 0; points possibly duplicated 0, replayed 0, damaged 0.\n"),
        std::string::npos)
        << out.substr(out.size() > 300 ? out.size() - 300 : 0);
    close(fd);
    service_stop(d);
}

TEST(Delivery, Sigusr1PrintsCountersThatAddUp) {
    service_run d;
    delivery_start(d, "max_queued_points = 10x\n");  // invalid: warns, keeps 100000
    EXPECT_TRUE(printed(d, "Invalid value for max_queued_points.  Using default.\n"));
    EXPECT_EQ(points_send(d, 1, 5), 5);
    int fd = unix_connect(d.sock);
    EXPECT_EQ(point_exchange(fd, "[1"), "FAILED\n");
    EXPECT_EQ(point_exchange(fd, "not json"), "FAILED\n");
    close(fd);
    ASSERT_TRUE(arrived(d, 5));
    ASSERT_TRUE(wait_until(
        [&] {
            kill(d.server.pid, SIGUSR1);  // again until the post's answer has been counted
            return wait_until([&] { return server_stdout_count(d.server, "posted 5,"); }, 200);
        },
        WAIT_MS));
    EXPECT_GT(server_stdout_count(d.server,
                                  "Counters: points received 7, accepted 5, rejected 2, carried "
                                  "in 0, posted 5, refused 0, lost 0, expired 0, unconfirmed 0, "
                                  "set aside 0, held 0; posts made 1, failed in transit 0, "
                                  "refused 0; points possibly duplicated 0, replayed 0, damaged "
                                  "0.\n"),
              0u)
        << server_stdout(d.server);
    service_stop(d);
}

static std::vector<long> codes_upto(long n) {
    std::vector<long> codes(n);
    std::iota(codes.begin(), codes.end(), 1);
    return codes;
}

// Queue codes 1..n while the stand-in is down, bring it back, and say whether exactly 1..n
// arrived, in order, in bodies of at most max_body bytes.
static bool backlog_arrives(service_run &d, long n, size_t max_body = SIZE_MAX) {
    EXPECT_EQ(points_send(d, 1, n), n);
    EXPECT_TRUE(printed(d, FAILING));
    EXPECT_TRUE(map_back(d));
    wait_until([&] { return map_stub_zipcodes(d.stub, max_body).size() >= (size_t)n; }, ARRIVE_MS);
    return map_stub_zipcodes(d.stub, max_body) == codes_upto(n);
}

// Twenty posts of one point each: over one connection; one connection per post without
// keep-alive; a new one after every third answer from a stand-in that closes it then.
TEST(Delivery, PostsKeepTheirConnectionUnlessTurnedOffOrClosed) {
    const struct {
        const char *keep_alive;
        size_t answers_per_connection, connections;
    } cases[] = {{"yes", 1000, 1}, {"no", 1000, 20}, {"yes", 3, 7}};
    for (const auto &c : cases) {
        service_run d;
        d.stub.answers_per_connection = c.answers_per_connection;
        delivery_start(d, std::string("send_interval_usec = 100000\nmap_api_keep_alive = ") +
                              c.keep_alive + "\n");
        for (long code = 1; code <= 20; code++) {
            ASSERT_EQ(points_send(d, code, 1), 1);
            ASSERT_EQ(map_stub_wait_posts(d.stub, code, WAIT_MS), (size_t)code);
        }
        std::set<int> ports;
        for (const received_post &p : map_stub_posts(d.stub))
            ports.insert(p.client_port);
        EXPECT_EQ(ports.size(), c.connections) << c.keep_alive << c.answers_per_connection;
        EXPECT_EQ(map_stub_zipcodes(d.stub), codes_upto(20)) << "lost, twice or out of order";
        service_stop(d);
    }
}

// A stand-in that takes bodies of at most limit bytes and answers 413 to larger ones.
static void body_limit_set(service_run &d, size_t limit) {
    d.stub.custom = [limit](const std::string &, const std::string &body) {
        return body.size() > limit ? std::make_pair(413, std::string("too large"))
                                   : std::make_pair(200, std::string("true"));
    };
}

TEST(Delivery, BacklogTooLargeForOnePostArrivesWholeInHalves) {
    service_run d;
    body_limit_set(d, 64 * 1024);
    delivery_start(d, "", true);
    EXPECT_TRUE(backlog_arrives(d, 20000, 64 * 1024));
    EXPECT_EQ(server_stdout_count(d.server, REFUSED), 0u) << server_stdout(d.server);
    service_stop(d);
}

// Posted together, the small points around a large one arrive; the large one alone is refused.
TEST(Delivery, SinglePointTooLargeIsRefusedAndReported) {
    service_run d;
    body_limit_set(d, 100);
    delivery_start(d, "");
    int fd = unix_connect(d.sock);
    for (std::string msg :
         {zip(1), std::string("{\"lat\":1,\"lng\":2,\"c\":\"#ff8800\",\"r\":3}"), zip(2)})
        EXPECT_EQ(point_exchange(fd, msg), "OK\n");
    close(fd);
    EXPECT_TRUE(printed(d, "latest: 1 point, HTTP status 413"));
    server_stop(d.server);
    EXPECT_EQ(map_stub_zipcodes(d.stub, 100), (std::vector<long>{1, 2}));
    EXPECT_TRUE(printed(d,
                        "accepted 3, rejected 0, carried in 0, posted 2, refused 1, lost 0, "
                        "expired 0, unconfirmed 0, set aside 0, held 0;"));
    service_stop(d);
}

// Five posts of 1000, none waiting for the 5 s interval.
TEST(Delivery, MaxPostPointsCutsTheBacklogIntoPostsBackToBack) {
    service_run d;
    delivery_start(d, "max_post_points = 1000\nsend_interval_usec = 5000000\n", true);
    EXPECT_TRUE(backlog_arrives(d, 5000));
    std::vector<received_post> posts = map_stub_posts(d.stub);
    ASSERT_EQ(posts.size(), 5u);
    for (const received_post &p : posts)
        EXPECT_EQ(std::count(p.body.begin(), p.body.end(), '{'), 1001);
    EXPECT_LT(posts.back().at - posts.front().at, std::chrono::seconds(5));
    service_stop(d);
}

TEST(Delivery, RetryAfterHoldsTheNextAttemptBack) {
    service_run d;
    d.stub.reply_status = 429;
    d.stub.reply_headers = {{"Retry-After", "2"}};
    delivery_start(d, "");
    EXPECT_EQ(points_send(d, 1, 1), 1);
    ASSERT_EQ(map_stub_wait_posts(d.stub, 1, WAIT_MS), 1u);
    map_stub_reply(d.stub, 200, "true");
    EXPECT_TRUE(printed(d, "retried in 2 s (the map service asked to wait 2 s)."));
    ASSERT_EQ(map_stub_wait_posts(d.stub, 2, WAIT_MS), 2u);
    std::vector<received_post> posts = map_stub_posts(d.stub);
    EXPECT_GE(posts[1].at - posts[0].at, std::chrono::seconds(2));
    service_stop(d);
}

TEST(DeliveryUnit, RetryWaitDoublesFromOneSecondOrTheIntervalUpToAMinute) {
    int64_t wait = 0;
    for (int64_t want : {1, 2, 4, 8, 16, 32, 60, 60})
        EXPECT_EQ(wait = delivery_backoff_next(wait, 300000), want * 1000000);
    EXPECT_EQ(delivery_backoff_next(0, 5000000), 5000000) << "starts at a longer interval";
    EXPECT_EQ(delivery_backoff_next(60000000, 900000000), 900000000) << "never sooner than it";
}

TEST(DeliveryUnit, NothingLeftToRetryEndsTheBackoff) {
    outbox box;
    outbox_start(&box, queue_store_open(10), POINT_QUEUE_DEFAULT_INTERVAL_USEC);
    delivery_state st = {};
    st.backoff_usec = 8000000;
    st.retry_after_usec = 8000000;
    EXPECT_EQ(delivery_post(&box, &st, 0), DELIVERY_NOTHING);
    EXPECT_EQ(st.backoff_usec, 0) << "the sender would poll at the backoff, not wait for points";
}
