// harness.h -- shared test helpers: temporary folders, the real service binary, its socket,
// and an HTTPS server on loopback standing in for the map service.
#ifndef HARNESS_H
#define HARNESS_H

#include <stdint.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
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
// Write text to a file of mode 0600.
void file_write(const std::string &path, const std::string &text);
std::string file_read(const std::string &path);

// Poll cond every few milliseconds until it holds or timeout_ms passes; returns its last value.
bool wait_until(const std::function<bool()> &cond, int timeout_ms);

// Bound on any single wait for the service, a client or the map stand-in, in milliseconds:
// generous, for a loaded machine or a sanitizer build.
const int WAIT_MS = 10000;

// Runs its action when it goes out of scope, however the test ends: stops threads, processes.
struct scope_exit {
    std::function<void()> action;
    ~scope_exit() {
        if (action)
            action();
    }
};

// ---- the service under test -----------------------------------------------------------

struct server_proc {
    pid_t pid = -1;
    std::string dir;       // working directory; stdout and stderr land in files here
    std::string out_path;  // its standard output
    std::string err_path;  // its standard error
    int exit_status = -1;  // set once it has been reaped: exit code, or 128 + signal
    int out_pipe = -1;     // read end of its standard output, when started with stdout_pipe
};

// How to start the service; the defaults are what server_start() uses.
struct server_options {
    mode_t umask_value = 022;
    rlim_t fd_limit = 0;            // soft and hard descriptor limit; 0 keeps ours
    std::vector<std::string> env;   // "NAME=value" sets, "NAME" removes
    bool stdout_pipe = false;       // standard output to a pipe (out_pipe) instead of a file
    bool journal_stream = false;    // standard error joins it, and JOURNAL_STREAM names that file
    std::vector<std::string> wrap;  // a command the service runs under, e.g. {"unshare", ...}
    // Sockets handed over as systemd does it: from descriptor 3 on, LISTEN_FDS and LISTEN_PID.
    std::vector<int> listen_fds;
    // Arguments after the service's own "--config halvex_mapapi_server.ini" (a later --config
    // wins), or, with config_lookup, its only ones: it then looks for its file itself, and
    // finds the system one where it exists.
    std::vector<std::string> args;
    bool config_lookup = false;
};

// How long the service takes here and now from its launch to its end when start-up fails (no
// configuration), in milliseconds: what the build and the machine's load add to a process's
// start and end, outside anything the service does. A sanitizer's runtime, for one, pauses
// before a process with threads ends. Bounds on a stop add it.
long server_failed_start_ms(void);

// Start the real halvex_mapapi_server in dir (its working directory) with the given umask, on
// the configuration file dir/halvex_mapapi_server.ini (named by --config, so that a system
// file never stands in for it).
server_proc server_start(const std::string &dir, mode_t umask_value = 022);
server_proc server_start_with(const std::string &dir, const server_options &opt);
// Start any program: args[0] is its path; standard input from in_path, standard output and
// standard error to files in dir (which is not its working directory).
server_proc program_start(const std::string &dir, const std::vector<std::string> &args,
                          const std::string &in_path = "/dev/null");
// Wait up to timeout_ms for the process to end; true if it did (exit_status is then set).
bool server_wait_exit(server_proc &s, int timeout_ms);
// Wait until something listens at sock_path (a connect succeeds) or the process ends.
bool server_wait_listening(server_proc &s, const std::string &sock_path, int timeout_ms);
// SIGINT, then wait up to 10 s; SIGKILL if it does not end. Returns its exit status. Does
// nothing for a process already reaped, so it is safe to call again from clean-up.
int server_stop(server_proc &s);
// A file's "DEVICE:INODE", as systemd names the journal's stream in JOURNAL_STREAM.
std::string stream_name(const std::string &path);
// Descriptors the process has open, or -1.
int fd_count(pid_t pid);
std::string server_stdout(const server_proc &s);
std::string server_stderr(const server_proc &s);

// A config file in dir; extra lines are appended verbatim after the credentials.
std::string config_basic(const std::string &sock_path, const std::string &endpoint,
                         const std::string &extra = "");

// The system-wide configuration, which the service reads when it is given no --config.
extern const char SYSTEM_CONFIG_FILE[];

// ---- client side of the local socket --------------------------------------------------

int unix_connect(const std::string &path);  // connected descriptor or -1
bool unix_send_all(int fd, const std::string &bytes);
// Read one reply (up to and including '\n'); "" on time-out or close.
std::string unix_reply_read(int fd, int timeout_ms);
// Send msg and read its reply.
std::string point_exchange(int fd, const std::string &msg, int timeout_ms = 5000);
// A client on its own connection that sends whole-receive messages and never reads a reply,
// until the service closes it or a send blocks for WAIT_MS.
void flood_unread(const std::string &sock);

// ---- loopback TCP ---------------------------------------------------------------------

// A TCP listener on 127.0.0.1 at a port the system picks, stored in *port; connections wait
// in its backlog until the caller accepts them. Returns the descriptor to close, or -1.
int loopback_listen(int *port);
// A loopback port that was free a moment ago: nothing listens there. 0 when none was found.
int loopback_port_free();

// ---- HTTPS stand-in for the map service -------------------------------------------------

struct received_post {
    std::string method;
    std::string path;
    std::string content_type;
    std::string body;
    std::chrono::steady_clock::time_point at;
    int client_port;  // the connection it came on
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
    std::vector<std::pair<std::string, std::string>> reply_headers;  // sent with every answer
    // Answers on one connection before the stand-in closes it ("Connection: close" on the
    // last); read when it starts. An idle connection is closed after a second.
    size_t answers_per_connection = 1000;
    // The post of this number (1 for the first) is read whole and never answered: its
    // connection is closed instead. 0: every post is answered.
    size_t unanswered_post = 0;
    // A proxy in front that closes connections idle this long, its close crossing the next
    // request: a request on a connection idle at least this long since its last answer is
    // not answered, not passed on (not in posts) and its connection is closed. 0: none.
    int idle_close_ms = 0;
    size_t idle_closes = 0;                                         // such requests, by lock
    std::map<int, std::chrono::steady_clock::time_point> answered;  // per client port, by lock
    // Optional full override of the handler's answer (path, body) -> (status, body); a 3xx
    // status redirects to the URL or path in the body.
    std::function<std::pair<int, std::string>(const std::string &, const std::string &)> custom;
    ~map_stub();  // stops it, so a failed assertion cannot leave its thread joinable
};

// Start on 127.0.0.1 with a fresh self-signed certificate; port is set when it returns.
void map_stub_start(map_stub &m);
// The same on a given port, as a map service that comes back where it was; false if the port
// stays taken for WAIT_MS.
bool map_stub_start_on_port(map_stub &m, int port);
// Stop it and remove its folder; safe to call again.
void map_stub_stop(map_stub &m);
std::string map_stub_url(const map_stub &m, const std::string &path = "");
// Wait until at least n posts arrived; returns how many there are.
size_t map_stub_wait_posts(map_stub &m, size_t n, int timeout_ms);
std::vector<received_post> map_stub_posts(map_stub &m);
void map_stub_reply(map_stub &m, int status, const std::string &body, int delay_ms = 0);

// ---- delivery: a map stand-in that comes back, and what the service printed ----------------

// The postal codes of every point posted to m in a body of at most max_body bytes, in the
// order the posts arrived.
std::vector<long> map_stub_zipcodes(map_stub &m, size_t max_body = SIZE_MAX);
// Times text occurs in the service's standard output.
size_t server_stdout_count(const server_proc &s, const std::string &text);

#endif
