// test_metrics.cpp -- the metrics endpoint: its address, the numbers it shows, its health
// verdict, and scrapers that must not hold up clients or posts.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include "metrics.h"
#include "service.h"

static const char POINT[] = "{\"lat\":1.5,\"lng\":2.5}";
static const char FAILED_POSTS[] = "halvex_mapapi_posts_total{outcome=\"failed\"}";

// The service posting to a stand-in, with its metrics on a free loopback port; a clean stop.
struct metrics_run : service_run {
    int port = loopback_port_free();
    ~metrics_run() { EXPECT_EQ(service_stop(*this), 0); }
};

// Few descriptors to spare (128), so that an endpoint holding many would starve clients.
static void run_start(metrics_run &r, const std::string &extra, std::string ip = "127.0.0.1") {
    server_options opt;
    opt.fd_limit = 128;
    service_up(r, "metrics_listen = " + ip + ":" + std::to_string(r.port) + "\n" + extra, false,
               opt);
}

// Status and body of GET path, or -1 and "" when no answer came.
static std::pair<int, std::string> http_get(const metrics_run &r, const char *path) {
    httplib::Client c("127.0.0.1", r.port);
    c.set_read_timeout(5);
    auto res = c.Get(path);
    return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
}

// The value of the sample named name (labels included) in a scrape, or -1.
static double sample(const std::string &scrape, const std::string &name) {
    size_t at = scrape.find("\n" + name + " ");
    return at == std::string::npos ? -1 : strtod(scrape.c_str() + at + name.size() + 2, NULL);
}

// Send msg n times on one connection; how many replies were reply.
static long points_send(const metrics_run &r, const char *msg, int n, const char *reply) {
    return replies_count(r.sock, msg, n, reply);
}

static bool post_failed_wait(const metrics_run &r) {
    return wait_until([&] { return sample(http_get(r, "/metrics").second, FAILED_POSTS) >= 1; },
                      WAIT_MS);
}

TEST(MetricsUnit, HealthFailsAfterThirtySecondsOfFailingPostsWhileRefusingOrRefused) {
    char body[METRICS_HEALTH_BODY_MAX];
    const int64_t limit = METRICS_HEALTH_FAILING_USEC, now = 10 * limit;
    health_facts f = {now, now - limit + 1, 5, NULL, 0, 0, 10, NULL, 0, 0};
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 200);
    f.failing_since_usec = now - limit;
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 503);
    EXPECT_NE(strstr(body, "posting has not worked for 30 s"), nullptr) << body;
    f.held = 0;
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 200);  // idle
    f = {now, 0, 10, "the queue is full", 0, 0, 10, NULL, 0, 0};
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 503);
    EXPECT_NE(strstr(body, "\"reason\":\"the queue is full\""), nullptr) << body;
    f = {now, 0, 0, NULL, METRICS_HEALTH_REFUSED_POSTS - 1, 401, 0, "spool", 7, 1048576};
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 200) << body;
    EXPECT_STREQ(body,
                 "{\"status\":\"ok\",\"queue_points\":0,\"spool_bytes\":7,"
                 "\"spool_limit_bytes\":1048576}\n");
    f.refused_streak++;
    EXPECT_EQ(metrics_health_judge(&f, body, sizeof body), 503);
    EXPECT_NE(strstr(body, "the map service refused the last 3 posts (HTTP status 401)"), nullptr)
        << body;
}

TEST(Metrics, BadAddressOrTakenPortEndsStartUpWithOneLine) {
    metrics_run r;
    run_start(r, "");
    std::string taken = "127.0.0.1:" + std::to_string(r.port);
    for (std::string value :
         {"localhost:80", "127.0.0.1:65536", "[::1]:80", "1.2.3.4:8x", taken.c_str()}) {
        std::string dir = tempdir_make();
        file_write(dir + "/halvex_mapapi_server.ini",
                   config_basic(dir + "/sock", "", "metrics_listen = " + value + "\n"));
        server_proc s = server_start(dir);
        EXPECT_TRUE(server_wait_exit(s, WAIT_MS));
        EXPECT_EQ(s.exit_status, 1);
        const char *why = value == taken ? "Address already in use" : "ADDRESS:PORT";
        // The line naming the key, and for a value that does not parse, where it was written.
        size_t lines = value == taken ? 1 : 2;
        EXPECT_EQ(server_stdout_count(s, "metrics_listen"), lines) << server_stdout(s);
        EXPECT_EQ(server_stdout_count(s, why), 1u) << server_stdout(s);
        tempdir_remove(dir);
    }
}

// Accepted, rejected, a refused batch, a failed post: the scrape shows what the counters line
// says, the histogram holds every post, and promtool finds nothing wrong.
TEST(Metrics, KnownRunShowsTheCountersLineAndPassesPromtool) {
    metrics_run r;
    run_start(r, "send_interval_usec = 100000\n");
    EXPECT_EQ(points_send(r, POINT, 3, "OK\n") + points_send(r, "nonsense", 2, "FAILED\n"), 5);
    ASSERT_EQ(map_stub_wait_posts(r.stub, 1, WAIT_MS), 1u);
    map_stub_reply(r.stub, 400, "false");
    EXPECT_EQ(points_send(r, POINT, 2, "OK\n"), 2);
    ASSERT_EQ(map_stub_wait_posts(r.stub, 2, WAIT_MS), 2u);
    int stub_port = r.stub.port;
    map_stub_stop(r.stub);
    EXPECT_EQ(points_send(r, POINT, 1, "OK\n"), 1);
    ASSERT_TRUE(post_failed_wait(r));
    map_stub_reply(r.stub, 200, "true");
    ASSERT_TRUE(map_stub_start_on_port(r.stub, stub_port));
    int client = unix_connect(r.sock);  // held open: one client
    std::string m;
    ASSERT_TRUE(wait_until(
        [&] {
            return sample(m = http_get(r, "/metrics").second,
                          "halvex_mapapi_points_posted_total") == 4 &&
                   sample(m, "halvex_mapapi_clients") == 1;
        },
        WAIT_MS))
        << m;
    kill(r.server.pid, SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return server_stdout_count(r.server, "Counters:"); }, WAIT_MS));
    std::string out = server_stdout(r.server), line = out.substr(out.find("Counters:"));
    // The line's numbers in order: points received ... held; posts made, failed, refused;
    // possibly duplicated, replayed, damaged.
    const std::string names[] = {"halvex_mapapi_points_received_total",
                                 "halvex_mapapi_points_accepted_total",
                                 "halvex_mapapi_points_rejected_total",
                                 "halvex_mapapi_points_carried_in",
                                 "halvex_mapapi_points_posted_total",
                                 "halvex_mapapi_points_refused_total",
                                 "halvex_mapapi_points_lost_total",
                                 "halvex_mapapi_points_expired_total",
                                 "halvex_mapapi_points_unconfirmed_total",
                                 "halvex_mapapi_points_set_aside",
                                 "halvex_mapapi_queue_points",
                                 "halvex_mapapi_post_duration_seconds_count",
                                 FAILED_POSTS,
                                 "halvex_mapapi_posts_total{outcome=\"refused\"}",
                                 "halvex_mapapi_points_possibly_duplicated_total",
                                 "halvex_mapapi_points_replayed_total",
                                 "halvex_mapapi_points_damaged_total"};
    const char *at = line.c_str();
    for (const std::string &name : names) {
        at += strcspn(at, "0123456789");
        EXPECT_EQ(strtod(at, (char **)&at), sample(m, name)) << name << "\n" << line;
    }
    EXPECT_EQ(sample(m, "halvex_mapapi_points_accepted_total"), 6) << m;
    EXPECT_EQ(sample(m, "halvex_mapapi_posts_total{outcome=\"accepted\"}"), 2) << m;
    EXPECT_NEAR(sample(m, "halvex_mapapi_last_accepted_post_timestamp_seconds"), time(NULL), 60);
    EXPECT_EQ(m.find(SERVICE_MAP_KEY), std::string::npos);
    file_write(r.dir + "/scrape.txt", m);
    std::string lint = r.dir + "/lint", cmd = "promtool check metrics <" + r.dir + "/scrape.txt";
    EXPECT_EQ(system((cmd + " >" + lint + " 2>&1").c_str()), 0) << file_read(lint);
    EXPECT_EQ(file_read(lint), "");
    close(client);
}

// A map service that answers 413 to everything: no post is accepted; the halving learns its
// limit once, so the eight points take at most three halvings and eight refused posts.
TEST(Metrics, PostsAnswered413AreTooLargeAndNeverAccepted) {
    metrics_run r;
    r.stub.reply_status = 413;
    r.stub.reply_body = "too large";
    run_start(r, "");
    EXPECT_EQ(points_send(r, POINT, 8, "OK\n"), 8);
    std::string m, refused = "halvex_mapapi_points_refused_total";
    auto all_refused = [&] { return sample(m = http_get(r, "/metrics").second, refused) == 8; };
    ASSERT_TRUE(wait_until(all_refused, WAIT_MS)) << m;
    EXPECT_EQ(sample(m, "halvex_mapapi_posts_total{outcome=\"accepted\"}"), 0) << m;
    EXPECT_EQ(sample(m, "halvex_mapapi_posts_total{outcome=\"refused\"}"), 8) << m;
    EXPECT_LE(sample(m, "halvex_mapapi_posts_total{outcome=\"too_large\"}"), 3) << m;
}

// A map service refusing every post (a wrong key): /health says so after a short run of them,
// naming the status, and is ok again once a post is accepted.
TEST(Metrics, HealthTurns503WhileTheMapServiceRefusesPostsAnd200OnceOneIsAccepted) {
    metrics_run r;
    r.stub.reply_status = 401;
    r.stub.reply_body = "wrong key";
    run_start(r, "send_interval_usec = 100000\n");
    const std::string refused = "halvex_mapapi_posts_total{outcome=\"refused\"}";
    for (int i = 1; i <= METRICS_HEALTH_REFUSED_POSTS; i++) {
        EXPECT_EQ(http_get(r, "/health").first, 200);
        EXPECT_EQ(points_send(r, POINT, 1, "OK\n"), 1);
        ASSERT_TRUE(wait_until([&] { return sample(http_get(r, "/metrics").second, refused) == i; },
                               WAIT_MS));
    }
    auto health = http_get(r, "/health");
    EXPECT_EQ(health.first, 503);
    EXPECT_NE(health.second.find("the map service refused the last 3 posts (HTTP status 401)"),
              std::string::npos)
        << health.second;
    map_stub_reply(r.stub, 200, "true");
    EXPECT_EQ(points_send(r, POINT, 1, "OK\n"), 1);
    EXPECT_TRUE(wait_until([&] { return http_get(r, "/health").first == 200; }, WAIT_MS));
}

// While posts fail, a queue with room keeps /health at 200; full, 503; the map service back, 200.
TEST(Metrics, HealthTurns503WhileTheMapServiceIsDownAndTheQueueFullsAnd200WhenBack) {
    metrics_run r;
    run_start(r, "send_interval_usec = 100000\nmax_queued_points = 2\n");
    int stub_port = r.stub.port;
    map_stub_stop(r.stub);
    EXPECT_EQ(points_send(r, POINT, 1, "OK\n"), 1);
    ASSERT_TRUE(post_failed_wait(r));
    auto health = http_get(r, "/health");
    EXPECT_EQ(health.first, 200) << health.second;
    EXPECT_EQ(points_send(r, POINT, 1, "OK\n") + points_send(r, POINT, 1, "FAILED\n"), 2);
    health = http_get(r, "/health");
    EXPECT_EQ(health.first, 503);
    EXPECT_NE(health.second.find("the queue is full"), std::string::npos) << health.second;
    EXPECT_EQ(health.second.find(SERVICE_MAP_KEY), std::string::npos);
    ASSERT_TRUE(map_stub_start_on_port(r.stub, stub_port));
    EXPECT_TRUE(
        wait_until([&] { return (health = http_get(r, "/health")).first == 200; }, WAIT_MS));
    EXPECT_EQ(health.second, "{\"status\":\"ok\",\"queue_points\":0,\"queue_limit_points\":2}\n");
}

// A thousand idle connections, a request that never ends and a 100 MB one on the metrics port:
// clients are still answered and points still posted.
TEST(Metrics, HostileScrapersHoldUpNoClientAndNoPost) {
    metrics_run r;
    run_start(r, "send_interval_usec = 100000\n");
    std::vector<int> hostile;
    for (int i = 0; i < 1002; i++) {  // the first two block, each send bounded
        hostile.push_back(socket(AF_INET, SOCK_STREAM | (i < 2 ? 0 : SOCK_NONBLOCK), 0));
        timeval bound{WAIT_MS / 1000, 0};
        setsockopt(hostile.back(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        sockaddr_in a{AF_INET, htons((uint16_t)r.port), {htonl(INADDR_LOOPBACK)}, {}};
        connect(hostile.back(), (sockaddr *)&a, sizeof a);  // done, or waiting in the backlog
    }
    std::string head = "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(100 << 20, 'a');
    send(hostile[0], head.data(), 30, MSG_NOSIGNAL);  // and never ends
    std::thread big([&] { send(hostile[1], head.data(), head.size(), MSG_NOSIGNAL); });
    EXPECT_EQ(points_send(r, POINT, 20, "OK\n"), 20);
    EXPECT_GE(map_stub_wait_posts(r.stub, 1, WAIT_MS), 1u);
    for (int fd : hostile)
        shutdown(fd, SHUT_RDWR);
    big.join();
    for (int fd : hostile)
        close(fd);
}

// Off loopback a warning says so; peers that send one byte of a request, enough to fill every
// worker, waiting place and the backlog, are cut in 250 ms each: /health answers within 5 s.
TEST(Metrics, OffLoopbackItWarnsAndTricklingPeersCannotStarveHealth) {
    metrics_run r;
    run_start(r, "", "0.0.0.0");
    ASSERT_TRUE(wait_until([&] { return http_get(r, "/health").first == 200; }, WAIT_MS));
    // The log writes the warning on its own thread, so it may reach us after the first answer.
    const char warning[] = "is not a loopback address";
    wait_until([&] { return server_stdout_count(r.server, warning) > 0; }, WAIT_MS);
    EXPECT_EQ(server_stdout_count(r.server, warning), 1u);
    std::vector<int> slow(24);
    for (int &fd : slow) {
        sockaddr_in a{AF_INET, htons((uint16_t)r.port), {htonl(INADDR_LOOPBACK)}, {}};
        fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
        send(fd, "G", 1, MSG_NOSIGNAL);
    }
    EXPECT_EQ(http_get(r, "/health").first, 200);
    for (int fd : slow)
        close(fd);
}
