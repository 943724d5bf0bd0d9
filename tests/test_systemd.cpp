// test_systemd.cpp -- the service under systemd's conventions: readiness, the watchdog's
// keep-alive, and a listening socket handed over the way socket activation does it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "mapapi/halvex_mapapi.h"
#include "service.h"
#include "notifier.h"

static const char POINT[] = "{\"lat\":1,\"lng\":2}";

using steady = std::chrono::steady_clock;

static long ms_since(steady::time_point from) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - from)
        .count();
}

// A Unix socket of the given type bound at path; listening when it is a stream socket.
static int unix_bound(const std::string &path, int type) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, (sockaddr *)&addr, sizeof addr) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// When a notification came, on the system clock: sent, as the kernel stamped it on arrival,
// and read, once this test got to it.
struct notify_times {
    std::chrono::nanoseconds sent{0}, read{0};
};

static std::chrono::nanoseconds system_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The next notification that holds text, or "" when none comes within WAIT_MS. The socket
// stamps what arrives (SO_TIMESTAMPNS, set by the fixture): its time is stored in *at.
static std::string notify_wait(int fd, const std::string &text, notify_times *at = nullptr) {
    auto end = steady::now() + std::chrono::milliseconds(WAIT_MS);
    while (steady::now() < end) {
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        if (poll(&p, 1, 100) <= 0)
            continue;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec iov{buf, sizeof buf - 1};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &msg, 0);
        if (n <= 0 || std::string(buf, (size_t)n).find(text) == std::string::npos)
            continue;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); at && c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec sent;
                memcpy(&sent, CMSG_DATA(c), sizeof sent);
                at->sent =
                    std::chrono::seconds(sent.tv_sec) + std::chrono::nanoseconds(sent.tv_nsec);
                at->read = system_clock_now();
            }
        }
        return std::string(buf, (size_t)n);
    }
    return "";
}

class Systemd : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tempdir_make();
        sock = dir + "/sock";
        notify_fd = unix_bound(dir + "/notify", SOCK_DGRAM);
        int on = 1;
        setsockopt(notify_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        map_stub_start(stub);
        file_write(dir + "/halvex_mapapi_server.ini", config_basic(sock, map_stub_url(stub)));
        opt.env = {"NOTIFY_SOCKET=" + dir + "/notify"};
    }
    void TearDown() override {
        close(notify_fd);
        tempdir_remove(dir);
    }
    std::string dir, sock;
    int notify_fd = -1;
    map_stub stub;
    server_options opt;
};

// READY=1 only once a client is answered; the keep-alive at half the watchdog period;
// RELOADING=1 and READY=1 again at SIGHUP; STOPPING=1 as soon as SIGTERM comes. The keep-alive's spacing is taken from when each was sent; a loaded
// machine wakes the service's notifier late just as it wakes this test, so the upper bound
// grows by how late this test read them on average.
TEST_F(Systemd, NotifiesReadinessKeepAliveAndStopping) {
    opt.env.push_back("WATCHDOG_USEC=400000");
    server_proc s = server_start_with(dir, opt);
    scope_exit stop{[&] { server_stop(s); }};
    std::string ready = notify_wait(notify_fd, "READY=1");
    ASSERT_NE(ready, "") << server_stdout(s) << server_stderr(s);
    EXPECT_NE(ready.find("STATUS=0 points accepted"), std::string::npos) << ready;
    int fd = unix_connect(sock);
    EXPECT_EQ(point_exchange(fd, POINT), "OK\n");
    close(fd);
    char stale[512];  // what came while this test was busy above was not waited for: dropped
    while (recv(notify_fd, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    notify_times first, at;
    ASSERT_NE(notify_wait(notify_fd, "WATCHDOG=1", &first), "");
    std::chrono::nanoseconds read_late{0};
    for (int i = 0; i < 4; i++) {
        ASSERT_NE(notify_wait(notify_fd, "WATCHDOG=1", &at), "");
        read_late += at.read - at.sent;
    }
    using std::chrono::milliseconds;
    long average_ms =
        (long)std::chrono::duration_cast<milliseconds>(at.sent - first.sent).count() / 4;
    long late_ms = (long)std::chrono::duration_cast<milliseconds>(read_late).count() / 4;
    EXPECT_GE(average_ms, 150);  // about every 200 ms, well inside the 400 ms period
    EXPECT_LT(average_ms, 350 + late_ms) << "each read " << late_ms << " ms late on average";
    kill(s.pid, SIGHUP);
    EXPECT_NE(notify_wait(notify_fd, "RELOADING=1\nMONOTONIC_USEC="), "");
    EXPECT_NE(notify_wait(notify_fd, "READY=1"), "");
    kill(s.pid, SIGTERM);
    EXPECT_NE(notify_wait(notify_fd, "STOPPING=1"), "");
    EXPECT_TRUE(server_wait_exit(s, WAIT_MS));
    EXPECT_EQ(s.exit_status, 0);
}

// Waiting for work is never stuck; a thread busy past its bound is, and the sender's bound
// lets the longest post finish.
TEST(SystemdProgress, OnlyAThreadBusyPastItsBoundIsStuck) {
    const int64_t hour = 3600000000LL, now = 10 * hour;
    EXPECT_FALSE(notifier_progress_stuck(now, 0, NOTIFIER_RECEIVER_STUCK_USEC));
    EXPECT_FALSE(notifier_progress_stuck(now, now - 1000, NOTIFIER_RECEIVER_STUCK_USEC));
    EXPECT_TRUE(notifier_progress_stuck(now, now - NOTIFIER_RECEIVER_STUCK_USEC - 1, NOTIFIER_RECEIVER_STUCK_USEC));
    const int64_t post_max = HALVEX_MAPAPI_POST_TIMEOUT_SEC * 1000000LL;
    EXPECT_FALSE(notifier_progress_stuck(now, now - post_max - 1000000, NOTIFIER_SENDER_STUCK_USEC));
    EXPECT_TRUE(notifier_progress_stuck(now, now - hour, NOTIFIER_SENDER_STUCK_USEC));
}

// The passed socket is served and stays, listening, at a stop: a client that connects while the
// old process drains is answered OK by the new one. Prints the time from SIGTERM to that OK.
TEST_F(Systemd, RestartOnThePassedSocketRefusesNoClient) {
    opt.listen_fds = {unix_bound(sock, SOCK_STREAM)};
    scope_exit close_listen{[&] { close(opt.listen_fds[0]); }};
    map_stub_reply(stub, 200, "true", 2000);  // the drain waits for this post
    server_proc old_s = server_start_with(dir, opt);
    scope_exit stop_old{[&] { server_stop(old_s); }};
    ASSERT_NE(notify_wait(notify_fd, "READY=1"), "") << server_stdout(old_s);
    int first = unix_connect(sock);
    EXPECT_EQ(point_exchange(first, POINT), "OK\n");
    close(first);
    ASSERT_EQ(map_stub_wait_posts(stub, 1, WAIT_MS), 1u);
    steady::time_point term = steady::now();
    kill(old_s.pid, SIGTERM);
    ASSERT_NE(notify_wait(notify_fd, "STOPPING=1"), "");
    int waiting = unix_connect(sock);
    ASSERT_GE(waiting, 0);
    ASSERT_TRUE(unix_send_all(waiting, POINT));
    EXPECT_FALSE(server_wait_exit(old_s, 0)) << "the old process should still be draining";
    ASSERT_TRUE(server_wait_exit(old_s, WAIT_MS));
    EXPECT_EQ(old_s.exit_status, 0);
    long old_ms = ms_since(term);
    EXPECT_EQ(access(sock.c_str(), F_OK), 0) << "the socket file must stay";
    map_stub_reply(stub, 200, "true", 0);
    server_proc new_s = server_start_with(dir, opt);
    scope_exit stop_new{[&] { server_stop(new_s); }};
    EXPECT_EQ(unix_reply_read(waiting, WAIT_MS), "OK\n");
    long total_ms = ms_since(term);
    printf(
        "[ measure  ] SIGTERM to the new process's OK: %ld ms (old process drained %ld ms, "
        "new one started and answered %ld ms)\n",
        total_ms, old_ms, total_ms - old_ms);
    close(waiting);
    EXPECT_EQ(server_stop(new_s), 0);
}

// A unix_sock_path other than the passed socket's is not used, and the start says so.
TEST_F(Systemd, PassedSocketOtherThanUnixSockPathIsNamed) {
    std::string passed = dir + "/passed";
    opt.listen_fds = {unix_bound(passed, SOCK_STREAM)};
    scope_exit close_listen{[&] { close(opt.listen_fds[0]); }};
    server_proc s = server_start_with(dir, opt);
    scope_exit stop{[&] { server_stop(s); }};
    EXPECT_TRUE(printed_wait(s, "Warning: the socket systemd passed is " + passed +
                                    "; unix_sock_path " + sock + " is not used"))
        << server_stdout(s);
    EXPECT_TRUE(printed_wait(s, "Listening on the socket systemd passed"));
}

// Anything but one listening Unix stream socket ends start-up with one line and status 1.
TEST_F(Systemd, TwoSocketsOrATcpSocketFailStartup) {
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // listening on a free port
    ASSERT_EQ(listen(tcp, 4), 0);
    int unix_fd = unix_bound(sock, SOCK_STREAM);
    scope_exit close_all{[&] { close(tcp), close(unix_fd); }};
    for (const std::vector<int> &fds : {std::vector<int>{unix_fd, tcp}, std::vector<int>{tcp}}) {
        opt.listen_fds = fds;
        server_proc s = server_start_with(dir, opt);
        if (!server_wait_exit(s, WAIT_MS))
            server_stop(s);
        EXPECT_EQ(s.exit_status, 1) << fds.size() << " descriptors";
        std::string out = server_stdout(s) + server_stderr(s);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
}

// On the journal's stream each line starts with its priority; on any other file, none does.
TEST_F(Systemd, JournalLinesCarryTheirPriority) {
    std::string config = config_basic(sock, map_stub_url(stub), "send_interval_usec = none\n");
    std::string second_dir = dir + "/second";
    ASSERT_EQ(mkdir(second_dir.c_str(), 0700), 0);
    for (const std::string &d : {dir, second_dir})
        file_write(d + "/halvex_mapapi_server.ini", config);
    opt.journal_stream = true;
    server_proc s = server_start_with(dir, opt);
    scope_exit stop{[&] { server_stop(s); }};
    ASSERT_TRUE(server_wait_listening(s, sock, WAIT_MS));
    // A second service on the same socket: a warning, then the error that ends its start-up.
    auto second_output = [&](const server_options &o) {
        server_proc p = server_start_with(second_dir, o);
        EXPECT_TRUE(server_wait_exit(p, WAIT_MS));
        server_stop(p);
        return server_stdout(p);
    };
    const std::string warning = "Invalid value for send_interval_usec.  Using default.\n";
    const std::string where = "halvex_mapapi_server.ini:5: send_interval_usec = none\n";
    const std::string in_use = "Socket path " + sock + " is in use by a running service.\n";
    EXPECT_EQ(second_output(opt), "<4>" + warning + "<4>" + where + "<3>" + in_use);
    server_options elsewhere;
    elsewhere.env = {"JOURNAL_STREAM=" + stream_name(s.out_path)};
    EXPECT_EQ(second_output(elsewhere), warning + where + in_use);
    server_stop(s);
    EXPECT_NE(server_stdout(s).find("\n<6>Stopped: 0 points posted"), std::string::npos);
}
