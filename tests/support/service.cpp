// service.cpp -- the one fixture of the tests that run the service.
#include "service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>

const char SERVICE_MAP_KEY[] = "testkey123456789";

// The process whose counters were checked last: each is checked once, by the line its stop
// printed, when every point is at rest.
static pid_t ledger_checked;

void ledger_check(const server_proc &s) {
    std::string out = server_stdout(s);
    size_t stopped = out.rfind("Stopped: "), at = out.find("Counters: points ", stopped);
    if (s.pid == ledger_checked || stopped == std::string::npos || at == std::string::npos)
        return;  // the stop's line, at rest; a process killed has none
    ledger_checked = s.pid;
    std::string points = out.substr(at, out.find(';', at) - at);  // "... held H"
    std::map<std::string, unsigned long long> n;
    for (size_t i = points.find("points ") + 7; i < points.size();) {
        size_t digit = points.find_first_of("0123456789", i);
        char *end;
        n[points.substr(i, digit - 1 - i)] = strtoull(points.c_str() + digit, &end, 10);
        i = (size_t)(end - points.c_str()) + 2;  // past ", "
    }
    EXPECT_EQ(n["carried in"] + n["accepted"], n["posted"] + n["refused"] + n["lost"] +
                                                   n["expired"] + n["unconfirmed"] +
                                                   n["set aside"] + n["held"])
        << out.substr(at);
}

service_run::~service_run() {
    if (fd >= 0)
        close(fd);
    server_stop(server);
    ledger_check(server);
    map_stub_stop(stub);
    tempdir_remove(dir);
}

void service_prepare(service_run &r, const std::string &extra, bool down) {
    if (r.endpoint.empty()) {
        map_stub_start(r.stub);
        r.stub_port = r.stub.port;
    }
    if (down)
        map_stub_stop(r.stub);
    r.dir = tempdir_make();
    r.sock = r.dir + "/sock";
    r.extra = extra;
}

void service_configure(service_run &r) {
    std::string url = r.endpoint.empty()
                          ? "https://127.0.0.1:" + std::to_string(r.stub_port) + "/points"
                          : r.endpoint;
    std::string lines = r.spool.empty() ? "" : "spool_dir = " + r.spool + "\n";
    std::string text = config_basic(r.sock, url, lines + r.extra);
    file_write(r.dir + "/halvex_mapapi_server.ini", text.replace(9, 8, r.map_id));
}

bool service_start(service_run &r, const server_options &opt) {
    service_configure(r);
    r.server = server_start_with(r.dir, opt);
    // The start line comes once the metrics endpoint and the threads are up too (a test that
    // reads standard output through a pipe reads it itself).
    auto started = [&] { return server_stdout_count(r.server, "Listening on ") > 0; };
    return server_wait_listening(r.server, r.sock, WAIT_MS) &&
           (opt.stdout_pipe || wait_until(started, WAIT_MS));
}

void service_up(service_run &r, const std::string &extra, bool down, const server_options &opt) {
    service_prepare(r, extra, down);
    ASSERT_TRUE(service_start(r, opt)) << server_stdout(r.server) << server_stderr(r.server);
}

bool map_back(service_run &r) {
    return map_stub_start_on_port(r.stub, r.stub_port);
}

int service_stop(service_run &r) {
    int status = server_stop(r.server);
    std::string out = server_stdout(r.server) + server_stderr(r.server);
    EXPECT_EQ(out.find(SERVICE_MAP_KEY), std::string::npos) << out;
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    ledger_check(r.server);
    return status;
}

std::string zip(long code, const char *colour) {
    std::string c = colour ? std::string(",\"c\":\"") + colour + "\"" : "";
    return "{\"zipcode\":" + std::to_string(code) + c + "}";
}

std::set<long> points_send(const std::string &sock, long first, long n) {
    std::set<long> ok;
    int fd = unix_connect(sock);
    for (long c = first; fd >= 0 && c < first + n; c++)
        if (point_exchange(fd, zip(c)) == "OK\n")
            ok.insert(c);
    if (fd >= 0)
        close(fd);
    return ok;
}

long replies_count(const std::string &sock, const std::string &msg, int n,
                   const std::string &reply) {
    int fd = unix_connect(sock);
    long matched = 0;
    for (int i = 0; fd >= 0 && i < n; i++)
        matched += point_exchange(fd, msg) == reply;
    if (fd >= 0)
        close(fd);
    return matched;
}

bool printed_wait(const server_proc &s, const std::string &text, size_t times, int ms) {
    return wait_until([&] { return server_stdout_count(s, text) >= times; }, ms);
}

bool printed_exactly(const server_proc &s, const std::string &text, size_t times, int ms) {
    printed_wait(s, text, times, ms);
    return server_stdout_count(s, text) == times;
}
