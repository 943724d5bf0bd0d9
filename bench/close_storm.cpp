// close_storm.cpp -- how long N idle clients closing at once keep a new client from its answer.
//
// For each server binary and each N: start the server in a fresh folder, connect N idle
// clients, then close them all and time from the first close until a new client's message is
// answered. Runs alternate between the servers, so that load from elsewhere falls on all.
// Usage: close_storm [--conns 1000,10000,30000] [--reps 3] --server PATH [--server PATH...]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

// Descriptors beyond the clients: the bench's own and the server's working set.
static const rlim_t FD_HEADROOM = 256;
// Longest wait for the server to listen or to answer (ms); a run beyond it is reported failed.
static const int WAIT_MS = 60000;
// Any message gets one reply; this one is refused at once and queues nothing.
static const char PROBE_MESSAGE[] = "x";

static double now_ms(void) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int unix_connect(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// A new client's message and its reply; false on failure. The receive timeout bounds it.
static bool exchange(const std::string &sock) {
    int fd = unix_connect(sock);
    timeval bound = {WAIT_MS / 1000, 0};
    char reply[16];
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0 &&
              send(fd, PROBE_MESSAGE, strlen(PROBE_MESSAGE), 0) > 0 &&
              recv(fd, reply, sizeof reply, 0) > 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

static pid_t server_start(const std::string &bin, const std::string &dir) {
    fflush(stdout);  // or the child would print the table's lines so far again
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr))
            _exit(127);
        execl(bin.c_str(), bin.c_str(), (char *)NULL);
        _exit(127);
    }
    return pid;
}

// Milliseconds from the first of n closes to a new client's answer, or -1.
static double storm_once(const std::string &bin, int n) {
    char dir[] = "/tmp/close_storm.XXXXXX";
    if (!mkdtemp(dir))
        return -1;
    std::string sock = std::string(dir) + "/sock";
    FILE *ini = fopen((std::string(dir) + "/halvex_mapapi_server.ini").c_str(), "w");
    fprintf(ini, "map_id = bench\nmap_key = bench\nunix_sock_path = %s\n", sock.c_str());
    fprintf(ini, "map_api_endpoint = https://127.0.0.1:1/\n");
    fclose(ini);
    pid_t pid = server_start(bin, dir);
    double end = now_ms() + WAIT_MS, took = -1;
    int probe = -1;
    while ((probe = unix_connect(sock)) < 0 && now_ms() < end)
        usleep(10000);  // start-up takes milliseconds; nothing to wait on before the socket
    if (probe >= 0)
        close(probe);
    std::vector<int> fds;
    for (int i = 0; probe >= 0 && i < n; i++)
        fds.push_back(unix_connect(sock));
    bool all = probe >= 0 && std::count(fds.begin(), fds.end(), -1) == 0;
    if (all && exchange(sock)) {  // answered: every older connection is watched by now
        double start = now_ms();
        for (int fd : fds)
            close(fd);
        fds.clear();
        if (exchange(sock))
            took = now_ms() - start;
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    unlink(sock.c_str());
    unlink((sock + ".lock").c_str());
    unlink((std::string(dir) + "/halvex_mapapi_server.ini").c_str());
    rmdir(dir);
    return took;
}

// Raise the descriptor limit for n clients; the server inherits it. False if it cannot be.
static bool fd_limit_for(int n) {
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    rlim_t want = (rlim_t)n + FD_HEADROOM;
    if (lim.rlim_cur >= want)
        return true;
    lim.rlim_cur = want;
    if (lim.rlim_max < want)
        lim.rlim_max = want;  // allowed to root only
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

int main(int argc, char **argv) {
    std::vector<std::string> servers;
    std::vector<int> conns = {1000, 10000, 30000};
    int reps = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--server"))
            servers.push_back(argv[i + 1]);
        else if (!strcmp(argv[i], "--reps"))
            reps = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--conns")) {
            conns.clear();
            for (char *p = argv[i + 1]; *p; p += *p == ',')
                conns.push_back((int)strtol(p, &p, 10));
        }
    }
    if (servers.empty()) {
        fprintf(stderr, "usage: close_storm [--conns N,N..] [--reps R] --server PATH...\n");
        return 64;
    }
    signal(SIGPIPE, SIG_IGN);
    printf("%-8s", "conns");
    for (size_t s = 0; s < servers.size(); s++)
        printf("  server%zu ms  ratio to %-6d", s + 1, conns[0]);
    printf("\n");
    std::vector<double> first(servers.size(), -1);
    for (int n : conns) {
        if (!fd_limit_for(n)) {
            printf("%-8d  skipped: the descriptor limit cannot be raised to %d\n", n, n);
            continue;
        }
        std::vector<std::vector<double>> times(servers.size());
        for (int r = 0; r < reps; r++)
            for (size_t s = 0; s < servers.size(); s++)
                times[s].push_back(storm_once(servers[s], n));
        printf("%-8d", n);
        for (size_t s = 0; s < servers.size(); s++) {
            double m = median(times[s]);
            if (first[s] < 0)
                first[s] = m;
            printf("  %10.1f  %14.1f", m, m / first[s]);
        }
        for (size_t s = 1; s < servers.size(); s++)
            printf("  server%zu/server1 %.3f", s + 1, median(times[s]) / median(times[0]));
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
