// harness.cpp -- shared test helpers: temporary folders, the service process, its socket,
// and a loopback HTTPS server standing in for the map service.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tls_cert.h"

#ifndef HALVEX_SERVER_BIN
#error "HALVEX_SERVER_BIN must name the service binary"
#endif

std::string tempdir_make() {
    char tmpl[] = "/tmp/halvex-test-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    return dir ? std::string(dir) : std::string();
}

void tempdir_remove(const std::string &path) {
    if (path.rfind("/tmp/halvex-test-", 0) != 0)
        return;
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {
        // nothing useful to do: a leftover folder under /tmp harms no later test
    }
}

// Owner-only, as a configuration holding a map key should be: the service warns otherwise.
void file_write(const std::string &path, const std::string &text) {
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
    }
    chmod(path.c_str(), 0600);
}

std::string file_read(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// ---- the service under test -----------------------------------------------------------

// What one launch needs: the program and its arguments, where its three standard streams go,
// its working directory (empty: ours) and the options.
struct launch_spec {
    std::vector<std::string> args;
    std::string in_path, cwd;
    server_options opt;
};

// In the child, before exec: the sockets at 3, 4... open across exec, and the variables that
// name them for this process. Moved out of the way first, so no dup2 overwrites another's.
static void listen_fds_pass(const std::vector<int> &fds) {
    if (fds.empty())
        return;
    std::vector<int> moved;
    for (int fd : fds)
        moved.push_back(fcntl(fd, F_DUPFD_CLOEXEC, 3 + (int)fds.size()));
    for (size_t i = 0; i < moved.size(); i++)
        dup2(moved[i], 3 + (int)i);
    setenv("LISTEN_FDS", std::to_string(fds.size()).c_str(), 1);
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
}

// In the child, before exec: the streams were opened by the parent, so that they are fresh
// once the launch returns; every other descriptor closes on exec.
static void launch_child(const launch_spec &l, int in, int out, int err) {
    if (in < 0 || out < 0 || err < 0 || (!l.cwd.empty() && chdir(l.cwd.c_str()) != 0))
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (l.opt.journal_stream && dup2(1, 2) == 2)  // as under systemd's StandardOutput=journal
        setenv("JOURNAL_STREAM", stream_name("/proc/self/fd/1").c_str(), 1);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    listen_fds_pass(l.opt.listen_fds);
    umask(l.opt.umask_value);
    if (l.opt.fd_limit > 0) {
        rlimit lim{l.opt.fd_limit, l.opt.fd_limit};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
            _exit(127);
    }
    for (const std::string &e : l.opt.env) {
        if (e.find('=') == std::string::npos)
            unsetenv(e.c_str());
        else
            putenv(const_cast<char *>(e.c_str()));
    }
    std::vector<char *> argv;
    for (const std::string &a : l.opt.wrap)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &a : l.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

static server_proc process_launch(const std::string &dir, const launch_spec &l) {
    server_proc p;
    p.dir = dir;
    p.out_path = dir + "/stdout.txt";
    p.err_path = dir + "/stderr.txt";
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fds[2] = {-1, -1};
    if (l.opt.stdout_pipe && pipe2(fds, O_CLOEXEC) != 0)
        return p;
    int out = l.opt.stdout_pipe ? fds[1] : open(p.out_path.c_str(), flags, 0644);
    int err = open(p.err_path.c_str(), flags, 0644);
    int in = open(l.in_path.c_str(), O_RDONLY | O_CLOEXEC);
    p.pid = fork();
    if (p.pid == 0)
        launch_child(l, in, out, err);
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    p.out_pipe = fds[0];
    return p;
}

server_proc server_start_with(const std::string &dir, const server_options &opt) {
    std::vector<std::string> args = {HALVEX_SERVER_BIN};
    if (!opt.config_lookup)
        args.insert(args.end(), {"--config", "halvex_mapapi_server.ini"});
    args.insert(args.end(), opt.args.begin(), opt.args.end());
    return process_launch(dir, {args, "/dev/null", dir, opt});
}

server_proc server_start(const std::string &dir, mode_t umask_value) {
    server_options opt;
    opt.umask_value = umask_value;
    return server_start_with(dir, opt);
}

server_proc program_start(const std::string &dir, const std::vector<std::string> &args,
                          const std::string &in_path) {
    return process_launch(dir, {args, in_path, "", server_options()});
}

static bool server_reap(server_proc &s, int flags) {
    if (s.pid <= 0)
        return true;
    int status = 0;
    pid_t r = waitpid(s.pid, &status, flags);
    if (r != s.pid)
        return false;
    s.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    s.pid = -1;
    return true;
}

bool server_wait_exit(server_proc &s, int timeout_ms) {
    return wait_until([&] { return server_reap(s, WNOHANG); }, timeout_ms);
}

bool server_wait_listening(server_proc &s, const std::string &sock_path, int timeout_ms) {
    return wait_until(
               [&] {
                   if (s.pid <= 0 || server_reap(s, WNOHANG))
                       return true;
                   int fd = unix_connect(sock_path);
                   if (fd < 0)
                       return false;
                   close(fd);
                   return true;
               },
               timeout_ms) &&
           s.pid > 0;
}

int server_stop(server_proc &s) {
    if (s.out_pipe >= 0)
        close(s.out_pipe);  // a writer blocked on a full pipe must not keep it from exiting
    s.out_pipe = -1;
    if (s.pid <= 0)
        return s.exit_status;
    kill(s.pid, SIGINT);
    if (!server_wait_exit(s, 10000)) {  // it may take its 5 s to post what is queued
        kill(s.pid, SIGKILL);
        server_reap(s, 0);
    }
    return s.exit_status;
}

std::string stream_name(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

int fd_count(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

std::string server_stdout(const server_proc &s) {
    return file_read(s.out_path);
}
std::string server_stderr(const server_proc &s) {
    return file_read(s.err_path);
}

std::string config_basic(const std::string &sock_path, const std::string &endpoint,
                         const std::string &extra) {
    std::string text = "map_id = testmap1\nmap_key = testkey123456789\n";
    text += "unix_sock_path = " + sock_path + "\n";
    if (!endpoint.empty())
        text += "map_api_endpoint = " + endpoint + "\n";
    return text + extra;
}

const char SYSTEM_CONFIG_FILE[] = "/etc/halvex-mapapi-server/halvex_mapapi_server.ini";

// ---- loopback TCP ---------------------------------------------------------------------

// Room for every connection a test makes before it accepts any.
static const int LOOPBACK_BACKLOG = 16;

int loopback_listen(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, (sockaddr *)&addr, sizeof addr) != 0 ||
        listen(fd, LOOPBACK_BACKLOG) != 0 || getsockname(fd, (sockaddr *)&addr, &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int loopback_port_free() {
    int port = 0, fd = loopback_listen(&port);
    if (fd < 0)
        return 0;
    close(fd);
    return port;
}

// ---- client side of the local socket --------------------------------------------------

int unix_connect(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool unix_send_all(int fd, const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

std::string unix_reply_read(int fd, int timeout_ms) {
    std::string reply;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (reply.empty() || reply.back() != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, (int)left.count()) <= 0)
            return "";
        char c;
        if (recv(fd, &c, 1, 0) != 1)
            return "";
        reply.push_back(c);
    }
    return reply;
}

std::string point_exchange(int fd, const std::string &msg, int timeout_ms) {
    if (!unix_send_all(fd, msg))
        return "";
    return unix_reply_read(fd, timeout_ms);
}

void flood_unread(const std::string &sock) {
    int fd = unix_connect(sock);
    if (fd < 0)
        return;
    timeval limit{WAIT_MS / 1000, 0};  // a send blocked this long ends the flood
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string chunk = "{}" + std::string(1022, ' ');
    for (int i = 0; i < 20000 && unix_send_all(fd, chunk); i++) {
    }
    close(fd);
}

// ---- HTTPS stand-in for the map service -------------------------------------------------

// Close the stand-in's end of the connection from remote_port, as a middlebox that cuts it
// would; the answer this thread then writes fails without a SIGPIPE.
static void map_stub_connection_cut(int remote_port) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, NULL);
    for (int fd = 0; fd < 1024; fd++) {
        sockaddr_in peer;
        socklen_t len = sizeof peer;
        if (getpeername(fd, (sockaddr *)&peer, &len) == 0 && ntohs(peer.sin_port) == remote_port)
            shutdown(fd, SHUT_RDWR);
    }
}

// A request on a connection idle since its last answer for at least idle_close_ms: cut, as the
// proxy's close that crossed it would. Under m.lock.
static bool map_stub_idle_cut(map_stub &m, int port) {
    auto last = m.answered.find(port);
    if (!m.idle_close_ms || last == m.answered.end() ||
        std::chrono::steady_clock::now() - last->second <
            std::chrono::milliseconds(m.idle_close_ms))
        return false;
    m.answered.erase(last);
    m.idle_closes++;
    map_stub_connection_cut(port);
    return true;
}

static void map_stub_handle(map_stub &m, const httplib::Request &req, httplib::Response &res) {
    int status, delay_ms;
    std::string body;
    {
        std::lock_guard<std::mutex> g(m.lock);
        if (map_stub_idle_cut(m, req.remote_port))
            return;
        m.posts.push_back({req.method, req.path, req.get_header_value("Content-Type"), req.body,
                           std::chrono::steady_clock::now(), req.remote_port});
        if (m.posts.size() == m.unanswered_post)
            map_stub_connection_cut(req.remote_port);
        for (const auto &h : m.reply_headers)
            res.set_header(h.first, h.second);
        status = m.reply_status;
        body = m.reply_body;
        delay_ms = m.reply_delay_ms;
        if (m.custom)
            std::tie(status, body) = m.custom(req.path, req.body);
    }
    m.changed.notify_all();
    if (delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    res.status = status;
    if (status / 100 == 3)
        res.set_header("Location", body);
    res.set_content(body, "text/plain");
    std::lock_guard<std::mutex> g(m.lock);
    m.answered[req.remote_port] = std::chrono::steady_clock::now();
}

// A server with a fresh self-signed certificate that answers every POST and GET.
static void map_stub_create(map_stub &m) {
    m.dir = tempdir_make();
    std::string cert = m.dir + "/cert.pem", key = m.dir + "/key.pem";
    tls_cert_create(cert.c_str(), key.c_str());
    m.server = new httplib::SSLServer(cert.c_str(), key.c_str());
    auto handler = [&m](const httplib::Request &req, httplib::Response &res) {
        map_stub_handle(m, req, res);
    };
    // Kept connections make a stop wait for them to go idle: a second at most.
    m.server->set_keep_alive_timeout(1);
    m.server->set_keep_alive_max_count(m.answers_per_connection);
    m.server->set_tcp_nodelay(true);  // an answer goes out at once, as from a map service
    m.server->Post(".*", handler);
    m.server->Get(".*", handler);
}

static bool map_stub_run(map_stub &m) {
    m.thread = std::thread([&m] { m.server->listen_after_bind(); });
    return wait_until([&m] { return m.server->is_running(); }, WAIT_MS);
}

void map_stub_start(map_stub &m) {
    map_stub_create(m);
    m.port = m.server->bind_to_any_port("127.0.0.1");
    map_stub_run(m);
}

bool map_stub_start_on_port(map_stub &m, int port) {
    map_stub_create(m);
    if (!wait_until([&] { return m.server->bind_to_port("127.0.0.1", port); }, WAIT_MS))
        return false;
    m.port = port;
    return map_stub_run(m);
}

void map_stub_stop(map_stub &m) {
    if (m.server)
        m.server->stop();
    if (m.thread.joinable())
        m.thread.join();
    delete m.server;
    m.server = nullptr;
    tempdir_remove(m.dir);
    m.dir.clear();
}

map_stub::~map_stub() {
    map_stub_stop(*this);
}

std::string map_stub_url(const map_stub &m, const std::string &path) {
    return "https://127.0.0.1:" + std::to_string(m.port) + path;
}

size_t map_stub_wait_posts(map_stub &m, size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> g(m.lock);
    m.changed.wait_for(g, std::chrono::milliseconds(timeout_ms),
                       [&] { return m.posts.size() >= n; });
    return m.posts.size();
}

std::vector<received_post> map_stub_posts(map_stub &m) {
    std::lock_guard<std::mutex> g(m.lock);
    return m.posts;
}

void map_stub_reply(map_stub &m, int status, const std::string &body, int delay_ms) {
    std::lock_guard<std::mutex> g(m.lock);
    m.reply_status = status;
    m.reply_body = body;
    m.reply_delay_ms = delay_ms;
}

// ---- delivery: a map stand-in that comes back, and what the service printed ----------------

std::vector<long> map_stub_zipcodes(map_stub &m, size_t max_body) {
    static const std::string field = "\"zipcode\":\"";
    std::vector<long> codes;
    for (const received_post &p : map_stub_posts(m)) {
        size_t from = p.body.size() > max_body ? std::string::npos : p.body.find(field);
        for (size_t at = from; at != std::string::npos; at = p.body.find(field, at + 1))
            codes.push_back(atol(p.body.c_str() + at + field.size()));
    }
    return codes;
}

size_t server_stdout_count(const server_proc &s, const std::string &text) {
    std::string out = server_stdout(s);
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        n++;
    return n;
}

long server_failed_start_ms(void) {
    std::string dir = tempdir_make();
    auto launched = std::chrono::steady_clock::now();
    server_proc s = server_start(dir);
    server_wait_exit(s, WAIT_MS);
    auto took = std::chrono::steady_clock::now() - launched;
    server_stop(s);
    tempdir_remove(dir);
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}
