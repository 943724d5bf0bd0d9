// test_startup.cpp -- the real binary starting from real config files in temporary folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "harness.h"
#include "intake/protocol.h"

struct startup_fixture {
    std::string dir;
    std::string sock;
};

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        f.dir = tempdir_make();
        f.sock = f.dir + "/sock";
    }
    void TearDown() override { tempdir_remove(f.dir); }
    startup_fixture f;
};

// A socket file at path with nobody answering on it, as a service that was killed leaves.
static void stale_socket_make(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd, (sockaddr *)&addr, sizeof addr), 0) << path;
    close(fd);
}

// Start with the given config text (and arguments) and expect the process to end by itself.
static server_proc run_to_exit(const startup_fixture &f, const std::string &config,
                               const std::vector<std::string> &args = {}) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config);
    server_options opt;
    opt.args = args;
    server_proc s = server_start_with(f.dir, opt);
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

// A FIFO would hold the open for good: it is refused with one line and never opened.
TEST_F(Startup, ConfigFileThatIsAFifoIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo((f.dir + "/halvex_mapapi_server.ini").c_str(), 0600), 0);
    server_proc s = server_start(f.dir);
    EXPECT_TRUE(server_wait_exit(s, WAIT_MS) && s.exit_status == 1);
    server_stop(s);
    EXPECT_EQ(server_stdout(s),
              "Failed to read ini file: halvex_mapapi_server.ini is a FIFO, not a regular file.\n");
}

// --help and --version answer on standard output and exit 0, whatever the configuration.
TEST_F(Startup, HelpAndVersionAnswerAndExitZero) {
    for (const char *option : {"--help", "-h", "--version"}) {
        server_proc s = program_start(f.dir, {HALVEX_SERVER_BIN, "--bogus", option});
        ASSERT_TRUE(server_wait_exit(s, WAIT_MS));
        EXPECT_EQ(s.exit_status, 0) << option;
        std::string out = server_stdout(s);
        if (option[2] == 'v')
            EXPECT_EQ(out.rfind("halvex_mapapi_server 0.", 0), 0u) << out;
        else
            for (const char *part :
                 {"Usage:", SYSTEM_CONFIG_FILE, "otherwise halvex_mapapi_server.ini",
                  "man halvex_mapapi_server"})
                EXPECT_NE(out.find(part), std::string::npos) << out;
    }
}

TEST_F(Startup, MissingOrEmptyCredentialsAreFatal) {
    const std::string enter = "Enter map_id and map_key in your config file.\n";
    const std::string under =
        "Warning: halvex_mapapi_server.ini:2: key map_id under [main] is "
        "ignored (keys belong before the first [section]).\n"
        "Warning: halvex_mapapi_server.ini:3: key map_key under [main] is "
        "ignored (keys belong before the first [section]).\n";
    struct {
        const char *config;
        std::string out;
    } cases[] = {
        {"map_id = abc\n", enter + "map_key is missing or empty in the configuration.\n"},
        {"map_key = secret\n", enter + "map_id is missing or empty in the configuration.\n"},
        {"map_id =\nmap_key = secret\n",
         enter + "map_id is missing or empty in the configuration.\n"},
        {"[main]\nmap_id = abc\nmap_key = secret\n",
         under + enter + "map_id and map_key are missing or empty in the configuration.\n"},
    };
    for (const auto &c : cases) {
        server_proc s = run_to_exit(f, c.config);
        EXPECT_EQ(s.exit_status, 1) << c.config;
        EXPECT_EQ(server_stdout(s), c.out) << c.config;
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
    // A repeated map_id would join both values with a line break: it never starts.
    EXPECT_EQ(run_to_exit(f, "map_id = abc\nmap_id = def\nmap_key = k\n").exit_status, 1);
    EXPECT_EQ(posted_map_id(f, "map_id = abcdefghijkl\nmap_key = k\n"), "abcdefgh");
}

// What the service printed before its start line.
static std::string stdout_before_start_line(const server_proc &s) {
    std::string out = server_stdout(s);
    return out.substr(0, out.find("Listening on "));
}

// The start line names the file read, the socket, the endpoint (a password in it hidden) and
// the interval in use.
TEST_F(Startup, StartLineSaysWhatWasReadAndWhereItListensAndPosts) {
    server_proc s = run_listening(
        f, config_basic(f.sock, "https://user:pw@127.0.0.1:1/p", "send_interval_usec = 2500\n"));
    std::string line = "Listening on " + f.sock + " (configuration " + f.dir +
                       "/halvex_mapapi_server.ini; posting to https://...@127.0.0.1:1/p; "
                       "interval 2500 us).\n";
    EXPECT_TRUE(wait_until([&] { return server_stdout(s).rfind(line, 0) == 0; }, WAIT_MS))
        << server_stdout(s);
    EXPECT_TRUE(wait_until(
        [&] { return server_stdout(s).find("...@127.0.0.1:1/p:") != std::string::npos; }, WAIT_MS))
        << "the map service line hides the password too: " << server_stdout(s);
    EXPECT_EQ(server_stop(s), 0);
}

// Mistakes the service can start with are each named with their line, in the file's order; a
// value's next line (indented) is part of its setting.
TEST_F(Startup, ConfigurationMistakesAreWarnedWithTheirLines) {
    server_proc s = run_listening(f,
                                  "map_id = abc\nmapkey = x\n  more\nmap_key = 12345678901234567\n"
                                  "unix_sock_path = " +
                                      f.sock + "\nno setting\n[a]\nb = c\n");
    const std::string at = "Warning: halvex_mapapi_server.ini:";
    std::string warned =
        at + "2: unknown key mapkey (ignored; did you mean map_key?)\n" + at +
        "6: not a setting (name = value), a [section] or a comment (ignored).\n" + at +
        "8: key b under [a] is ignored (keys belong before the first [section]).\n" + at +
        "4: map_key is 17 characters long; only the first 16 are used.\n";
    EXPECT_TRUE(wait_until([&] { return server_stdout(s).find("Listening") != std::string::npos; },
                           WAIT_MS));
    EXPECT_EQ(stdout_before_start_line(s), warned);
    EXPECT_EQ(server_stop(s), 0);
}

// Values read leniently or in a way the file's author may not expect are warned about, with
// the file, the line and the value, control characters escaped; the file is still usable.
TEST_F(Startup, LenientRepeatedAndQuotedValuesAreWarnedWithFileLineAndValue) {
    const std::string at = "halvex_mapapi_server.ini:", warn = "Warning: " + at;
    auto invalid = [&](const char *key, const char *line_and_value) {
        return "Invalid value for " + std::string(key) + ".  Using default.\n" + at +
               line_and_value + "\n";
    };
    const std::string lenient =
        " (what follows the number is ignored; give microseconds in digits only).\n";
    const std::pair<std::string, std::string> rows[] = {
        {"send_interval_usec = 900000000", ""},
        {"send_interval_usec = -5", ""},
        {"send_interval_usec = 250000xyz",
         warn + "4: send_interval_usec = 250000xyz is read as 250000" + lenient},
        {"send_interval_usec = 1e6", warn + "4: send_interval_usec = 1e6 is read as 1" + lenient},
        {"send_interval_usec = 0", invalid("send_interval_usec", "4: send_interval_usec = 0")},
        {"send_interval_usec = abc", invalid("send_interval_usec", "4: send_interval_usec = abc")},
        {"send_interval_usec = 900000001",
         invalid("send_interval_usec", "4: send_interval_usec = 900000001")},
        {"collect_pause_usec = 1000001",
         invalid("collect_pause_usec", "4: collect_pause_usec = 1000001")},
        {"max_queued_points = 10x", invalid("max_queued_points", "4: max_queued_points = 10x")},
        {"max_post_points = \"5\"",
         warn + "4: the value of max_post_points is in quotes, which are kept as part of it.\n" +
             invalid("max_post_points", "4: max_post_points = \"5\"")},
        {"max_post_points = 1\nmax_post_points = 2",
         warn +
             "5: max_post_points is given again (first on line 4): both values are used "
             "joined by a line break; give each key once.\n" +
             invalid("max_post_points", "4: max_post_points = 1\\n2")},
        {"max_post_points = 1\n  2",
         warn + "5: this indented line continues max_post_points, joined by a line break.\n" +
             invalid("max_post_points", "4: max_post_points = 1\\n2")},
        {"send_interval = 5",
         warn + "4: unknown key send_interval (ignored; did you mean send_interval_usec?)\n"},
        {"map_api_endpoint = http://127.0.0.1:1/",
         warn + "4: map_api_endpoint http://127.0.0.1:1/ is plain http://: the map key travels "
                "in clear text (use https://).\n"},
    };
    const std::string placeholder =
        "Warning: map_api_endpoint is not set, and the built-in endpoint is a placeholder: set "
        "map_api_endpoint to the map service's URL.\n";
    for (const auto &row : rows) {
        server_proc s = run_to_exit(f, config_basic(f.sock, "", row.first + "\n"), {"--check"});
        EXPECT_EQ(s.exit_status, 0) << row.first;
        std::string out = server_stdout(s), endpoint = "map_api_endpoint";
        EXPECT_EQ(out.substr(0, out.find("Configuration usable: ")),
                  row.second + (row.first.rfind(endpoint, 0) == 0 ? "" : placeholder))
            << row.first;
    }
}

// --check with --config: the given file is read, not the working directory's; the warnings and
// what would be used are printed, and nothing is opened: neither the socket nor the metrics
// port, which the same check then finds free again.
TEST_F(Startup, CheckOfAGivenFileSaysWhatWouldBeUsedAndOpensNothing) {
    std::string given = f.dir + "/given.ini";
    std::string metrics = "127.0.0.1:" + std::to_string(loopback_port_free());
    file_write(given,
               config_basic(f.sock, "https://127.0.0.1:1/p", "metrics_listen = " + metrics + "\n"));
    for (int round = 0; round < 2; round++) {
        server_proc s = run_to_exit(f, "not a configuration\n", {"--check", "--config", given});
        EXPECT_EQ(s.exit_status, 0);
        EXPECT_EQ(server_stdout(s),
                  "Configuration usable: would listen on " + f.sock + " (configuration " + given +
                      "; posting to https://127.0.0.1:1/p; interval 1000000 us; metrics on "
                      "http://" +
                      metrics + "/metrics).\n");
    }
    EXPECT_NE(access(f.sock.c_str(), F_OK), 0);
    // Beside the service that a restart would replace, what that service holds is no failure.
    file_write(given, file_read(given) + "spool_dir = " + f.dir + "/spool\n");
    server_options opt;
    opt.args = {"--config", given};
    server_proc running = server_start_with(f.dir, opt);
    scope_exit running_end{[&] { server_stop(running); }};
    ASSERT_TRUE(server_wait_listening(running, f.sock, WAIT_MS)) << server_stdout(running);
    server_proc s = run_to_exit(f, "not a configuration\n", {"--check", "--config", given});
    EXPECT_EQ(s.exit_status, 0) << server_stdout(s);
    const std::string whose =
        "'s (pid " + std::to_string(running.pid) + "), which a restart stops first.";
    for (const std::string &held : {"Socket path " + f.sock, "Metrics address " + metrics,
                                    "Spool folder " + f.dir + "/spool"})
        EXPECT_NE(server_stdout(s).find(held + " is the running service" + whose),
                  std::string::npos)
            << server_stdout(s);
}

// Anything that is no option ends the run at once with the usage and status 64: nothing is
// read, made or started.
TEST_F(Startup, MistypedOptionsStartNothing) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    for (std::vector<std::string> args : {std::vector<std::string>{"--chek"},
                                          {"-check"},
                                          {"-config", "halvex_mapapi_server.ini"},
                                          {"--config"}}) {
        server_options opt;
        opt.args = args;
        server_proc s = server_start_with(f.dir, opt);
        EXPECT_TRUE(server_wait_exit(s, WAIT_MS));
        EXPECT_EQ(s.exit_status, 64) << args[0];
        EXPECT_EQ(server_stderr(s).rfind("halvex_mapapi_server: " + args[0], 0), 0u)
            << server_stderr(s);
        EXPECT_NE(server_stderr(s).find("\nUsage: halvex_mapapi_server [-c FILE"),
                  std::string::npos);
        EXPECT_EQ(server_stdout(s), "");
        EXPECT_NE(access(f.sock.c_str(), F_OK), 0) << args[0];
    }
}

// What a start cannot use ends it before it makes anything, and --check fails alike: status 1
// and the same lines (one naming the value, or the key and both its lines, or the path and what
// is in the way), with no socket file or spool folder left. A row marked as the packaged unit
// runs it runs without capabilities.
TEST_F(Startup, UnusableConfigurationsEndStartUpAndFailTheCheck) {
    const std::string at = "halvex_mapapi_server.ini:", credentials = "map_id = abc\nmap_key = k\n";
    const std::string never = ": no point could ever be delivered; fill in the map's id and key.\n";
    const std::string no_scheme =
        " does not start with https:// (nor http://): batches cannot be "
        "posted to it.\n";
    const std::string spool = f.dir + "/spool", busy = f.dir + "/busy", file = f.dir + "/file";
    const std::string closed = f.dir + "/closed",
                      joined = "can hold the line break that would join";
    file_write(spool, "not a folder");
    file_write(file, "someone's data");
    ASSERT_EQ(mkdir(busy.c_str(), 0700) | mkdir(closed.c_str(), 0555), 0);
    int port = 0, held = loopback_listen(&port), busy_fd = open(busy.c_str(), O_RDONLY);
    scope_exit held_end{[&] { close(held), close(busy_fd); }};
    ASSERT_EQ(flock(busy_fd, LOCK_EX), 0);  // another service's spool
    const std::string taken = "127.0.0.1:" + std::to_string(port);
    struct row_case {
        std::string config, out, err = "";
        bool as_unit = false;
    };
    const row_case rows[] = {
        {"map_id = YOUR_MAP_ID\nmap_key = YOUR_MAP_KEY\n",
         at +
             "1: map_id and map_key are still the example's placeholders YOUR_MAP_ID and "
             "YOUR_MAP_KEY" +
             never},
        {"map_id = abc\nmap_key = YOUR_MAP_KEY\n",
         at + "2: map_key is still the example's placeholder YOUR_MAP_KEY" + never},
        {credentials + "map_api_endpoint = ftp://127.0.0.1/\n",
         at + "3: map_api_endpoint ftp://127.0.0.1/" + no_scheme},
        {credentials + "map_api_endpoint = 127.0.0.1:4434\n",
         at + "3: map_api_endpoint 127.0.0.1:4434" + no_scheme},
        {credentials + "map_api_keep_alive = maybe\n",
         "Invalid value for map_api_keep_alive: maybe (yes or no).\n" + at +
             "3: map_api_keep_alive = maybe\n"},
        {credentials + "spool_max_bytes = 1048575\n",
         "Invalid value for spool_max_bytes: 1048575 (a whole number from 1048576 to "
         "1099511627776).\n" +
             at + "3: spool_max_bytes = 1048575\n"},
        {credentials + "spool_max_age_sec = -1\n",
         "Invalid value for spool_max_age_sec: -1 (a whole number from 0 to 315360000).\n" + at +
             "3: spool_max_age_sec = -1\n"},
        {credentials + "spool_sync_usec = 1s\n",
         "Invalid value for spool_sync_usec: 1s (a whole number from 0 to 3600000000).\n" + at +
             "3: spool_sync_usec = 1s\n"},
        {"map_id = abc\nmap_key = YOUR_MAP_KEY\nmap_key = s3c\n",
         at + "3: map_key is given again (first on line 2); no map_key " + joined +
             " them: give it once.\n"},
        {"map_id = abc\n  def\nmap_key = k\n", at +
                                                   "2: this indented line continues map_id (line "
                                                   "1); no map_id " +
                                                   joined + " them: write it on one line.\n"},
        {credentials + "spool_dir = " + spool + "\n",
         "Spool folder " + spool + " is not a folder.\n"},
        {credentials + "spool_dir = " + f.dir + "/no/spool\n",
         "Spool folder " + f.dir + "/no/spool cannot be created (No such file or directory).\n"},
        {credentials + "spool_dir = " + busy + "\n",
         "Spool folder " + busy + " is in use by another service.\n"},
        {credentials + "spool_dir = " + closed + "/spool\n",
         "Spool folder " + closed + "/spool cannot be created (Permission denied).\n", "", true},
        {credentials + "unix_sock_path = " + f.dir + "/no/sock\n",
         "Socket path " + f.dir + "/no/sock: folder " + f.dir + "/no does not exist.\n",
         "bind: No such file or directory\n"},
        {credentials + "unix_sock_path = " + file + "\n",
         "Socket path " + file + " is a regular file; not removed.\n"},
        {credentials + "unix_sock_group = 4242\n",
         "Socket path " + f.sock +
             " cannot be given the group 4242 of unix_sock_group (chown: Operation not "
             "permitted): this service is not in that group; add it to the service's groups "
             "(SupplementaryGroups=4242 in a drop-in of its unit), or unset unix_sock_group.\n",
         "", true},
        {credentials + "metrics_listen = " + taken + "\n",
         "Cannot serve metrics (metrics_listen = " + taken + "): cannot bind to " + taken +
             ": 98 (Address already in use)\n"},
    };
    for (const auto &row : rows) {
        std::string config = row.config;
        if (config.find("unix_sock_path") == std::string::npos)
            config += "unix_sock_path = " + f.sock + "\n";
        file_write(f.dir + "/halvex_mapapi_server.ini", config);
        server_proc runs[2];
        for (int check = 0; check < 2; check++) {
            server_options opt;
            if (check)
                opt.args = {"--check"};
            if (row.as_unit && geteuid() == 0)
                opt.wrap = {"setpriv", "--inh-caps=-all", "--bounding-set=-all"};
            runs[check] = server_start_with(f.dir, opt);
            if (!server_wait_exit(runs[check], WAIT_MS))
                server_stop(runs[check]);
            EXPECT_EQ(runs[check].exit_status, 1) << config << check;
            EXPECT_EQ(server_stdout(runs[check]), row.out) << check;
            EXPECT_EQ(server_stderr(runs[check]), row.err) << check;
            EXPECT_NE(access(f.sock.c_str(), F_OK), 0) << config << check;
        }
        EXPECT_NE(access((closed + "/spool").c_str(), F_OK), 0);
        EXPECT_NE(access((f.dir + "/no").c_str(), F_OK), 0);
    }
}

// Plain HTTP to a port that speaks TLS: the line that reports failing posts names the scheme.
TEST_F(Startup, PlainHttpToATlsPortIsNamedInTheFailingLine) {
    map_stub stub;
    map_stub_start(stub);
    std::string url = map_stub_url(stub).replace(0, 5, "http");
    server_proc s = run_listening(f, config_basic(f.sock, url));
    scope_exit s_end{[&] { server_stop(s); }};
    int fd = unix_connect(f.sock);
    EXPECT_EQ(point_exchange(fd, "{}"), "OK\n");
    close(fd);
    EXPECT_TRUE(wait_until(
        [&] {
            return server_stdout(s).find(
                       "; the endpoint is http://, does its port expect "
                       "https://?); the points") != std::string::npos;
        },
        WAIT_MS))
        << server_stdout(s);
}

TEST_F(Startup, SocketIsOpenToEveryUserWhateverTheUmask) {
    stale_socket_make(f.sock);  // from an earlier run: removed
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_proc s = server_start(f.dir, 077);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_listening(s, f.sock, 5000)) << server_stderr(s);
    struct stat st;
    ASSERT_EQ(stat(f.sock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(server_stop(s), 0);
    EXPECT_NE(access(f.sock.c_str(), F_OK), 0) << "SIGINT must remove the socket file";
}

TEST_F(Startup, DefaultSocketPathIsUsedWhenNoneIsConfigured) {
    const char *default_path = HALVEX_DEFAULT_SOCK_PATH;
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
    EXPECT_NE(server_stdout(s).find("too long"), std::string::npos) << server_stdout(s);
    EXPECT_NE(access(path.substr(0, 107).c_str(), F_OK), 0)
        << "no truncated socket file may appear";
}

// Found missing before the lock beside the socket would be made in it.
TEST_F(Startup, PathInAMissingFolderNamesTheFolderAndExits) {
    std::string path = f.dir + "/no/such/folder/sock";
    server_proc s = run_to_exit(f, config_basic(path, ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stderr(s), "bind: No such file or directory\n");
    EXPECT_EQ(server_stdout(s),
              "Socket path " + path + ": folder " + f.dir + "/no/such/folder does not exist.\n");
}

// Only a socket file that nobody answers on is removed: a file, a folder or a running service
// at the path ends start-up with one line naming the path and what is there.
TEST_F(Startup, SocketPathHoldingAFileFolderOrLiveServiceIsRefused) {
    file_write(f.sock, "someone's data");
    server_proc s = run_to_exit(f, config_basic(f.sock, ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), "Socket path " + f.sock + " is a regular file; not removed.\n");
    EXPECT_EQ(file_read(f.sock), "someone's data");
    ASSERT_EQ(unlink(f.sock.c_str()), 0);
    ASSERT_EQ(mkdir(f.sock.c_str(), 0755), 0);
    s = run_to_exit(f, config_basic(f.sock, ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), "Socket path " + f.sock + " is a directory; not removed.\n");
    ASSERT_EQ(rmdir(f.sock.c_str()), 0);
    server_proc first = run_listening(f, config_basic(f.sock, ""));
    scope_exit first_end{[&] { server_stop(first); }};
    std::string other = f.dir + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    file_write(other + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_proc second = server_start(other);
    scope_exit second_end{[&] { server_stop(second); }};
    ASSERT_TRUE(server_wait_exit(second, WAIT_MS));
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(server_stdout(second),
              "Socket path " + f.sock + " is in use by a running service.\n");
    int fd = unix_connect(f.sock);
    EXPECT_EQ(point_exchange(fd, "{}"), "OK\n") << "the first service keeps its socket";
    close(fd);
    EXPECT_EQ(server_stop(first), 0);
}

// Without descriptors for the wake pipe the service could never serve a client: it stops.
TEST_F(Startup, FailedWakePipeEndsStartUp) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_options opt;
    // The standard three, the socket and the stop descriptor leave one: a pipe needs two. The
    // one left lets a sanitizer's leak check read /proc at exit.
    opt.fd_limit = 6;
    server_proc s = server_start_with(f.dir, opt);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_exit(s, WAIT_MS));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stderr(s).rfind("pipe: ", 0), 0u) << server_stderr(s);
}

// host:port of a URL, with the scheme's port when it names none.
static std::string url_authority(const std::string &url) {
    size_t from = url.find("://") + 3, to = url.find('/', from);
    std::string host = url.substr(from, to == std::string::npos ? std::string::npos : to - from);
    return host.find(':') == std::string::npos ? host + ":443" : host;
}

// A plain TCP listener on loopback standing in for a web proxy: keeps the heads of the first
// two requests it gets, the start-up probe's and the first post's. libcurl asks a proxy to
// connect to the endpoint by name, so the request names the endpoint without any name lookup
// or network.
struct proxy_stub {
    int fd = -1, port = 0;
    std::string heads[2];  // written by the thread before done is set
    std::atomic<bool> done{false};
    std::thread thread;
};

static void proxy_serve(proxy_stub *p) {
    for (std::string &head : p->heads) {
        int c = accept(p->fd, NULL, NULL);
        char buf[1024];
        pollfd pfd{c, POLLIN, 0};
        while (c >= 0 && head.find("\r\n\r\n") == std::string::npos &&
               poll(&pfd, 1, WAIT_MS) == 1) {
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            head.append(buf, (size_t)n);
        }
        if (c >= 0)
            close(c);
    }
    p->done = true;
}

TEST_F(Startup, WithoutAnEndpointBatchesGoToTheBuiltInOne) {
    proxy_stub proxy;
    proxy.fd = loopback_listen(&proxy.port);
    ASSERT_GE(proxy.fd, 0);
    proxy.thread = std::thread(proxy_serve, &proxy);
    scope_exit proxy_end{[&] {
        shutdown(proxy.fd, SHUT_RDWR);  // ends a wait in accept
        proxy.thread.join();
        close(proxy.fd);
    }};
    std::string via = "http://127.0.0.1:" + std::to_string(proxy.port);
    server_options opt;
    opt.env = {"https_proxy=" + via, "HTTPS_PROXY=" + via, "no_proxy",
               "NO_PROXY",           "all_proxy",          "ALL_PROXY"};
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_proc s = server_start_with(f.dir, opt);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_listening(s, f.sock, WAIT_MS)) << server_stderr(s);
    int fd = unix_connect(f.sock);
    EXPECT_EQ(point_exchange(fd, "{\"lat\":1,\"lng\":2}"), "OK\n");
    close(fd);
    ASSERT_TRUE(wait_until([&] { return proxy.done.load(); }, WAIT_MS));
    std::string authority = url_authority(HALVEX_DEFAULT_ENDPOINT_URL);
    for (const std::string &head : proxy.heads)
        EXPECT_EQ(head.rfind("CONNECT " + authority + " ", 0), 0u) << head;
}

// A private mount namespace for one start, set up by script (as root a mount namespace is
// enough; otherwise a user namespace maps us to root); "namespace ready" on standard error
// says that it is.
static std::vector<std::string> namespace_wrap(const std::string &script) {
    std::vector<std::string> w = {"unshare", "--mount"};
    if (geteuid() != 0)
        w.insert(w.begin() + 1, {"--user", "--map-root-user"});
    w.insert(w.end(),
             {"sh", "-c", script + " || exit 99; echo namespace ready >&2; exec \"$0\" \"$@\""});
    return w;
}

// Without --config the system file is read wherever it exists, even when it cannot be opened
// (here a socket file, which nobody can open, root included): start-up then fails and the
// working directory's file is not tried. Where it does not exist, the working directory's is
// read, and with neither both are named. The system path is only changed inside a private
// mount namespace: an empty folder over its own, or an overlay on /etc.
TEST_F(Startup, WithoutConfigTheSystemFileIsReadWhereItExistsElseTheWorkingDirectorys) {
    server_options opt;
    opt.config_lookup = true;
    std::string file = SYSTEM_CONFIG_FILE, folder = file.substr(0, file.rfind('/'));
    if (access(SYSTEM_CONFIG_FILE, F_OK) == 0)
        opt.wrap = namespace_wrap("mount -t tmpfs -o size=16k none " + folder);
    server_proc s = server_start_with(f.dir, opt);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_exit(s, WAIT_MS));
    if (!opt.wrap.empty() && server_stderr(s).find("namespace ready") == std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << server_stderr(s);
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), "Failed to read ini file.\nTried " +
                                    std::string(SYSTEM_CONFIG_FILE) +
                                    " (not there), then halvex_mapapi_server.ini in " + f.dir +
                                    ": No such file or directory.\n");
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    std::string upper = f.dir + "/etc-upper", work = f.dir + "/etc-work";
    ASSERT_EQ(mkdir(upper.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((upper + "/halvex-mapapi-server").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    stale_socket_make(upper + "/halvex-mapapi-server/halvex_mapapi_server.ini");
    opt.wrap = namespace_wrap("mount -t overlay overlay -o lowerdir=/etc,upperdir=" + upper +
                              ",workdir=" + work + " /etc");
    s = server_start_with(f.dir, opt);
    ASSERT_TRUE(server_wait_exit(s, WAIT_MS));
    if (server_stderr(s).find("namespace ready") == std::string::npos)
        GTEST_SKIP() << "no private mount namespace with an overlay here: " << server_stderr(s);
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), "Failed to read ini file.\nTried " +
                                    std::string(SYSTEM_CONFIG_FILE) +
                                    ": No such device or address (while it exists, "
                                    "halvex_mapapi_server.ini in the working directory is not "
                                    "read).\n");
}

static std::string in_use_line(const std::string &sock) {
    return "Socket path " + sock + " is in use by a running service.\n";
}

// A live service whose backlog is full does not answer the probe: start-up still ends, with
// the in-use line, instead of waiting for room with the stop signals blocked.
TEST_F(Startup, LiveSocketWithAFullBacklogIsInUse) {
    int busy = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", f.sock.c_str());
    ASSERT_EQ(bind(busy, (sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(busy, 0), 0);
    std::vector<int> queued;
    scope_exit closer{[&] {
        for (int fd : queued)
            close(fd);
        close(busy);
    }};
    for (int rc = 0; rc == 0;) {  // never accepted: the backlog fills
        queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        rc = connect(queued.back(), (sockaddr *)&addr, sizeof addr);
    }
    ASSERT_EQ(errno, EAGAIN);
    server_proc s = run_to_exit(f, config_basic(f.sock, ""));
    EXPECT_EQ(s.exit_status, 1);
    EXPECT_EQ(server_stdout(s), in_use_line(f.sock));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Rounds of the start race. A round of a sanitizer build costs seconds (eight starts, and its
// runtime pauses before a process with threads ends): there fewer rounds keep the test within
// its time limit on a loaded machine; any one of them still catches two services listening.
static const int START_RACE_ROUNDS = 10;
#else
static const int START_RACE_ROUNDS = 30;  // the race they would lose is narrow
#endif

// Services started together on a stale socket: exactly one takes the path, each other one
// ends with the in-use line. They wait on one FIFO and start when it reaches its end.
TEST_F(Startup, OfServicesStartedTogetherOnAStaleSocketExactlyOneListens) {
    const int rounds = START_RACE_ROUNDS, services = 8;
    std::string gate = f.dir + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    for (int r = 0; r < rounds; r++) {
        stale_socket_make(f.sock);
        int gate_fd = open(gate.c_str(), O_RDWR | O_CLOEXEC);  // lets the starts open it
        std::vector<server_proc> procs(services);
        scope_exit procs_end{[&] {
            for (server_proc &p : procs)
                server_stop(p);
        }};
        for (int i = 0; i < services; i++) {
            std::string dir = f.dir + "/" + std::to_string(r) + "-" + std::to_string(i);
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
            file_write(dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
            procs[i] = program_start(
                dir,
                {"sh", "-c", "read _; cd \"$1\" && exec \"$0\" --config halvex_mapapi_server.ini",
                 HALVEX_SERVER_BIN, dir},
                gate);
        }
        close(gate_fd);  // every start reads the end of the FIFO at once
        int ended = 0;
        wait_until(
            [&] {
                ended = 0;
                for (server_proc &p : procs)
                    ended += server_wait_exit(p, 0);
                return ended >= services - 1;
            },
            WAIT_MS);
        int running = services - ended;
        for (server_proc &p : procs) {
            if (p.pid < 0)
                EXPECT_EQ(server_stdout(p), in_use_line(f.sock)) << server_stderr(p);
            else
                EXPECT_TRUE(server_wait_listening(p, f.sock, WAIT_MS));
        }
        EXPECT_EQ(running, 1) << "round " << r;
    }
}

// Started with the standard descriptors closed: they are /dev/null, not the socket or a pipe
// that the log would write into.
TEST_F(Startup, ClosedStandardDescriptorsBecomeDevNull) {
    file_write(f.dir + "/halvex_mapapi_server.ini", config_basic(f.sock, ""));
    server_options opt;
    opt.wrap = {"sh", "-c", "exec \"$0\" \"$@\" 0<&- 1>&- 2>&-"};
    server_proc s = server_start_with(f.dir, opt);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_listening(s, f.sock, WAIT_MS));
    for (int fd = 0; fd <= 2; fd++) {
        std::string link = "/proc/" + std::to_string(s.pid) + "/fd/" + std::to_string(fd);
        char target[256] = "";
        EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
    }
    EXPECT_EQ(server_stop(s), 0);
}

// Standard output a pipe nobody reads: the first line written must not end the process by
// SIGPIPE; start-up fails with its own status.
TEST_F(Startup, StandardOutputWithoutAReaderDoesNotKillTheProcess) {
    server_options opt;
    opt.stdout_pipe = true;
    server_proc s = server_start_with(f.dir, opt);  // no config: one line, then status 1
    close(s.out_pipe);
    s.out_pipe = -1;
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_exit(s, WAIT_MS));
    EXPECT_EQ(s.exit_status, 1);
}
