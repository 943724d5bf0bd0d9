// harness.h -- shared test helpers: temporary folders, the real service binary, its socket,
// and an HTTPS server on loopback standing in for the map service.
#ifndef HARNESS_H
#define HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class SSLServer;
}

// ---- files and folders ----------------------------------------------------------------

// A new empty folder under /tmp; removed by tempdir_remove().
std::string tempdir_make();
void tempdir_remove(const std::string &path);
void file_write(const std::string &path, const std::string &text);
std::string file_read(const std::string &path);

// Poll cond every few milliseconds until it holds or timeout_ms passes; returns its last value.
bool wait_until(const std::function<bool()> &cond, int timeout_ms);

// ---- the service under test -----------------------------------------------------------

struct server_proc {
    pid_t pid = -1;
    std::string dir;       // working directory; stdout and stderr land in files here
    std::string out_path;  // its standard output
    std::string err_path;  // its standard error
    int exit_status = -1;  // set once it has been reaped: exit code, or 128 + signal
};

// Start the real halvex_mapapi_server in dir (its working directory) with the given umask.
server_proc server_start(const std::string &dir, mode_t umask_value = 022);
// Start any program: args[0] is its path; standard input from in_path, standard output and
// standard error to files in dir (which is not its working directory).
server_proc program_start(const std::string &dir, const std::vector<std::string> &args,
                          const std::string &in_path = "/dev/null");
// Wait up to timeout_ms for the process to end; true if it did (exit_status is then set).
bool server_wait_exit(server_proc &s, int timeout_ms);
// Wait until something listens at sock_path (a connect succeeds) or the process ends.
bool server_wait_listening(server_proc &s, const std::string &sock_path, int timeout_ms);
// SIGINT, then wait up to 10 s; SIGKILL if it does not end. Returns its exit status.
int server_stop(server_proc &s);
std::string server_stdout(const server_proc &s);
std::string server_stderr(const server_proc &s);

// A config file in dir; extra lines are appended verbatim after the credentials.
std::string config_basic(const std::string &sock_path, const std::string &endpoint,
                         const std::string &extra = "");

// ---- client side of the local socket --------------------------------------------------

int unix_connect(const std::string &path);  // connected descriptor or -1
bool unix_send_all(int fd, const std::string &bytes);
// Read one reply (up to and including '\n'); "" on time-out or close.
std::string unix_reply_read(int fd, int timeout_ms);
// Send msg and read its reply.
std::string point_exchange(int fd, const std::string &msg, int timeout_ms = 5000);

// ---- HTTPS stand-in for the map service -------------------------------------------------

struct received_post {
    std::string method;
    std::string path;
    std::string content_type;
    std::string body;
    std::chrono::steady_clock::time_point at;
};

struct map_stub {
    std::string dir;  // certificate and key live here
    int port = 0;
    httplib::SSLServer *server = nullptr;  // owned; deleted by map_stub_stop()
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<received_post> posts;  // guarded by lock
    // How to answer, guarded by lock: status, body, delay before answering.
    int reply_status = 200;
    std::string reply_body = "true";
    int reply_delay_ms = 0;
    // Optional full override of the handler's answer (path, body) -> (status, body).
    std::function<std::pair<int, std::string>(const std::string &, const std::string &)> custom;
};

// Start on 127.0.0.1 with a fresh self-signed certificate; port is set when it returns.
void map_stub_start(map_stub &m);
void map_stub_stop(map_stub &m);
std::string map_stub_url(const map_stub &m, const std::string &path = "");
// Wait until at least n posts arrived; returns how many there are.
size_t map_stub_wait_posts(map_stub &m, size_t n, int timeout_ms);
std::vector<received_post> map_stub_posts(map_stub &m);
void map_stub_reply(map_stub &m, int status, const std::string &body, int delay_ms = 0);

// ---- delivery: a map stand-in that comes back, and what the service printed ----------------

// Start m again on a given port (after map_stub_stop), keeping the posts it has recorded;
// false when the port cannot be had within timeout_ms.
bool map_stub_start_on_port(map_stub &m, int port, int timeout_ms);
// The postal codes of every point posted to m, in the order the posts arrived.
std::vector<long> map_stub_zipcodes(map_stub &m);
// Times text occurs in the service's standard output.
size_t server_stdout_count(const server_proc &s, const std::string &text);

#endif
