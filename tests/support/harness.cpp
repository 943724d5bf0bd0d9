// harness.cpp -- shared test helpers: temporary folders, the service process, its socket,
// and a loopback HTTPS server standing in for the map service.
#include "harness.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tls_cert.h"

extern char **environ;

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

void file_write(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
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

server_proc server_start(const std::string &dir, mode_t umask_value) {
    server_proc s;
    s.dir = dir;
    s.out_path = dir + "/stdout.txt";
    s.err_path = dir + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        umask(umask_value);
        execl(HALVEX_SERVER_BIN, HALVEX_SERVER_BIN, (char *)NULL);
        _exit(127);
    }
    s.pid = pid;
    return s;
}

server_proc program_start(const std::string &dir, const std::vector<std::string> &args,
                          const std::string &in_path) {
    server_proc p;
    p.dir = dir;
    p.out_path = dir + "/stdout.txt";
    p.err_path = dir + "/stderr.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&fa, 2, p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&p.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        p.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return p;
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
    if (s.pid <= 0)
        return s.exit_status;
    kill(s.pid, SIGINT);
    if (!server_wait_exit(s, 10000)) {  // it may take its 5 s to post what is queued
        kill(s.pid, SIGKILL);
        server_reap(s, 0);
    }
    return s.exit_status;
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

// ---- HTTPS stand-in for the map service -------------------------------------------------

static void map_stub_handle(map_stub &m, const httplib::Request &req, httplib::Response &res) {
    int status, delay_ms;
    std::string body;
    {
        std::lock_guard<std::mutex> g(m.lock);
        m.posts.push_back({req.method, req.path, req.get_header_value("Content-Type"), req.body,
                           std::chrono::steady_clock::now()});
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
    res.set_content(body, "text/plain");
}

void map_stub_start(map_stub &m) {
    m.dir = tempdir_make();
    std::string cert = m.dir + "/cert.pem", key = m.dir + "/key.pem";
    tls_cert_create(cert.c_str(), key.c_str());
    m.server = new httplib::SSLServer(cert.c_str(), key.c_str());
    auto handler = [&m](const httplib::Request &req, httplib::Response &res) {
        map_stub_handle(m, req, res);
    };
    m.server->Post(".*", handler);
    m.server->Get(".*", handler);
    m.port = m.server->bind_to_any_port("127.0.0.1");
    m.thread = std::thread([&m] { m.server->listen_after_bind(); });
    wait_until([&m] { return m.server->is_running(); }, 5000);
}

void map_stub_stop(map_stub &m) {
    if (m.server)
        m.server->stop();
    if (m.thread.joinable())
        m.thread.join();
    delete m.server;
    m.server = nullptr;
    tempdir_remove(m.dir);
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

bool map_stub_start_on_port(map_stub &m, int port, int timeout_ms) {
    m.dir = tempdir_make();
    std::string cert = m.dir + "/cert.pem", key = m.dir + "/key.pem";
    tls_cert_create(cert.c_str(), key.c_str());
    m.server = new httplib::SSLServer(cert.c_str(), key.c_str());
    m.server->Post(".*", [&m](const httplib::Request &req, httplib::Response &res) {
        map_stub_handle(m, req, res);
    });
    if (!wait_until([&] { return m.server->bind_to_port("127.0.0.1", port); }, timeout_ms))
        return false;
    m.port = port;
    m.thread = std::thread([&m] { m.server->listen_after_bind(); });
    return wait_until([&m] { return m.server->is_running(); }, timeout_ms);
}

std::vector<long> map_stub_zipcodes(map_stub &m) {
    static const std::string field = "\"zipcode\":\"";
    std::vector<long> codes;
    for (const received_post &p : map_stub_posts(m)) {
        for (size_t at = p.body.find(field); at != std::string::npos;
             at = p.body.find(field, at + 1))
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
