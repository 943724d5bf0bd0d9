// arrival_sink.cpp -- an HTTPS stand-in for the map service that logs when each point arrived.
//
// Usage: arrival_sink TLS_DIR LOG_FILE
//
// Listens on a free port of 127.0.0.1 (printed) with a self-signed certificate kept in
// TLS_DIR, answers every POST "true", and appends one line per post to LOG_FILE:
//   ARRIVAL_USEC CLIENT_PORT DELAY DELAY ...
// ARRIVAL_USEC is CLOCK_MONOTONIC in microseconds when the whole request had been read (the
// same clock as Python's time.monotonic on Linux), CLIENT_PORT tells the connections apart,
// and the DELAY values are the points' "delay" fields in body order: bench/latency puts a
// sequence number there. Connections are kept as long as the client keeps them. SIGINT or
// SIGTERM stops it.
//
// Threads: main blocks the stop signals, runs the server on a thread of its own and waits in
// sigwait; the server's workers share log_lock for the log.
#include <errno.h>
#include <httplib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "tls_cert.h"

static const char PROG[] = "arrival_sink";
static const char DELAY_KEY[] = "\"delay\":";
// A client may keep its connection for the whole benchmark: posts come at least every
// interval, and a run is minutes long.
static const size_t KEEP_ALIVE_POSTS = 1000000;
static const time_t KEEP_ALIVE_SECS = 60;
// How long start-up waits for the server's thread to run.
static const int START_WAIT_MS = 5000;

static std::mutex log_lock;
static FILE *log_file; /* [L] log_lock, after start-up */

static long long now_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// The line for one post: arrival, client port, then every "delay" value of the body.
static std::string arrival_line(long long arrival, int port, const std::string &body) {
    std::string line = std::to_string(arrival) + " " + std::to_string(port);
    for (size_t at = body.find(DELAY_KEY); at != std::string::npos;
         at = body.find(DELAY_KEY, at + 1)) {
        line += " ";
        line += std::to_string(strtoll(body.c_str() + at + sizeof DELAY_KEY - 1, NULL, 10));
    }
    return line + "\n";
}

static void post_handle(const httplib::Request &req, httplib::Response &res) {
    long long arrival = now_usec();  // the handler runs once the body has been read
    std::string line = arrival_line(arrival, req.remote_port, req.body);
    {
        std::lock_guard<std::mutex> g(log_lock);
        fputs(line.c_str(), log_file);
        fflush(log_file);
    }
    res.set_content("true", "text/plain");
}

// TLS_DIR's pair, made on first start.
static bool tls_pair_ensure(const std::string &dir, std::string *cert, std::string *key) {
    *cert = dir + "/cert.pem";
    *key = dir + "/key.pem";
    struct stat st;
    if (stat(cert->c_str(), &st) == 0 && stat(key->c_str(), &st) == 0)
        return true;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: cannot create %s: %s\n", PROG, dir.c_str(), strerror(errno));
        return false;
    }
    return tls_cert_create(cert->c_str(), key->c_str()) == 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc != 3) {
        fprintf(stderr, "usage: %s TLS_DIR LOG_FILE\n", PROG);
        return 64;
    }
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, NULL);
    std::string cert, key;
    if (!tls_pair_ensure(argv[1], &cert, &key))
        return 1;
    if (!(log_file = fopen(argv[2], "a"))) {
        fprintf(stderr, "%s: cannot open %s: %s\n", PROG, argv[2], strerror(errno));
        return 1;
    }
    httplib::SSLServer server(cert.c_str(), key.c_str());
    server.set_keep_alive_max_count(KEEP_ALIVE_POSTS);
    server.set_keep_alive_timeout(KEEP_ALIVE_SECS);
    server.set_tcp_nodelay(true);  // answers at once, as a map service's: no Nagle wait
    server.Post(".*", post_handle);
    int port = server.is_valid() ? server.bind_to_any_port("127.0.0.1") : -1;
    if (port <= 0) {
        fprintf(stderr, "%s: cannot listen on 127.0.0.1\n", PROG);
        return 1;
    }
    std::thread runner([&server] { server.listen_after_bind(); });
    // Until it runs, stop() would be a no-op, and a stop signal taken earlier would be lost.
    for (int waited = 0; !server.is_running() && waited < START_WAIT_MS; waited++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    printf("%s: listening on https://127.0.0.1:%d\n", PROG, port);
    int sig;
    sigwait(&stop_set, &sig);
    server.stop();
    runner.join();
    return 0;
}
