// test_faults.cpp -- the real service under misbehaving clients, descriptor exhaustion, a
// failing, stalling or vanished map service, and SIGINT in the middle of traffic.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/stop.h"
#include "service.h"
#include "intake/listener.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes keep freed memory in quarantine and shadow it: RSS says nothing there.
static const bool RSS_MEANINGFUL = false;
#else
static const bool RSS_MEANINGFUL = true;
#endif

using clock_type = std::chrono::steady_clock;

static const char CLOSED_SLOW_LINE[] = "Closed a client that does not read its replies.\n";
// A map stand-in that stalls holds each post this long; replies go on meanwhile.
static const int STALL_MS = 4000;
// A reply while posts fail at once: no post holds it, so this only bounds the machine's noise.
static const int REPLY_PROMPT_MS = 2500;
// Resident memory the service may gain over a few thousand connections (allocator noise).
static const long RSS_GROWTH_MAX_KIB = 2048;

// The service's folder and configuration, posting to endpoint; not started yet.
static void faulty_prepare(service_run &f, const std::string &endpoint,
                           const std::string &extra = "") {
    f.endpoint = endpoint;
    service_prepare(f, extra);
    service_configure(f);
}

static void faulty_start(service_run &f, const std::string &endpoint,
                         const std::string &extra = "") {
    faulty_prepare(f, endpoint, extra);
    ASSERT_TRUE(service_start(f)) << server_stderr(f.server);
}

// A clean stop: status 0, and no sanitizer report.
static void faulty_stop(service_run &f) {
    EXPECT_EQ(service_stop(f), 0);
}

static bool alive(server_proc &s) {
    return s.pid > 0 && !server_wait_exit(s, 0);
}

static std::string zip_point(int code) {
    return zip(code, "#ff8800");
}

// The zipcode as the batch body writes it.
static std::string zip_posted(int code) {
    char text[32];
    snprintf(text, sizeof text, "{\"zipcode\":\"%05d\"", code);
    return text;
}

static bool stub_has_point(map_stub &m, int code) {
    for (const received_post &p : map_stub_posts(m)) {
        if (p.body.find(zip_posted(code)) != std::string::npos)
            return true;
    }
    return false;
}

static size_t stub_points_total(map_stub &m) {
    size_t n = 0;
    for (const received_post &p : map_stub_posts(m)) {
        for (size_t at = p.body.find("\"zipcode\""); at != std::string::npos;
             at = p.body.find("\"zipcode\"", at + 1))
            n++;
    }
    return n;
}

static long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    }
    return -1;
}

static size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// ---- misbehaving clients ---------------------------------------------------------------

// Clients that go away halfway: mid-message, before the reply, after shutting their writes.
static void vanish_repeatedly(const std::string &sock, int rounds) {
    for (int i = 0; i < rounds; i++) {
        int fd = unix_connect(sock);
        if (fd < 0)
            return;
        switch (i % 3) {
            case 0:
                unix_send_all(fd, "{\"lat\":1,\"l");
                break;
            case 1:
                unix_send_all(fd, zip_point(i));
                break;
            case 2:
                unix_send_all(fd, zip_point(i));
                shutdown(fd, SHUT_WR);
                break;
        }
        close(fd);
    }
}

TEST(Faults, MisbehavingClientsDoNotHoldUpAWellBehavedOne) {
    service_run f;
    ASSERT_NO_FATAL_FAILURE(faulty_start(f, "https://127.0.0.1:1/"));
    int good = unix_connect(f.sock);
    ASSERT_GE(good, 0);
    std::vector<std::thread> bad;
    for (int i = 0; i < 3; i++)
        bad.emplace_back(flood_unread, f.sock);
    bad.emplace_back(vanish_repeatedly, f.sock, 300);
    int served = 0;
    while (served < 200 && point_exchange(good, zip_point(served), WAIT_MS) == "OK\n")
        served++;
    for (auto &t : bad)
        t.join();
    EXPECT_EQ(served, 200);
    EXPECT_TRUE(wait_until(
        [&] { return occurrences(server_stdout(f.server), CLOSED_SLOW_LINE) == 3; }, WAIT_MS))
        << server_stdout(f.server).substr(0, 2000);
    EXPECT_EQ(point_exchange(good, zip_point(1)), "OK\n");
    EXPECT_TRUE(alive(f.server));
    close(good);
    faulty_stop(f);
}

// One connection: connect, exchange a point with a colour (every fourth a bad one), close.
static bool connection_cycle(const std::string &sock, int i) {
    int fd = unix_connect(sock);
    if (fd < 0)
        return false;
    bool good = i % 4 != 3;
    std::string reply = point_exchange(fd, good ? zip_point(i) : "{\"r\":-1,\"c\":\"#000000\"}");
    close(fd);
    return reply == (good ? "OK\n" : "FAILED\n");
}

TEST(Faults, ConnectionFloodLeavesNoDescriptorsOrMemoryBehind) {
    const int warm_up = 1000, flood = 3000;
    map_stub stub;
    map_stub_start(stub);
    service_run f;
    ASSERT_NO_FATAL_FAILURE(
        faulty_start(f, map_stub_url(stub, "/points"), "send_interval_usec = 100000\n"));
    int control = unix_connect(f.sock);  // open throughout, and still served at the end
    ASSERT_EQ(point_exchange(control, zip_point(99999)), "OK\n");
    // Warm up: the allocator, the TLS library and the sender reach their working sizes.
    for (int i = 0; i < warm_up; i++)
        ASSERT_TRUE(connection_cycle(f.sock, i)) << "connection " << i;
    size_t accepted = 1 + warm_up - warm_up / 4;
    ASSERT_TRUE(wait_until([&] { return stub_points_total(stub) == accepted; }, WAIT_MS));
    int base_fds = fd_count(f.server.pid);
    long base_rss = rss_kib(f.server.pid);
    ASSERT_GT(base_fds, 0);
    ASSERT_GT(base_rss, 0);
    for (int i = 0; i < flood; i++)
        ASSERT_TRUE(connection_cycle(f.sock, i)) << "connection " << i;
    accepted += flood - flood / 4;
    EXPECT_TRUE(wait_until([&] { return stub_points_total(stub) == accepted; }, WAIT_MS))
        << stub_points_total(stub) << " of " << accepted << " points posted";
    // A post in flight when base_fds was taken held a descriptor of its own: a leak shows as
    // growth.
    EXPECT_TRUE(wait_until([&] { return fd_count(f.server.pid) <= base_fds; }, WAIT_MS))
        << fd_count(f.server.pid) << " descriptors open, " << base_fds << " before";
    if (RSS_MEANINGFUL) {
        EXPECT_LT(rss_kib(f.server.pid) - base_rss, RSS_GROWTH_MAX_KIB)
            << "from " << base_rss << " KiB";
    }
    EXPECT_EQ(point_exchange(control, zip_point(99998)), "OK\n");
    close(control);
    faulty_stop(f);
    map_stub_stop(stub);
}

// Start the prepared service with a descriptor limit of max, soft and hard alike, so that it
// cannot raise it.
static void faulty_start_limited(service_run &f, rlim_t max) {
    server_options opt;
    opt.fd_limit = max;
    ASSERT_TRUE(service_start(f, opt)) << server_stderr(f.server);
}

static void fds_close(std::vector<int> &fds) {
    for (int &fd : fds) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

// n connections, each with one point sent and its reply left unread for now.
static void connections_open(const std::string &sock, int n, std::vector<int> &fds) {
    for (int i = 0; i < n; i++) {
        fds.push_back(unix_connect(sock));
        ASSERT_GE(fds.back(), 0) << "connection " << i;
        ASSERT_TRUE(unix_send_all(fds.back(), zip_point(i)));
    }
}

// The replies on fds[from..to) are all "OK".
static void replies_check(server_proc &s, std::vector<int> &fds, int from, int to) {
    for (int i = from; i < to; i++) {
        ASSERT_EQ(unix_reply_read(fds[i], WAIT_MS), "OK\n")
            << "connection " << i << "; alive: " << alive(s) << "\n"
            << server_stderr(s).substr(0, 2000);
    }
}

static void exhaustion_check(service_run &f, map_stub &stub, rlim_t limit, std::vector<int> &fds) {
    const int conns = 100, early = 20, closing = 60;
    ASSERT_NO_FATAL_FAILURE(connections_open(f.sock, conns, fds));
    // The oldest connections were accepted before the limit was reached.
    ASSERT_NO_FATAL_FAILURE(replies_check(f.server, fds, 0, early));
    // Taking no more: it says so, or, short of descriptors, accept fails.
    ASSERT_TRUE(wait_until(
        [&] {
            return server_stdout(f.server).find("Connection limit (") != std::string::npos ||
                   server_stderr(f.server).find("accept: ") != std::string::npos;
        },
        WAIT_MS))
        << "the limit was never reached: " << fd_count(f.server.pid) << " descriptors open";
    EXPECT_LE(fd_count(f.server.pid), (int)limit - LISTENER_FD_RESERVE + 1);
    // With every connection it may take open, a point still gets out: posting has descriptors.
    ASSERT_EQ(point_exchange(fds[0], zip_point(5000), WAIT_MS), "OK\n");
    EXPECT_TRUE(wait_until([&] { return stub_has_point(stub, 5000); }, WAIT_MS))
        << "posting found no descriptor";
    std::vector<int> oldest(fds.begin(), fds.begin() + closing);
    fds_close(oldest);
    std::fill(fds.begin(), fds.begin() + closing, -1);
    // Freed descriptors let the waiting connections in, each with its message answered.
    ASSERT_NO_FATAL_FAILURE(replies_check(f.server, fds, closing, conns));
    // The accept loop waited instead of failing over and over.
    std::string err = server_stderr(f.server);
    EXPECT_LE(occurrences(err, "accept: "), 3u) << err.substr(0, 2000);
}

TEST(Faults, RunningOutOfDescriptorsKeepsPostingAndDelaysNewClients) {
    const rlim_t limit = 64;  // room for about forty clients
    map_stub stub;
    map_stub_start(stub);
    service_run f;
    faulty_prepare(f, map_stub_url(stub, "/points"), "send_interval_usec = -1\n");
    ASSERT_NO_FATAL_FAILURE(faulty_start_limited(f, limit));
    // The start-up probe's connection comes out of the reserve for a moment: counted from its
    // line on, the descriptors are the clients' and the service's own.
    ASSERT_TRUE(wait_until(
        [&] { return server_stdout(f.server).find("map service at") != std::string::npos; },
        WAIT_MS));
    std::vector<int> fds;
    scope_exit fds_closer{[&] { fds_close(fds); }};
    ASSERT_NO_FATAL_FAILURE(exhaustion_check(f, stub, limit, fds));
    fds_close(fds);
    int fd = unix_connect(f.sock);
    EXPECT_EQ(point_exchange(fd, zip_point(1), WAIT_MS), "OK\n");
    close(fd);
    faulty_stop(f);
}

// Connects n clients the moment the socket takes connections, each sending one point.
static void rush_in(const std::string &sock, int n, std::vector<int> &fds) {
    auto end = clock_type::now() + std::chrono::milliseconds(WAIT_MS);
    int fd = -1;
    while (fd < 0 && clock_type::now() < end)
        fd = unix_connect(sock);
    if (fd < 0)
        return;
    fds.push_back(fd);
    unix_send_all(fd, zip_point(0));
    for (int i = 1; i < n; i++) {
        fds.push_back(unix_connect(sock));
        unix_send_all(fds.back(), zip_point(i));
    }
}

// Clients that take every descriptor while the service is still starting up.
TEST(Faults, ClientsRushingInAtStartUpCannotStarveTheService) {
    service_run f;
    faulty_prepare(f, "https://127.0.0.1:1/");
    std::vector<int> fds;
    scope_exit fds_closer{[&] { fds_close(fds); }};
    std::thread rush(rush_in, f.sock, 100, std::ref(fds));
    server_options opt;
    opt.fd_limit = 48;  // room for about twenty clients
    f.server = server_start_with(f.dir, opt);
    rush.join();
    ASSERT_EQ(fds.size(), 100u);
    ASSERT_EQ(std::count(fds.begin(), fds.end(), -1), 0);
    ASSERT_NO_FATAL_FAILURE(replies_check(f.server, fds, 0, 10));
    fds_close(fds);
    EXPECT_TRUE(alive(f.server)) << server_stderr(f.server);
    faulty_stop(f);
}

// ---- the map service misbehaves --------------------------------------------------------

// Exchanges points on its own connection until told to stop; keeps the slowest reply.
static void steady_client(const std::string &sock, int first_code, std::atomic<bool> &stop,
                          std::atomic<long> &replies, std::atomic<int> &failures) {
    int fd = unix_connect(sock);
    for (int code = first_code; fd >= 0 && !stop; code++) {
        if (point_exchange(fd, zip_point(code), WAIT_MS) != "OK\n")
            failures++;
        replies++;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd < 0)
        failures++;
    else
        close(fd);
}

// Each client's points (its own range of codes) appear in the body in the order it sent them.
static bool body_in_client_order(const std::string &body) {
    const std::string key = "\"zipcode\":\"";
    int last[10] = {0};
    for (size_t at = body.find(key); at != std::string::npos; at = body.find(key, at + 1)) {
        int code = atoi(body.c_str() + at + key.size());
        if (code <= last[code / 10000 % 10])
            return false;
        last[code / 10000 % 10] = code;
    }
    return true;
}

TEST(Faults, FailingAndStallingMapServiceNeverDelaysReplies) {
    map_stub stub;
    map_stub_start(stub);
    service_run f;
    ASSERT_NO_FATAL_FAILURE(
        faulty_start(f, map_stub_url(stub, "/points"), "send_interval_usec = -1\n"));
    std::atomic<bool> stop{false};
    std::atomic<long> replies{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    scope_exit clients_end{[&] {
        stop = true;
        for (auto &t : clients)
            if (t.joinable())
                t.join();
    }};
    map_stub_reply(stub, 200, "false");  // refused, then failing, then stalling
    for (int i = 0; i < 3; i++)
        clients.emplace_back(steady_client, f.sock, 10000 * (i + 1), std::ref(stop),
                             std::ref(replies), std::ref(failures));
    ASSERT_GE(map_stub_wait_posts(stub, 2, WAIT_MS), 2u);
    map_stub_reply(stub, 500, "internal error");
    ASSERT_GE(map_stub_wait_posts(stub, 4, WAIT_MS), 4u);
    map_stub_reply(stub, 200, "true", STALL_MS);
    size_t before_stall = map_stub_posts(stub).size();
    // Two stalled posts in a row: replies go on while each is held, whatever the machine's load.
    for (size_t n = before_stall + 1; n <= before_stall + 2; n++) {
        ASSERT_GE(map_stub_wait_posts(stub, n, 3 * STALL_MS), n);
        auto answered_at = map_stub_posts(stub)[n - 1].at + std::chrono::milliseconds(STALL_MS);
        long seen = replies.load();
        EXPECT_TRUE(wait_until([&] { return replies.load() >= seen + 30; }, STALL_MS));
        EXPECT_LT(clock_type::now(), answered_at) << "replies waited for the stalled post " << n;
    }
    map_stub_reply(stub, 200, "true", 0);
    clients_end.action();
    EXPECT_EQ(failures.load(), 0);
    // The points sent during a stall travel in the next batch, each client's in order.
    for (const received_post &p : map_stub_posts(stub))
        EXPECT_TRUE(body_in_client_order(p.body)) << p.body.substr(0, 2000);
    // Once it answers again, a new point reaches it.
    int fd = unix_connect(f.sock);
    ASSERT_EQ(point_exchange(fd, zip_point(77777)), "OK\n");
    EXPECT_TRUE(wait_until([&] { return stub_has_point(stub, 77777); }, 2 * STALL_MS + WAIT_MS));
    close(fd);
    faulty_stop(f);
    map_stub_stop(stub);
}

TEST(Faults, MapServiceThatGoesAwayAndComesBackGetsLaterPoints) {
    map_stub gone;
    map_stub_start(gone);
    int port = gone.port;
    map_stub_stop(gone);  // nothing listens there now: every post is refused
    service_run f;
    ASSERT_NO_FATAL_FAILURE(faulty_start(f, "https://127.0.0.1:" + std::to_string(port) + "/points",
                                         "send_interval_usec = -1\n"));
    int fd = unix_connect(f.sock);
    ASSERT_GE(fd, 0);
    for (int i = 1; i <= 20; i++) {
        auto sent = clock_type::now();
        ASSERT_EQ(point_exchange(fd, zip_point(i)), "OK\n");
        EXPECT_LT(clock_type::now() - sent, std::chrono::milliseconds(REPLY_PROMPT_MS));
    }
    // Back on the same port, first answering errors. Once the marker has been posted, every
    // earlier point has been tried: batches leave in order and take the whole queue.
    map_stub back;
    back.reply_status = 500;
    back.reply_body = "down for maintenance";
    ASSERT_TRUE(map_stub_start_on_port(back, port)) << "port " << port << " was taken meanwhile";
    ASSERT_EQ(point_exchange(fd, zip_point(100)), "OK\n");
    ASSERT_TRUE(wait_until([&] { return stub_has_point(back, 100); }, WAIT_MS));
    map_stub_reply(back, 200, "true");
    size_t failed_posts = map_stub_posts(back).size();
    ASSERT_EQ(point_exchange(fd, zip_point(200)), "OK\n");
    ASSERT_TRUE(wait_until([&] { return stub_has_point(back, 200); }, WAIT_MS));
    // Failed batches are held and retried: once it answers "true", they arrive too.
    std::string accepted;
    for (size_t i = failed_posts; i < map_stub_posts(back).size(); i++)
        accepted += map_stub_posts(back)[i].body;
    for (int code : {1, 20, 100})
        EXPECT_NE(accepted.find(zip_posted(code)), std::string::npos) << code;
    close(fd);
    faulty_stop(f);
    map_stub_stop(back);
}

// ---- stopping ------------------------------------------------------------------------------

// Idle clients hold every connection the service may take and more wait in the backlog: a
// stop still ends the process within its deadline.
TEST(Faults, StopEndsWhileNewConnectionsWaitForRoom) {
    service_run f;
    faulty_prepare(f, "https://127.0.0.1:1/");
    ASSERT_NO_FATAL_FAILURE(faulty_start_limited(f, 64));
    std::vector<int> fds;
    scope_exit fds_closer{[&] { fds_close(fds); }};
    for (int i = 0; i < 64; i++)
        fds.push_back(unix_connect(f.sock));
    ASSERT_TRUE(wait_until(
        [&] { return server_stdout(f.server).find("Connection limit (") != std::string::npos; },
        WAIT_MS));
    kill(f.server.pid, SIGTERM);
    EXPECT_TRUE(server_wait_exit(f.server, STOP_DEADLINE_USEC / 1000 + 1000));
    EXPECT_EQ(f.server.exit_status, 0);
}

// The last counters line counts exactly the OK and FAILED replies the clients got.
TEST(Faults, SigintDuringTrafficEndsCleanly) {
    service_run f;
    ASSERT_NO_FATAL_FAILURE(faulty_start(f, "https://127.0.0.1:1/"));
    std::atomic<long> replies[2] = {{0}, {0}};  // OK, FAILED
    std::vector<std::thread> clients;
    scope_exit clients_end{[&] {  // the clients end once the service has gone
        server_stop(f.server);
        for (auto &t : clients)
            if (t.joinable())
                t.join();
    }};
    for (int t = 0; t < 16; t++) {
        clients.emplace_back([&, t] {
            int fd = unix_connect(f.sock);
            // Ends when the service goes: the reply never comes or the send fails.
            std::string r;
            for (int i = 0; fd >= 0 && i < 1000000; i++) {
                if ((r = point_exchange(fd, zip_point(t * 1000 + i % 1000), WAIT_MS)).empty())
                    break;
                replies[r == "OK\n" ? 0 : 1]++;
            }
            if (fd >= 0)
                close(fd);
        });
    }
    ASSERT_TRUE(wait_until([&] { return replies[0] >= 400; }, WAIT_MS));
    kill(f.server.pid, SIGINT);
    EXPECT_TRUE(server_wait_exit(f.server, WAIT_MS));
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(f.server.exit_status, 0);
    std::string counted =
        "accepted " + std::to_string(replies[0]) + ", rejected " + std::to_string(replies[1]) + ",";
    EXPECT_EQ(server_stdout_count(f.server, counted), 1u) << server_stdout(f.server);
    EXPECT_NE(access(f.sock.c_str(), F_OK), 0) << "socket file left behind";
    faulty_stop(f);
}
