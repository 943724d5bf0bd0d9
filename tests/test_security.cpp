// test_security.cpp -- the operator's security keys through the real service and a real HTTPS map
// service: certificate checks, socket mode and group, and the readable-key warning.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

static const char EXPOSURE_WARNING[] = "every local user can read it";

class Security : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tempdir_make();
        sock = dir + "/sock";
        map_stub_start(stub);
    }
    void TearDown() override {
        server_stop(server);
        map_stub_stop(stub);
        tempdir_remove(dir);
    }
    // Start the service with extra config lines, its file given file_mode.
    void start(const std::string &extra, mode_t file_mode = 0600) {
        std::string path = dir + "/halvex_mapapi_server.ini";
        file_write(path, config_basic(sock, map_stub_url(stub), extra));
        chmod(path.c_str(), file_mode);
        server = server_start(dir);
    }
    void start_listening(const std::string &extra, mode_t file_mode = 0600) {
        start(extra, file_mode);
        ASSERT_TRUE(server_wait_listening(server, sock, 5000)) << server_stdout(server);
    }
    void point_send() {
        int fd = unix_connect(sock);
        EXPECT_EQ(point_exchange(fd, "{\"lat\":1,\"lng\":2}"), "OK\n");
        close(fd);
    }
    std::string dir, sock;
    map_stub stub;
    server_proc server;
};

// Said at start, by the probe, and again by the first post that fails.
TEST_F(Security, VerifiedTlsRefusesASelfSignedMapServiceAndSaysWhy) {
    ASSERT_NO_FATAL_FAILURE(start_listening("map_api_verify_tls = YES\n"));
    point_send();
    for (const char *why : {": its certificate fails the check (SSL certificate problem: ",
                            "Posting to the map service fails (SSL certificate problem: "})
        EXPECT_TRUE(
            wait_until([&] { return server_stdout(server).find(why) != std::string::npos; }, 10000))
            << server_stdout(server);
    EXPECT_EQ(map_stub_posts(stub).size(), 0u);
}

// The connection checked for the first post carries the second.
TEST_F(Security, CaFileHoldingTheMapServiceCertificateLetsPostsThrough) {
    ASSERT_NO_FATAL_FAILURE(start_listening(
        "send_interval_usec = 100000\nmap_api_ca_file = " + stub.dir + "/cert.pem\n"));
    point_send();
    EXPECT_EQ(map_stub_wait_posts(stub, 1, 10000), 1u) << server_stdout(server);
    point_send();
    ASSERT_EQ(map_stub_wait_posts(stub, 2, 10000), 2u) << server_stdout(server);
    EXPECT_EQ(map_stub_posts(stub)[0].client_port, map_stub_posts(stub)[1].client_port);
}

TEST_F(Security, SocketModeAndGroupAreAppliedBeforeClientsCanConnect) {
    const group *nogroup = getgrnam("nogroup");
    if (!nogroup || geteuid() != 0)
        GTEST_SKIP() << "needs the nogroup group and root to give the socket another group";
    ASSERT_NO_FATAL_FAILURE(start_listening("unix_sock_mode = 0660\nunix_sock_group = nogroup\n"));
    struct stat st;
    ASSERT_EQ(stat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, nogroup->gr_gid);
}

TEST_F(Security, InvalidValuesEndStartUpWithALineNamingTheKey) {
    file_write(dir + "/zeros.pem", std::string(4096, '\0'));
    ASSERT_EQ(mkfifo((dir + "/ca.fifo").c_str(), 0600), 0);  // opening it would wait for good
    const std::pair<std::string, std::string> cases[] = {
        {"map_api_verify_tls = maybe", "Invalid value for map_api_verify_tls: maybe"},
        {"map_api_ca_file = " + dir + "/missing.pem", "Cannot read map_api_ca_file"},
        {"map_api_ca_file = " + dir, "Cannot read map_api_ca_file"},
        {"map_api_ca_file = /dev/zero", "Cannot read map_api_ca_file"},
        {"map_api_ca_file = " + dir + "/zeros.pem", "Cannot read map_api_ca_file"},
        {"map_api_ca_file = " + dir + "/ca.fifo", dir + "/ca.fifo is a FIFO, not a regular file."},
        {"unix_sock_mode = 0980", "Invalid value for unix_sock_mode: 0980"},
        {"unix_sock_mode = 1777", "Invalid value for unix_sock_mode: 1777"},
        {"unix_sock_group = no-such-group-here", "Unknown group for unix_sock_group"},
        {"map_api_keep_alive = sometimes", "Invalid value for map_api_keep_alive: sometimes"},
    };
    for (const auto &c : cases) {
        start(c.first + "\n");
        ASSERT_TRUE(server_wait_exit(server, 5000)) << c.first;
        EXPECT_EQ(server.exit_status, 1) << c.first;
        EXPECT_NE(server_stdout(server).find(c.second), std::string::npos)
            << c.first << ": " << server_stdout(server);
        EXPECT_NE(access(sock.c_str(), F_OK), 0) << c.first << " left a socket file";
    }
}

// The key in the endpoint (a path segment, an escaped query value) never shows: it is "***".
TEST_F(Security, KeyInTheEndpointIsNeverPrinted) {
    map_stub_reply(stub, 500, "down");
    std::string endpoint = map_stub_url(stub, "/k/testkey123456789/p?key=%74estKEY123456789");
    file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, endpoint));
    server = server_start(dir);
    ASSERT_TRUE(server_wait_listening(server, sock, 5000)) << server_stdout(server);
    point_send();
    EXPECT_TRUE(wait_until([&] { return server_stdout_count(server, "fails") > 0; }, WAIT_MS));
    map_stub_reply(stub, 200, "true");  // so that the stop need not wait out its drain
    server_stop(server);
    EXPECT_NE(server_stdout(server).find("/k/***/p?key=***; interval"), std::string::npos);
    EXPECT_EQ(server_stdout(server).find("123456"), std::string::npos) << server_stdout(server);
}

TEST_F(Security, ConfigReadableByEveryUserWarnsButStarts) {
    ASSERT_NO_FATAL_FAILURE(start_listening("", 0644));
    EXPECT_TRUE(wait_until(
        [&] { return server_stdout(server).find(EXPOSURE_WARNING) != std::string::npos; },
        WAIT_MS));
    server_stop(server);  // everything it printed is out once it has stopped
    EXPECT_EQ(server_stdout(server).find("testkey"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(start_listening("", 0600));
    server_stop(server);
    EXPECT_EQ(server_stdout(server).find(EXPOSURE_WARNING), std::string::npos);
}
