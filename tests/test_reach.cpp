// test_reach.cpp -- the line at start that says whether the map service answers, through the
// real binary and real endpoints on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "mapapi/halvex_mapapi.h"

// The probe gives up within the client's connect bound; the wait adds the usual margin.
static const int PROBE_WAIT_MS = HALVEX_MAPAPI_CONNECT_TIMEOUT_SEC * 1000 + WAIT_MS;
static const char PROBE_MARK[] = "map service at ";

class Reach : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tempdir_make();
        sock = dir + "/sock";
    }
    void TearDown() override {
        server_stop(server);
        tempdir_remove(dir);
    }
    // Start with endpoint ("": none); once the probe has spoken, the line after the start line.
    std::string probe_line(const std::string &endpoint, const server_options &opt = {}) {
        file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, endpoint));
        server = server_start_with(dir, opt);
        std::string out;
        wait_until(
            [&] {
                out = server_stdout(server);
                return out.find('\n', out.find(PROBE_MARK)) != std::string::npos;
            },
            PROBE_WAIT_MS);
        size_t from = out.find('\n', out.find("Listening on ")) + 1;
        return out.substr(from, out.find('\n', from) - from);
    }
    std::string dir, sock;
    server_proc server;
};

TEST_F(Reach, RefusedPortIsAWarning) {
    std::string url = "https://127.0.0.1:" + std::to_string(loopback_port_free());
    std::string line = probe_line(url);
    EXPECT_EQ(line.rfind("Warning: no connection to the map service at " + url +
                             ": the connection is refused (",
                         0),
              0u)
        << line;
}

TEST_F(Reach, UnresolvableHostIsNamed) {
    std::string line = probe_line("https://nowhere.invalid:4434/p");
    EXPECT_NE(line.find("nowhere.invalid:4434/p: its host name does not resolve ("),
              std::string::npos)
        << line;
}

TEST_F(Reach, AnsweringStandInGivesTheRoundTrip) {
    map_stub stub;
    map_stub_start(stub);
    std::string line = probe_line(map_stub_url(stub));
    EXPECT_EQ(line.rfind("The map service at " + map_stub_url(stub) + " answers: connected in ", 0),
              0u)
        << line;
    EXPECT_NE(line.find("ms (one round trip), TLS ready "), std::string::npos) << line;
    EXPECT_EQ(map_stub_posts(stub).size(), 0u) << "the probe posts nothing";
}

// Through a web proxy where nothing listens, so that no name lookup leaves the machine.
TEST_F(Reach, WithoutAnEndpointTheLineSaysTheBuiltInOneIsAPlaceholder) {
    server_options opt;
    std::string via = "http://127.0.0.1:" + std::to_string(loopback_port_free());
    opt.env = {"https_proxy=" + via, "HTTPS_PROXY=" + via, "no_proxy", "NO_PROXY"};
    std::string line = probe_line("", opt);
    EXPECT_NE(line.find("map_api_endpoint is not set, and the built-in endpoint is a placeholder"),
              std::string::npos)
        << line;
}

// A map service that takes the connection and never says a word holds the probe for its whole
// bound: the service serves all the while.
TEST_F(Reach, ReadinessDoesNotWaitForTheProbe) {
    int port = 0, silent = loopback_listen(&port);
    ASSERT_GE(silent, 0);
    scope_exit silent_end{[&] { close(silent); }};
    file_write(dir + "/halvex_mapapi_server.ini",
               config_basic(sock, "https://127.0.0.1:" + std::to_string(port)));
    server = server_start(dir);
    ASSERT_TRUE(server_wait_listening(server, sock, WAIT_MS));
    int fd = unix_connect(sock);
    EXPECT_EQ(point_exchange(fd, "[]"), "FAILED\n");  // answered, and nothing to post
    close(fd);
    EXPECT_EQ(server_stdout(server).find(PROBE_MARK), std::string::npos) << server_stdout(server);
}
