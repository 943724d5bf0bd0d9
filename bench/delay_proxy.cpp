// delay_proxy.cpp -- a loopback TCP forwarder that holds every chunk a fixed delay each way.
//
// Usage: delay_proxy LISTEN_PORT TARGET_HOST:PORT DELAY_MS [RUN_SECS [IDLE_CLOSE_MS]]
//
// Each chunk read from one side is written to the other side DELAY_MS after it was read, in
// order per direction; reading goes on meanwhile, so data is delayed, not throttled. A side
// that closes (or fails) is passed on as a shutdown after the same delay. A new connection's
// first bytes towards the target also wait out the round trip a connect over such a link takes
// (SYN there, SYN-ACK back), so a post over a new TLS connection pays the connect, the
// handshake and the request each at full delay. Listens on 127.0.0.1 (port 0: a free one,
// printed) and forwards to loopback only. Stops after RUN_SECS (default 600) or on SIGINT or
// SIGTERM, and then prints the connections it forwarded and the bytes each way.
//
// With IDLE_CLOSE_MS it also plays a proxy at the far end of the link that closes connections
// idle that long, as nginx's keepalive_timeout does: once nothing has reached the far end in
// either direction for that long, the target's side is closed, what reaches the far end after
// it is dropped (it counts the connections closed so, and the bytes a client had sent into such
// a close), and the close reaches the client one delay later.
//
// One thread, so nothing is locked: epoll over the listening socket, a signalfd and both sides
// of every link; each wait ends when the earliest held chunk is due.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>

static const char PROG[] = "delay_proxy";
// Links forwarded at once: a benchmark opens a handful; a connection beyond this is closed.
static const int MAX_LINKS = 256;
// Bytes taken per read; each read is one chunk with its own due time.
static const size_t CHUNK_MAX = 65536;
// Bytes held per direction before reading from that side pauses: bounds memory when the far
// side does not take what it is sent.
static const size_t HELD_MAX = 16u << 20;
// Longest delay and run accepted: longer would only look like a hang.
static const long DELAY_MAX_MS = 3600L * 1000;
static const long RUN_MAX_SECS = 24L * 3600;
static const long RUN_DEFAULT_SECS = 600;
// Exit status for a bad command line, as sysexits.h has it.
static const int EXIT_USAGE = 64;
static const int EVENTS_MAX = 64;
// epoll tags besides the link sides, which are 2 * slot + side.
static const uint64_t TAG_LISTEN = UINT64_MAX, TAG_SIGNAL = UINT64_MAX - 1;

struct chunk {
    int64_t due_usec;   // when it may be written
    std::string bytes;  // empty: the end of the stream, passed on as a shutdown
    size_t done;        // bytes of it already written
};

// One direction of a link: read from `from`, held, written to `to`.
struct flow {
    int from, to;
    std::deque<chunk> held;  // in read order, so in due order
    size_t held_bytes;
    unsigned long moved;  // bytes written so far
    int64_t floor_usec;   // no chunk leaves before this
    bool read_ended;      // end or error read from `from`: nothing more is read
    bool write_ended;     // the end was passed on to `to`
    bool blocked;         // `to` took no more: wait until it is writable
};

struct pair_link {
    bool used;
    int fds[2];               // [0] the client's side, [1] the target's
    unsigned watched[2];      // events each side is registered for; 0: not registered
    flow up, down;            // up: client to target; down: target to client
    int64_t far_active_usec;  // when bytes last reached the far end, either way
    bool far_closed;          // the far end closed it for idleness
};

static pair_link links[MAX_LINKS];
static int epoll_fd = -1;
static int64_t delay_usec;
static int64_t idle_close_usec;  // 0: the far end keeps idle connections
static unsigned long idle_closes, bytes_dropped;
static struct sockaddr_in target_addr;
static unsigned long links_opened, bytes_up, bytes_down;

static int64_t now_usec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// ---- links --------------------------------------------------------------------------------

// Chunks go out as soon as they are due: no coalescing, non-blocking writes.
static void fd_tune(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A loopback connect completes at once; -1 if the target is not listening.
static int target_connect(void) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (const struct sockaddr *)&target_addr, sizeof target_addr) != 0) {
        close(fd);
        return -1;
    }
    fd_tune(fd);
    return fd;
}

static void flow_init(flow *f, int from, int to, int64_t floor_usec) {
    f->from = from;
    f->to = to;
    f->held.clear();
    f->held_bytes = 0;
    f->moved = 0;
    f->floor_usec = floor_usec;
    f->read_ended = f->write_ended = f->blocked = false;
}

// Pair a new client connection with one to the target, or close it when there is no room or
// no target. The client's first bytes wait out the connect's round trip, then the one-way
// delay: three delays after the connection was taken.
static void link_open(int client, int64_t now) {
    int slot = 0;
    while (slot < MAX_LINKS && links[slot].used)
        slot++;
    int target = slot < MAX_LINKS ? target_connect() : -1;
    if (target < 0) {
        close(client);
        return;
    }
    fd_tune(client);
    pair_link *l = &links[slot];
    l->used = true;
    l->fds[0] = client;
    l->fds[1] = target;
    l->watched[0] = l->watched[1] = 0;
    flow_init(&l->up, client, target, now + 3 * delay_usec);
    flow_init(&l->down, target, client, 0);
    l->far_active_usec = now + 3 * delay_usec;
    l->far_closed = false;
    links_opened++;
}

static void link_close(pair_link *l) {
    close(l->fds[0]);  // closing takes them out of the epoll set
    close(l->fds[1]);
    bytes_up += l->up.moved;
    bytes_down += l->down.moved;
    std::deque<chunk>().swap(l->up.held);
    std::deque<chunk>().swap(l->down.held);
    l->used = false;
}

static void clients_accept(int listen_fd) {
    for (;;) {
        int fd = accept4(listen_fd, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            return;  // EAGAIN: all taken (the listening socket does not block)
        link_open(fd, now_usec());
    }
}

// ---- flows --------------------------------------------------------------------------------

// One read from the flow's source, held until one delay later (not before the flow's floor).
// The end of the stream, or an error, is held the same way and passed on as a shutdown.
static void flow_read(flow *f, int64_t now) {
    static char buf[CHUNK_MAX];
    ssize_t n = read(f->from, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    int64_t due = now + delay_usec > f->floor_usec ? now + delay_usec : f->floor_usec;
    f->held.push_back(chunk{due, n > 0 ? std::string(buf, (size_t)n) : std::string(), 0});
    if (n > 0)
        f->held_bytes += (size_t)n;
    else
        f->read_ended = true;
}

// Write what is due, in order, until the target takes no more. -1 when `to` failed: the link
// is closed then.
static int flow_write(flow *f, int64_t now) {
    while (!f->blocked && !f->held.empty() && f->held.front().due_usec <= now) {
        chunk *c = &f->held.front();
        if (c->bytes.empty()) {
            shutdown(f->to, SHUT_WR);
            f->write_ended = true;
        } else {
            ssize_t n =
                send(f->to, c->bytes.data() + c->done, c->bytes.size() - c->done, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                f->blocked = errno == EAGAIN;
                continue;
            }
            if (n < 0)
                return -1;
            c->done += (size_t)n;
            f->held_bytes -= (size_t)n;
            f->moved += (unsigned long)n;
            if (c->done < c->bytes.size())
                continue;
        }
        f->held.pop_front();
    }
    return 0;
}

static void fd_watch(int fd, unsigned *watched, unsigned want, uint64_t tag) {
    if (want == *watched)
        return;
    struct epoll_event ev;
    ev.events = want;
    ev.data.u64 = tag;
    int op = *watched == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    epoll_ctl(epoll_fd, op, fd, &ev);
    *watched = want;
}

// Register each side for what its flows wait for now: reading while the flow out of it still
// reads and has room, writing while the flow into it is blocked. A side waiting for nothing is
// taken out of the set, so that a hung-up socket does not wake the loop again and again.
static void link_watch(pair_link *l, int slot) {
    flow *out_of[2] = {&l->up, &l->down}, *into[2] = {&l->down, &l->up};
    for (int side = 0; side < 2; side++) {
        unsigned want = 0;
        if (!out_of[side]->read_ended && out_of[side]->held_bytes < HELD_MAX)
            want |= EPOLLIN;
        if (into[side]->blocked)
            want |= EPOLLOUT;
        fd_watch(l->fds[side], &l->watched[side], want, (uint64_t)(2 * slot + side));
    }
}

static void side_event(uint64_t tag, unsigned events, int64_t now) {
    pair_link *l = &links[tag / 2];
    flow *out_of = tag % 2 == 0 ? &l->up : &l->down, *into = tag % 2 == 0 ? &l->down : &l->up;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && !out_of->read_ended)
        flow_read(out_of, now);
    if (l->far_closed && out_of == &l->up) {  // it never reaches the far end
        bytes_dropped += l->up.held_bytes;
        std::deque<chunk>().swap(l->up.held);
        l->up.held_bytes = 0;
    }
    if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        into->blocked = false;
}

// The far end's last activity by now: a chunk from the client reaching it (at its due time),
// or one taken from the target (a delay before its due time).
static void far_activity(pair_link *l, int64_t now) {
    for (const chunk &c : l->up.held) {
        if (c.due_usec > now)
            break;
        if (c.due_usec > l->far_active_usec)
            l->far_active_usec = c.due_usec;
    }
    if (!l->down.held.empty() && l->down.held.back().due_usec - delay_usec > l->far_active_usec)
        l->far_active_usec = l->down.held.back().due_usec - delay_usec;
}

// The far end closes the idle connection: the target's side at once, what the client sent
// after it dropped, the client told one delay after.
static void far_close(pair_link *l, int64_t at) {
    l->far_closed = true;
    idle_closes++;
    shutdown(l->fds[1], SHUT_RDWR);
    bytes_dropped += l->up.held_bytes;
    std::deque<chunk>().swap(l->up.held);
    l->up.held_bytes = 0;
    l->up.write_ended = true;  // what the client sends from now on is read and dropped
    l->down.read_ended = true;
    l->down.held.push_back(chunk{at + delay_usec, std::string(), 0});
}

static void far_idle_check(pair_link *l, int64_t now) {
    int64_t close_at = l->far_active_usec + idle_close_usec;
    bool arriving = !l->up.held.empty() && l->up.held.front().due_usec <= close_at;
    if (idle_close_usec > 0 && !l->far_closed && now >= close_at && !arriving)
        far_close(l, close_at);
}

// Write what is due on every link; close a link once both ends were passed on or a side
// failed.
static void links_step(int64_t now) {
    for (int slot = 0; slot < MAX_LINKS; slot++) {
        pair_link *l = &links[slot];
        if (!l->used)
            continue;
        far_activity(l, now);
        int failed = flow_write(&l->up, now) != 0;
        far_idle_check(l, now);
        if (failed || flow_write(&l->down, now) != 0 || (l->up.write_ended && l->down.write_ended))
            link_close(l);
        else
            link_watch(l, slot);
    }
}

// The earliest time a held chunk can be written, or `until` if none comes sooner.
static int64_t links_next_due(int64_t until) {
    for (int slot = 0; slot < MAX_LINKS; slot++) {
        const pair_link *l = &links[slot];
        if (!l->used)
            continue;
        for (const flow *f : {&l->up, &l->down})
            if (!f->blocked && !f->held.empty() && f->held.front().due_usec < until)
                until = f->held.front().due_usec;
        if (idle_close_usec > 0 && !l->far_closed && l->far_active_usec + idle_close_usec < until)
            until = l->far_active_usec + idle_close_usec;
    }
    return until;
}

// The loop; returns why it ended.
static const char *links_run(int listen_fd, int64_t end_usec) {
    struct epoll_event events[EVENTS_MAX];
    for (;;) {
        int64_t now = now_usec();
        if (now >= end_usec)
            return "run time over";
        int64_t wait_usec = links_next_due(end_usec) - now;
        if (wait_usec < 0)
            wait_usec = 0;
        struct timespec wait = {(time_t)(wait_usec / 1000000), (long)(wait_usec % 1000000) * 1000};
        int n = epoll_pwait2(epoll_fd, events, EVENTS_MAX, &wait, NULL);
        if (n < 0 && errno != EINTR)
            return "epoll failed";
        now = now_usec();  // the read time of what this round takes in
        for (int i = 0; i < n; i++) {
            uint64_t tag = events[i].data.u64;
            if (tag == TAG_SIGNAL)
                return "signal";
            if (tag == TAG_LISTEN)
                clients_accept(listen_fd);
            else
                side_event(tag, events[i].events, now);
        }
        links_step(now_usec());
    }
}

// ---- start ----------------------------------------------------------------------------------

static void usage_exit(const char *why) {
    fprintf(stderr,
            "%s: %s\nusage: %s LISTEN_PORT TARGET_HOST:PORT DELAY_MS [RUN_SECS [IDLE_CLOSE_MS]]\n"
            "  forwards 127.0.0.1:LISTEN_PORT (0: a free port, printed) to a loopback target,\n"
            "  holding every chunk DELAY_MS each way; stops after RUN_SECS (default %ld)\n"
            "  or on SIGINT or SIGTERM; with IDLE_CLOSE_MS the far end closes connections\n"
            "  idle that long\n",
            PROG, why, PROG, RUN_DEFAULT_SECS);
    exit(EXIT_USAGE);
}

// A whole decimal number from lo to hi, or the usage message.
static long number_read(const char *text, long lo, long hi, const char *what) {
    char *end = NULL;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < lo || n > hi)
        usage_exit(what);
    return n;
}

// HOST:PORT with HOST "localhost" or an IPv4 address in 127.0.0.0/8.
static void target_read(const char *text) {
    const char *colon = strrchr(text, ':');
    std::string host = colon ? std::string(text, (size_t)(colon - text)) : std::string();
    if (host == "localhost")
        host = "127.0.0.1";
    memset(&target_addr, 0, sizeof target_addr);
    target_addr.sin_family = AF_INET;
    if (!colon || inet_pton(AF_INET, host.c_str(), &target_addr.sin_addr) != 1 ||
        (ntohl(target_addr.sin_addr.s_addr) >> 24) != 127)
        usage_exit("the target must be a loopback HOST:PORT");
    target_addr.sin_port = htons((uint16_t)number_read(colon + 1, 1, 65535, "bad target port"));
}

// Listening on 127.0.0.1:port, not blocking; the port bound is stored back.
static int listener_open(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)*port);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, (struct sockaddr *)&addr, &len) != 0) {
        fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", PROG, *port, strerror(errno));
        exit(1);
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

// SIGINT and SIGTERM arrive on a descriptor in the loop's set instead of interrupting it.
static int stop_signals_take(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, NULL);
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

static void epoll_tag_add(int fd, uint64_t tag) {
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc < 4 || argc > 6)
        usage_exit("three to five arguments wanted");
    int port = (int)number_read(argv[1], 0, 65535, "bad listening port");
    target_read(argv[2]);
    long delay_ms = number_read(argv[3], 0, DELAY_MAX_MS, "bad delay");
    long run_secs =
        argc >= 5 ? number_read(argv[4], 1, RUN_MAX_SECS, "bad run time") : RUN_DEFAULT_SECS;
    delay_usec = (int64_t)delay_ms * 1000;
    if (argc == 6)
        idle_close_usec = number_read(argv[5], 1, DELAY_MAX_MS, "bad idle close") * 1000L;
    int signal_fd = stop_signals_take();
    int listen_fd = listener_open(&port);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    epoll_tag_add(listen_fd, TAG_LISTEN);
    epoll_tag_add(signal_fd, TAG_SIGNAL);
    printf("%s: listening on 127.0.0.1:%d, forwarding to %s, %ld ms each way\n", PROG, port,
           argv[2], delay_ms);
    const char *why = links_run(listen_fd, now_usec() + run_secs * 1000000);
    for (int slot = 0; slot < MAX_LINKS; slot++)
        if (links[slot].used)
            link_close(&links[slot]);
    printf(
        "%s: stopped (%s); connections %lu, bytes up %lu, bytes down %lu; closed idle %lu, "
        "bytes dropped into a close %lu\n",
        PROG, why, links_opened, bytes_up, bytes_down, idle_closes, bytes_dropped);
    return 0;
}
