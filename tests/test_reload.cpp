// test_reload.cpp -- SIGHUP reads the configuration again: what can change in place changes
// while points keep arriving; a file that cannot be used, or a key that needs a restart,
// changes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "service.h"

static const char RELOADED[] = "Configuration reloaded from";

// The map id a post's body opens with.
static std::string map_id_in(const std::string &body) {
    size_t at = body.find("\"mapId\":\"") + 9;
    return body.substr(at, body.find('"', at) - at);
}

class Reload : public ::testing::Test {
protected:
    void SetUp() override {
        service_prepare(run);
        url = map_stub_url(stub, "/points");
        configure("testmap1");
        server = server_start(dir);
        ASSERT_TRUE(server_wait_listening(server, sock, WAIT_MS)) << server_stderr(server);
        // The start's probe holds a reload's client settings back until its line is out.
        ASSERT_TRUE(printed("The map service at", 1)) << server_stdout(server);
    }
    void TearDown() override { service_stop(run); }
    void configure(const std::string &map_id, const std::string &extra = "",
                   const std::string &sock_path = "") {
        file_write(dir + "/halvex_mapapi_server.ini",
                   "map_id = " + map_id + "\nmap_key = testkey123456789\nunix_sock_path = " +
                       (sock_path.empty() ? sock : sock_path) + "\nmap_api_endpoint = " + url +
                       "\nsend_interval_usec = 20000\n" + extra);
    }
    bool printed(const std::string &text, size_t times) {
        return printed_wait(server, text, times);
    }
    // Send code on a connection of its own; the map id of the post that carried it.
    std::string posted_with(long code) {
        int fd = unix_connect(sock);
        EXPECT_EQ(point_exchange(fd, zip(code)), "OK\n");
        close(fd);
        std::string id, field = "\"zipcode\":\"" + std::to_string(code) + "\"";
        wait_until(
            [&] {
                for (const received_post &p : map_stub_posts(stub))
                    id = p.body.find(field) != std::string::npos ? map_id_in(p.body) : id;
                return !id.empty();
            },
            WAIT_MS);
        return id;
    }
    service_run run;
    map_stub &stub = run.stub;
    std::string &dir = run.dir, &sock = run.sock;
    std::string url;  // the endpoint configure() writes
    server_proc &server = run.server;
};

// A client sends throughout ten reloads, each with a new map id: every point answered OK
// arrives once, a point sent after a reload goes with its id, and no connection carries two ids.
TEST_F(Reload, TenReloadsUnderLoadLoseNothingAndPostWithTheNewMapId) {
    std::atomic<bool> stop{false};
    std::set<long> ok;
    std::thread client([&] {
        int fd = unix_connect(sock);
        for (long c = 100000; !stop; c++)
            if (point_exchange(fd, zip(c)) == "OK\n")
                ok.insert(c);
        close(fd);
    });
    for (int i = 1; i <= 10 && !HasFailure(); i++) {
        std::string id = "reload" + std::to_string(10 + i);
        configure(id);
        kill(server.pid, SIGHUP);
        EXPECT_TRUE(printed(RELOADED, i)) << server_stdout(server);
        EXPECT_EQ(posted_with(10000000 + i), id);
    }
    stop = true;
    client.join();
    wait_until([&] { return map_stub_zipcodes(stub).size() >= ok.size() + 10; }, WAIT_MS);
    std::set<long> seen;
    for (long c : map_stub_zipcodes(stub))
        EXPECT_TRUE(seen.insert(c).second) << c << " arrived twice";
    EXPECT_TRUE(std::includes(seen.begin(), seen.end(), ok.begin(), ok.end()));
    std::map<int, std::string> id_on;  // client port -> the map id it carried
    for (const received_post &p : map_stub_posts(stub))
        EXPECT_EQ(id_on.emplace(p.client_port, map_id_in(p.body)).first->second, map_id_in(p.body));
}

// A file that fails its checks is refused with its lines, its good keys too: the running map
// id keeps posting.
TEST_F(Reload, FileThatCannotBeUsedIsRefusedWhole) {
    file_write(dir + "/bad.pem", "no certificate here\n");
    const std::pair<std::string, std::string> bad[] = {
        {"map_api_keep_alive = maybe\n", "Invalid value for map_api_keep_alive: maybe"},
        {"map_api_ca_file = " + dir + "/bad.pem\n", "no PEM certificate"},
    };
    for (size_t i = 0; i < 2; i++) {
        configure("othermap", bad[i].first);
        kill(server.pid, SIGHUP);
        ASSERT_TRUE(printed("the running configuration stays", i + 1)) << server_stdout(server);
        EXPECT_EQ(server_stdout_count(server, bad[i].second), 1u) << server_stdout(server);
        EXPECT_EQ(posted_with(20000 + (long)i), "testmap1");
    }
}

// Held points go to a new endpoint; a new socket path needs a restart: it is named, and the
// socket in use keeps serving.
TEST_F(Reload, HeldPointsGoToTheNewEndpointWhileTheSocketStays) {
    map_stub moved;
    map_stub_start(moved);
    map_stub_stop(stub);
    int fd = unix_connect(sock);
    EXPECT_EQ(point_exchange(fd, zip(30000)), "OK\n");
    ASSERT_TRUE(printed("Posting to the map service fails", 1)) << server_stdout(server);
    url = map_stub_url(moved, "/points");
    configure("testmap2", "", dir + "/other");
    kill(server.pid, SIGHUP);
    ASSERT_TRUE(printed(RELOADED, 1)) << server_stdout(server);
    EXPECT_TRUE(printed("unix_sock_path = " + dir + "/other needs a restart; kept " + sock, 1));
    EXPECT_EQ(point_exchange(fd, zip(30001)), "OK\n");
    close(fd);
    std::vector<long> both{30000, 30001};
    EXPECT_TRUE(wait_until([&] { return map_stub_zipcodes(moved) == both; }, WAIT_MS));
    EXPECT_NE(access((dir + "/other").c_str(), F_OK), 0);
}
