// test_startup.cpp -- the real binary starting from real config files in temporary folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

static const char SYSTEM_CONFIG[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";
static const char INTERVAL_WARNING[] = "Invalid value for send_interval_usec.  Using default.\n";

struct startup_fixture {
    std::string dir;
    std::string sock;
};

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(SYSTEM_CONFIG, F_OK) == 0)
            GTEST_SKIP() << SYSTEM_CONFIG << " exists and would be read instead of test configs";
        f.dir = tempdir_make();
        f.sock = f.dir + "/sock";
    }
    void TearDown() override { tempdir_remove(f.dir); }
    startup_fixture f;
};

// Start with the given config text and expect the process to end by itself.
static server_proc run_to_exit(const startup_fixture &f, const std::string &config) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config);
    server_proc s = server_start(f.dir);
    if (!server_wait_exit(s, 5000))
        server_stop(s);
    return s;
}

// Start with the given config text and expect it to listen at f.sock.
static server_proc run_listening(const startup_fixture &f, const std::string &config) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config);
    server_proc s = server_start(f.dir);
    EXPECT_TRUE(server_wait_listening(s, f.sock, 5000)) << server_stdout(s) << server_stderr(s);
    return s;
}

// The mapId the service posts for one point, with the given credential lines.
static std::string posted_map_id(const startup_fixture &f, const std::string &credentials) {
    map_stub stub;
    map_stub_start(stub);
    server_proc s = run_listening(f, credentials + "unix_sock_path = " + f.sock +
                                         "\nmap_api_endpoint = " + map_stub_url(stub) + "\n");
    int fd = unix_connect(f.sock);
    EXPECT_EQ(point_exchange(fd, "{\"lat\":1,\"lng\":2}"), "OK\n");
    close(fd);
    std::string body;
    if (map_stub_wait_posts(stub, 1, 10000) >= 1)
        body = map_stub_posts(stub)[0].body;
    server_stop(s);
    map_stub_stop(stub);
    size_t from = body.find("\"mapId\":\""), to = body.find("\",\"key\"");
    if (from == std::string::npos || to == std::string::npos)
        return "<no post: " + body + ">";
    return body.substr(from + 9, to - from - 9);
}

TEST_F(Startup, MissingConfigFileIsFatal) {
    server_proc s = server_start(f.dir);
    ASSERT_TRUE(server_wait_exit(s, 5000));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), "Failed to read ini file.");
}

TEST_F(Startup, MissingOrEmptyCredentialsAreFatal) {
    const char *configs[] = {
        "map_id = abc\n",                           // no key
        "map_key = secret\n",                       // no id
        "map_id =\nmap_key = secret\n",             // empty id
        "[main]\nmap_id = abc\nmap_key = secret\n"  // under a named section
    };
    for (const char *config : configs) {
        server_proc s = run_to_exit(f, config);
        EXPECT_EQ(s.exit_status, 1) << config;
        EXPECT_EQ(server_stdout(s), "Enter map_id and map_key in your config file.") << config;
    }
}

TEST_F(Startup, KeysAreCaseInsensitiveAndTakeColonForm) {
    server_proc s =
        run_listening(f, "MAP_ID = abc\nmap_key: secret\nUnix_Sock_Path = " + f.sock + "\n");
    EXPECT_EQ(server_stop(s), 0);
}

TEST_F(Startup, MalformedLineElsewhereStillStarts) {
    server_proc s = run_listening(f,
                                  "this line is not a setting\n[broken\nmap_id = abc\n"
                                  "map_key = secret\nunix_sock_path = " +
                                      f.sock + "\n");
    EXPECT_EQ(server_stop(s), 0);
}

TEST_F(Startup, CommentsAndDuplicatesShapeTheMapId) {
    EXPECT_EQ(posted_map_id(f, "map_id = abc ; note\nmap_key = k\n"), "abc");
    EXPECT_EQ(posted_map_id(f, "map_id = abc;note\nmap_key = k\n"), "abc;note");
    // A repeated key joins both values with a line break, sent escaped.
    EXPECT_EQ(posted_map_id(f, "map_id = abc\nmap_id = def\nmap_key = k\n"), "abc\\ndef");
    EXPECT_EQ(posted_map_id(f, "map_id = abcdefghijkl\nmap_key = k\n"), "abcdefgh");
}

// What the service printed before the lines it prints on stopping.
static std::string stdout_before_stop(const server_proc &s) {
    std::string out = server_stdout(s);
    return out.substr(0, out.find("Stopped: "));
}

TEST_F(Startup, SendIntervalWarnsOnlyForZeroTooLargeOrNotANumber) {
    struct {
        const char *value;
        bool warns;
    } cases[] = {{"900000000", false}, {"900000001", true}, {"abc", true}, {"0", true},
                 {"250000xyz", false}, {"-5", false},       {"", false}};
    for (const auto &c : cases) {
        server_proc s = run_listening(
            f, config_basic(f.sock, "", std::string("send_interval_usec = ") + c.value + "\n"));
        EXPECT_EQ(server_stop(s), 0);
        EXPECT_EQ(stdout_before_stop(s), c.warns ? INTERVAL_WARNING : "") << "value " << c.value;
    }
}

TEST_F(Startup, SocketIsOpenToEveryUserWhateverTheUmask) {
    file_write(f.sock, "stale file from an earlier run");
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_proc s = server_start(f.dir, 077);
    ASSERT_TRUE(server_wait_listening(s, f.sock, 5000)) << server_stderr(s);
    struct stat st;
    ASSERT_EQ(stat(f.sock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(server_stop(s), 0);
    EXPECT_NE(access(f.sock.c_str(), F_OK), 0) << "SIGINT must remove the socket file";
}

TEST_F(Startup, DefaultSocketPathIsUsedWhenNoneIsConfigured) {
    const char *default_path = "/tmp/halvex_mapapi_server_socket";
    if (access(default_path, F_OK) == 0)
        GTEST_SKIP() << default_path << " is in use";
    file_write(f.dir + "/halvex_mapapi_server.ini", "map_id = abc\nmap_key = k\n");
    server_proc s = server_start(f.dir);
    EXPECT_TRUE(server_wait_listening(s, default_path, 5000));
    EXPECT_EQ(server_stop(s), 0);
    EXPECT_NE(access(default_path, F_OK), 0);
}

TEST_F(Startup, OverlongSocketPathIsRefused) {
    std::string path = f.dir + "/" + std::string(120, 's');
    server_proc s = run_to_exit(f, config_basic(path, ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_NE(server_stderr(s).find("too long"), std::string::npos) << server_stderr(s);
    EXPECT_NE(access(path.substr(0, 107).c_str(), F_OK), 0)
        << "no truncated socket file may appear";
}

TEST_F(Startup, UnbindablePathReportsBindAndExits) {
    server_proc s = run_to_exit(f, config_basic(f.dir + "/no/such/folder/sock", ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stderr(s).rfind("bind: ", 0), 0u) << server_stderr(s);
}
