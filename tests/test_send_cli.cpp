// test_send_cli.cpp -- the command-line point sender against a real or a scripted local socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "intake/protocol.h"

// How the scripted service behaves towards each message.
enum fake_mode { FAKE_ANSWER, FAKE_SILENT, FAKE_HANG_UP };

// A scripted service: answers "FAILED\n" to messages holding "bad", else "OK\n".
struct fake_service {
    std::string path;
    int listen_fd = -1;
    fake_mode mode = FAKE_ANSWER;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<std::string> messages;  // each receive, in order; guarded by lock
};

// Wait for fd to become readable, a few ms at a time, until it is or stop is set.
static bool fake_readable(fake_service &f, int fd) {
    while (!f.stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0)
            return true;
    }
    return false;
}

static void fake_connection_serve(fake_service &f, int fd) {
    char buf[MESSAGE_MAX_BYTES];
    while (fake_readable(f, fd)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        std::string msg(buf, (size_t)n);
        {
            std::lock_guard<std::mutex> g(f.lock);
            f.messages.push_back(msg);
        }
        if (f.mode == FAKE_HANG_UP)
            return;
        if (f.mode == FAKE_ANSWER)
            unix_send_all(fd, msg.find("bad") != std::string::npos ? REPLY_FAILED : REPLY_OK);
    }
}

static void fake_start(fake_service &f, const std::string &path, fake_mode mode) {
    f.path = path;
    f.mode = mode;
    f.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(f.listen_fd, (sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(f.listen_fd, 4), 0);
    f.thread = std::thread([&f] {
        while (fake_readable(f, f.listen_fd)) {
            int fd = accept(f.listen_fd, nullptr, nullptr);
            if (fd < 0)
                continue;
            fake_connection_serve(f, fd);
            close(fd);
        }
    });
}

static std::vector<std::string> fake_stop(fake_service &f) {
    f.stop = true;
    if (f.thread.joinable())
        f.thread.join();
    if (f.listen_fd >= 0)
        close(f.listen_fd);
    f.listen_fd = -1;
    return f.messages;
}

// Run the sender with args and stdin from in_path; waits for it to end.
static server_proc send_run(const std::string &dir, const std::vector<std::string> &args,
                            const std::string &in_path = "/dev/null") {
    std::vector<std::string> argv = {HALVEX_SEND_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    server_proc p = program_start(dir, argv, in_path);
    if (!server_wait_exit(p, 15000))
        server_stop(p);
    return p;
}

class SendCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tempdir_make();
        sock = dir + "/sock";
    }
    void TearDown() override {
        fake_stop(fake);
        tempdir_remove(dir);
    }
    std::string dir, sock;
    fake_service fake;
};

TEST_F(SendCli, AcceptedPointsPrintNothingAndExitZero) {
    // The service in a folder of its own: its output files must not be the client's.
    std::string service_dir = dir + "/service";
    ASSERT_EQ(mkdir(service_dir.c_str(), 0700), 0);
    file_write(service_dir + "/halvex_mapapi_server.ini",
               config_basic(sock, "https://127.0.0.1:1"));
    server_proc s = server_start(service_dir);
    scope_exit s_end{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_listening(s, sock, 5000)) << server_stderr(s);
    server_proc p = send_run(dir, {"-s", sock, "{\"lat\":40.7128,\"lng\":-74.006}",
                                   "{\"zipcode\":\"02134\",\"r\":10,\"c\":\"#ff0000\"}"});
    server_stop(s);
    EXPECT_EQ(p.exit_status, 0) << server_stderr(p);
    EXPECT_EQ(server_stdout(p), "");
    EXPECT_EQ(server_stderr(p), "");
}

TEST_F(SendCli, RejectedPointIsReportedByNumberAndExitsOne) {
    fake_start(fake, sock, FAKE_ANSWER);
    server_proc p =
        send_run(dir, {"-s", sock, "{\"lat\":1,\"lng\":2}", "{\"bad\":1}", "{\"c\":3}"});
    EXPECT_EQ(p.exit_status, 1);
    EXPECT_EQ(server_stderr(p), "halvex_mapapi_send: message 2 rejected: {\"bad\":1}\n");
    EXPECT_EQ(server_stdout(p), "");
    std::vector<std::string> expected = {"{\"lat\":1,\"lng\":2}", "{\"bad\":1}", "{\"c\":3}"};
    EXPECT_EQ(fake_stop(fake), expected) << "each message must arrive alone, in order";
}

TEST_F(SendCli, SendsEachNonEmptyStdinLineUpTo1024Bytes) {
    fake_start(fake, sock, FAKE_ANSWER);
    std::string longest(1024, 'y'), too_long(1025, 'z');
    file_write(dir + "/in.txt",
               "{\"a\":1}\n\n{\"bad\":2}\r\n" + longest + "\n" + too_long + "\n{\"c\":3}");
    server_proc p = send_run(dir, {"-s", sock}, dir + "/in.txt");
    EXPECT_EQ(p.exit_status, 1);
    EXPECT_EQ(server_stderr(p),
              "halvex_mapapi_send: message 2 rejected: {\"bad\":2}\n"
              "halvex_mapapi_send: message 4 not sent: longer than 1024 bytes\n");
    std::vector<std::string> expected = {"{\"a\":1}", "{\"bad\":2}", longest, "{\"c\":3}"};
    EXPECT_EQ(fake_stop(fake), expected);
}

// Without -s the path comes from HALVEX_MAPAPI_SOCKET; -s wins over it.
TEST_F(SendCli, NoServiceExitsTwoWithAClearMessage) {
    setenv("HALVEX_MAPAPI_SOCKET", (dir + "/other").c_str(), 1);
    scope_exit env_end{[] { unsetenv("HALVEX_MAPAPI_SOCKET"); }};
    for (const auto &args : {std::vector<std::string>{"-s", sock}, {}}) {
        std::vector<std::string> argv = args;
        argv.push_back("{\"lat\":1,\"lng\":2}");
        server_proc p = send_run(dir, argv);
        EXPECT_EQ(p.exit_status, 2);
        EXPECT_EQ(server_stderr(p), "halvex_mapapi_send: cannot connect to " +
                                        (args.empty() ? dir + "/other" : sock) +
                                        ": No such file or directory (is halvex_mapapi_server "
                                        "running?)\n");
    }
}

// A socket this user may not use says so, not that the service may be down. Root passes any
// permission check: as root the sender runs as nobody, which cannot reach the test's folder.
TEST_F(SendCli, SocketThisUserMayNotUseNamesPermission) {
    fake_start(fake, sock, FAKE_ANSWER);
    ASSERT_EQ(chmod(sock.c_str(), 0), 0);
    std::vector<std::string> argv = {HALVEX_SEND_BIN, "-s", sock, "{}"};
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "root, and no setpriv to drop to nobody";
    if (geteuid() == 0)
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    server_proc p = program_start(dir, argv);
    ASSERT_TRUE(server_wait_exit(p, WAIT_MS));
    EXPECT_EQ(p.exit_status, 2);
    EXPECT_EQ(server_stderr(p), "halvex_mapapi_send: cannot connect to " + sock +
                                    ": Permission denied (this user may not use the socket: see "
                                    "unix_sock_mode and unix_sock_group)\n");
}

// Options after the messages are options; after "--" everything is a message.
TEST_F(SendCli, OptionsMayFollowTheMessages) {
    fake_start(fake, sock, FAKE_ANSWER);
    server_proc p = send_run(dir, {"{\"a\":1}", "-s", sock, "-t", "5", "--", "-s"});
    EXPECT_EQ(p.exit_status, 0) << server_stderr(p);
    EXPECT_EQ(fake_stop(fake), (std::vector<std::string>{"{\"a\":1}", "-s"}));
}

// A connection closed before the reply: the message was not read (the service answers each
// one it reads), so it goes again on a new connection until the time-out, then nothing more.
TEST_F(SendCli, ClosedConnectionStopsSendingAndExitsTwo) {
    fake_start(fake, sock, FAKE_HANG_UP);
    server_proc p =
        send_run(dir, {"-s", sock, "-t", "1", "{\"lat\":1,\"lng\":2}", "{\"lat\":3,\"lng\":4}"});
    EXPECT_EQ(p.exit_status, 2);
    EXPECT_NE(server_stderr(p).find("message 1: the service closed the connection before "
                                    "answering; nothing more sent"),
              std::string::npos)
        << server_stderr(p);
    std::vector<std::string> got = fake_stop(fake);
    EXPECT_GE(got.size(), 2u);
    EXPECT_EQ(std::count(got.begin(), got.end(), "{\"lat\":1,\"lng\":2}"), (long)got.size());
}

TEST_F(SendCli, SilentServiceTimesOutAndExitsTwo) {
    fake_start(fake, sock, FAKE_SILENT);
    server_proc p = send_run(dir, {"-s", sock, "-t", "1", "{\"lat\":1,\"lng\":2}"});
    EXPECT_EQ(p.exit_status, 2);
    EXPECT_NE(server_stderr(p).find("message 1: no reply within 1 s"), std::string::npos)
        << server_stderr(p);
}

TEST_F(SendCli, UsageErrorsExit64AndHelpExitsZero) {
    const std::vector<std::vector<std::string>> bad = {{"-s"}, {"-t", "0", "{}"}, {"-x", "{}"}};
    for (const auto &args : bad) {
        server_proc p = send_run(dir, args);
        EXPECT_EQ(p.exit_status, 64) << args[0];
        EXPECT_NE(server_stderr(p).find("--help"), std::string::npos);
        if (args[0] == "-t") {
            EXPECT_NE(server_stderr(p).find("time-out: 0 (whole seconds, 1 to 86400)\n"),
                      std::string::npos);
        }
    }
    server_proc p = send_run(dir, {"--help"});
    EXPECT_EQ(p.exit_status, 0);
    EXPECT_EQ(server_stdout(p).rfind("Usage: halvex_mapapi_send", 0), 0u);
}
