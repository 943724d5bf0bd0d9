// test_client_c.cpp -- the C client library against the real service: each answer a send can
// get, and a restart in the middle of a stream of points.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <numeric>

#include "halvex_mapapi_client.h"
#include "service.h"

// Accepted, refused and too long on one connection; a point given as fields reaches the map
// service as the service reads it from any client: its float, as %.6f writes it.
TEST(ClientC, SaysAcceptedRefusedAndTooLong) {
    service_run r;
    service_up(r);
    halvex_client *c = halvex_client_open(r.sock.c_str(), 0);
    ASSERT_NE(c, nullptr) << strerror(errno);
    halvex_client_point p = {};
    p.given = HALVEX_CLIENT_LATLNG | HALVEX_CLIENT_C;
    p.lat = 1.2345678;  // six significant digits would post 1.234570
    p.lng = -123.456789;
    p.c = 0xff8800;
    EXPECT_EQ(halvex_client_send_point(c, &p, 0), HALVEX_CLIENT_ACCEPTED);
    EXPECT_EQ(halvex_client_send_json(c, "{\"lat\":\"north\",\"lng\":1}", 0),
              HALVEX_CLIENT_REFUSED);
    EXPECT_EQ(halvex_client_send_json(c, std::string(1025, ' ').c_str(), 0),
              HALVEX_CLIENT_TOO_LONG);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(halvex_client_send_json(c, zip(7).c_str(), 0), HALVEX_CLIENT_ACCEPTED);
    halvex_client_close(c);
    ASSERT_TRUE(wait_until([&] { return map_stub_zipcodes(r.stub).size() == 1; }, WAIT_MS));
    char posted[128];
    snprintf(posted, sizeof posted, "\"lat\":%.6f,\"lng\":%.6f,\"c\":\"#ff8800\"",
             (double)(float)p.lat, (double)(float)p.lng);
    EXPECT_NE(map_stub_posts(r.stub)[0].body.find(posted), std::string::npos) << posted;
}

// No service at the path: open fails at once. A stopped one (SIGSTOP): the send times out,
// and the next, once it goes on, is answered on a new connection.
TEST(ClientC, SaysUnreachableAndTimedOut) {
    service_run r;
    service_up(r);
    EXPECT_EQ(halvex_client_open((r.dir + "/none").c_str(), 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    halvex_client *c = halvex_client_open(r.sock.c_str(), 0);
    ASSERT_NE(c, nullptr);
    kill(r.server.pid, SIGSTOP);
    auto sent = std::chrono::steady_clock::now();
    int result = halvex_client_send_json(c, zip(1).c_str(), 300);
    auto took = std::chrono::steady_clock::now() - sent;
    kill(r.server.pid, SIGCONT);
    EXPECT_EQ(result, HALVEX_CLIENT_TIMED_OUT);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_EQ(halvex_client_send_json(c, zip(2).c_str(), 0), HALVEX_CLIENT_ACCEPTED);
    halvex_client_close(c);
}

// Numbered points on one client while the service stops and starts again: each answered OK
// once, and each posted to the map service once.
TEST(ClientC, RestartMidStreamLosesNoPointAndSendsNoneTwice) {
    service_run r;
    service_up(r);
    halvex_client *c = halvex_client_open(r.sock.c_str(), 0);
    ASSERT_NE(c, nullptr);
    std::atomic<long> sent{0};
    std::atomic<bool> restarted{false};
    std::thread restart([&] {
        wait_until([&] { return sent >= 100; }, WAIT_MS);
        service_stop(r);
        EXPECT_TRUE(service_start(r));
        restarted = true;
    });
    long after = 0;
    for (long code = 1; !restarted || after++ < 100; code++) {
        ASSERT_EQ(halvex_client_send_json(c, zip(code).c_str(), 4 * WAIT_MS),
                  HALVEX_CLIENT_ACCEPTED)
            << code << ": " << strerror(errno);
        sent = code;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a steady stream
    }
    restart.join();
    halvex_client_close(c);
    service_stop(r);
    std::vector<long> posted = map_stub_zipcodes(r.stub), want(sent);
    std::sort(posted.begin(), posted.end());
    std::iota(want.begin(), want.end(), 1);
    EXPECT_EQ(posted, want);
}
