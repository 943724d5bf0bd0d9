// config_needs.cpp -- what the keys need from the system, looked at before anything is made.
//
// A start runs these checks before it creates its spool folder, its socket or its metrics
// listener, and --check runs the same ones, so that --check fails exactly where a start would,
// with the same lines. Each check looks, probes or tries a lock and lets it go at once: it
// creates, binds and changes nothing, so that --check can run beside a running service, whose
// socket, metrics port and spool folder it tells from anyone else's.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/privilege.h"
#include "base/proc_holder.h"
#include "config.h"
#include "intake/listener.h"
#include "mapapi/halvex_mapapi.h"
#include "outbox/client_settings.h"

// The TCP state of a listening socket in /proc/net/tcp and tcp6.
static const unsigned TCP_LISTEN_STATE = 0x0A;
// Ports below this need CAP_NET_BIND_SERVICE when the system does not say otherwise.
static const int UNPRIVILEGED_PORT_START_DEFAULT = 1024;
// The service's program, as a running one is told from other holders of what a start needs.
static const char SERVICE_PROGRAM[] = "halvex_mapapi_server";

// ---- what the running service holds ---------------------------------------------------------

// --check beside the running service finds its socket, its metrics port and its spool folder
// in use. The restart that the check comes before stops that service first, so what it holds
// is no failure: one line says whose it is. Anyone else's holding fails the check, as it
// fails a start. A holder that cannot be seen (another user's, without privilege) fails too.
static int held_by_service(pid_t pid, const char *what, const char *name,
                           std::vector<config_line> *lines) {
    if (pid == 1)
        config_say(lines, CONFIG_LINE_NOTE,
                   "%s %s is held by the service manager (pid 1), which passes it to the "
                   "service at each start.",
                   what, name);
    else if (pid > 0)
        config_say(lines, CONFIG_LINE_NOTE,
                   "%s %s is the running service's (pid %d), which a restart stops first.", what,
                   name, (int)pid);
    return pid > 0 ? 0 : -1;
}

// ---- the socket and its group ------------------------------------------------------------

static int fault_say(const listener_fault &f, std::vector<config_line> *lines) {
    if (f.call)
        lines->push_back({CONFIG_LINE_CALL, f.call, f.err});
    if (!f.line.empty())
        config_say(lines, CONFIG_LINE_ERROR, "%s", f.line.c_str());
    return -1;
}

// Under socket activation the passed socket is served: a unix_sock_path that names another one
// would be ignored without a word.
static int socket_need(const service_config *cfg, bool check, std::vector<config_line> *lines) {
    std::string passed;
    listener_fault f;
    const char *path = cfg->sock_path.c_str();
    if (listener_check(path, cfg->sock_mode, cfg->sock_gid, &passed, &f) != 0) {
        unsigned long inode = check && f.in_use ? proc_unix_listener(path) : 0;
        pid_t holder = inode ? proc_socket_holder(inode, SERVICE_PROGRAM) : 0;
        if (holder > 0)
            return held_by_service(holder, "Socket path", path, lines);
        return fault_say(f, lines);
    }
    if (!passed.empty() && passed != cfg->sock_path)
        config_say(lines, CONFIG_LINE_WARNING,
                   "Warning: the socket systemd passed is %s; unix_sock_path %s is not used "
                   "(make ListenStream= of the socket unit and unix_sock_path the same path).",
                   passed.c_str(), cfg->sock_path.c_str());
    return 0;
}

static int group_need(const service_config *cfg, std::vector<config_line> *lines) {
    listener_fault f;
    if (listener_group_check(cfg->sock_path.c_str(), cfg->sock_gid, &f) != 0)
        return fault_say(f, lines);
    return 0;
}

// ---- the metrics port ----------------------------------------------------------------------

// A whole number from a file of /proc/sys, or fallback.
static long sysctl_read(const char *path, long fallback) {
    FILE *f = fopen(path, "re");
    long n = fallback;
    if (f && fscanf(f, "%ld", &n) != 1)
        n = fallback;
    if (f)
        fclose(f);
    return n;
}

// Whether addr (network order) is one this host can bind: any, loopback, or one of its own.
static bool address_local(in_addr_t addr) {
    if (addr == htonl(INADDR_ANY) || (ntohl(addr) >> 24) == IN_LOOPBACKNET ||
        sysctl_read("/proc/sys/net/ipv4/ip_nonlocal_bind", 0) == 1)
        return true;
    ifaddrs *all = NULL;
    bool found = false;
    if (getifaddrs(&all) != 0)
        return true;  // cannot tell: the bind will say
    for (ifaddrs *i = all; i && !found; i = i->ifa_next)
        found = i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                ((sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == addr;
    freeifaddrs(all);
    return found;
}

// Whether a table of /proc/net (tcp, or tcp6 with v6) lists a listening socket on port that
// a bind to addr (network order) would collide with: on the same address, or where either
// side is the wildcard (a dual-stack [::] included). *inode is that socket's.
static bool port_listened(const char *table, bool v6, int port, in_addr_t addr,
                          unsigned long *inode) {
    FILE *f = fopen(table, "re");
    char line[512], local[40];
    unsigned their_port, state;
    bool found = false;
    while (f && !found && fgets(line, sizeof line, f)) {
        if (sscanf(line, " %*u: %39[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %*s %*s %lu", local,
                   &their_port, &state, inode) != 4 ||
            (int)their_port != port || state != TCP_LISTEN_STATE)
            continue;
        // Each 32-bit word is printed as it is in memory, so it reads back in network order.
        uint32_t words[4] = {0, 0, 0, 0};
        for (int w = 0; w < (v6 ? 4 : 1); w++)
            words[w] = (uint32_t)strtoul(std::string(local + 8 * w, 8).c_str(), NULL, 16);
        bool any = !words[0] && !words[1] && !words[2] && !words[3];
        bool mapped = v6 && !words[0] && !words[1] && words[2] == htonl(0xffff);
        if (v6 && !any && !mapped)
            continue;  // an IPv6 address of its own: no IPv4 bind collides with it
        in_addr_t theirs = v6 && !any ? words[3] : words[0];
        found = theirs == htonl(INADDR_ANY) || addr == htonl(INADDR_ANY) || theirs == addr;
    }
    if (f)
        fclose(f);
    return found;
}

// What bind() would say for addr, without binding: 0, EADDRNOTAVAIL, EACCES or EADDRINUSE
// (*inode: the listening socket in the way).
static int bind_refusal(const metrics_address *a, unsigned long *inode) {
    in_addr addr;
    if (inet_pton(AF_INET, a->host, &addr) != 1)
        return EADDRNOTAVAIL;
    if (!address_local(addr.s_addr))
        return EADDRNOTAVAIL;
    long unprivileged = sysctl_read("/proc/sys/net/ipv4/ip_unprivileged_port_start",
                                    UNPRIVILEGED_PORT_START_DEFAULT);
    if (a->port < unprivileged && !privilege_held(CAP_NET_BIND_SERVICE))
        return EACCES;
    if (port_listened("/proc/net/tcp", false, a->port, addr.s_addr, inode) ||
        port_listened("/proc/net/tcp6", true, a->port, addr.s_addr, inode))
        return EADDRINUSE;
    return 0;
}

// The line is the one the HTTP server gives when its bind fails.
static int port_need(const service_config *cfg, bool check, std::vector<config_line> *lines) {
    const metrics_address *a = &cfg->metrics_addr;
    unsigned long inode = 0;
    int err = cfg->metrics_listen.empty() ? 0 : bind_refusal(a, &inode);
    if (err == 0)
        return 0;
    pid_t holder = check && err == EADDRINUSE ? proc_socket_holder(inode, SERVICE_PROGRAM) : 0;
    if (holder > 1)
        return held_by_service(holder, "Metrics address", cfg->metrics_listen.c_str(), lines);
    config_say(lines, CONFIG_LINE_ERROR,
               "Cannot serve metrics (metrics_listen = %s): cannot bind to %s:%d: %d (%s)",
               cfg->metrics_listen.c_str(), a->host, a->port, err, strerror(err));
    return -1;
}

// ---- the spool's folder ----------------------------------------------------------------

static int folder_say(std::vector<config_line> *lines, const char *dir, const char *what, int err) {
    config_say(lines, CONFIG_LINE_ERROR, "Spool folder %s %s (%s).", dir, what, strerror(err));
    return -1;
}

// A folder that is missing is made owner-only in its parent: the parent must exist and be
// writable. One that exists must be a folder this user can write in, and no other service's:
// its lock (flock on the folder) is tried and let go at once.
static int folder_need(const service_config *cfg, bool check, std::vector<config_line> *lines) {
    const char *dir = cfg->spool_dir.c_str();
    struct stat st;
    if (!*dir)
        return 0;
    if (stat(dir, &st) != 0) {
        std::string path = cfg->spool_dir;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        std::string parent = path.substr(0, path.find_last_of('/') + 1);
        if (errno == ENOENT && faccessat(AT_FDCWD, parent.empty() ? "." : parent.c_str(),
                                         W_OK | X_OK, AT_EACCESS) == 0)
            return 0;
        return folder_say(lines, dir, "cannot be created", errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        config_say(lines, CONFIG_LINE_ERROR, "Spool folder %s is not a folder.", dir);
        return -1;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        return folder_say(lines, dir, "cannot be written", err);
    }
    int rc = flock(fd, LOCK_EX | LOCK_NB), err = errno;
    close(fd);  // lets the lock go
    if (rc == 0)
        return 0;
    if (err != EWOULDBLOCK)
        return folder_say(lines, dir, "cannot be locked", err);
    pid_t holder = check ? proc_flock_holder(st.st_dev, st.st_ino, SERVICE_PROGRAM) : 0;
    if (holder > 0)
        return held_by_service(holder, "Spool folder", dir, lines);
    config_say(lines, CONFIG_LINE_ERROR, "Spool folder %s is in use by another service.", dir);
    return -1;
}

// ---- every need in the table's order ---------------------------------------------------

// The certificates are read now, as the client will read them, so that a file it could not
// load ends start-up (or refuses a reload) rather than leave the client half set up.
static int certificates_need(const service_config *cfg, std::vector<config_line> *lines) {
    int rc = halvex_mapapi_check_ca_file(cfg->ca_file.c_str());
    if (rc != 0)
        config_say(lines, CONFIG_LINE_ERROR, "%s",
                   client_settings_ca_line(rc, cfg->ca_file).c_str());
    return rc == 0 ? 0 : -1;
}

static int need_check(int need, const service_config *cfg, bool check,
                      std::vector<config_line> *lines) {
    switch (need) {
        case CONFIG_NEEDS_CERTIFICATES:
            return certificates_need(cfg, lines);
        case CONFIG_NEEDS_SOCKET:
            return socket_need(cfg, check, lines);
        case CONFIG_NEEDS_GROUP:
            return group_need(cfg, lines);
        case CONFIG_NEEDS_PORT:
            return port_need(cfg, check, lines);
        case CONFIG_NEEDS_FOLDER:
            return folder_need(cfg, check, lines);
        default:
            return 0;
    }
}

// What a start says once it runs, which --check says at once.
static void later_warnings_say(const service_config *cfg, std::vector<config_line> *lines) {
    in_addr a;
    if (!cfg->metrics_listen.empty() && inet_pton(AF_INET, cfg->metrics_addr.host, &a) == 1 &&
        (ntohl(a.s_addr) >> 24) != IN_LOOPBACKNET)
        config_say(lines, CONFIG_LINE_WARNING,
                   "Warning: metrics_listen = %s is not a loopback address: anyone who can reach "
                   "it can read the figures and slow its answers down.",
                   cfg->metrics_listen.c_str());
    if (cfg->endpoint.empty())
        config_say(lines, CONFIG_LINE_WARNING,
                   "Warning: map_api_endpoint is not set, and the built-in endpoint is a "
                   "placeholder: set map_api_endpoint to the map service's URL.");
}

int config_needs_check(const service_config *cfg, int purpose, std::vector<config_line> *lines) {
    for (size_t i = 0; i < CONFIG_KEYS_COUNT; i++) {
        const config_key &key = CONFIG_KEYS[i];
        if (purpose == CONFIG_FOR_RELOAD && key.reload == CONFIG_RELOAD_RESTART)
            continue;  // kept as it is: what it needs was found at start
        if (need_check(key.needs, cfg, purpose == CONFIG_FOR_CHECK, lines) != 0)
            return -1;
    }
    if (purpose == CONFIG_FOR_CHECK)
        later_warnings_say(cfg, lines);
    return 0;
}
