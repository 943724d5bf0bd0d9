// log.cpp -- console lines for standard output and standard error, through one writer thread.
//
// Callers copy a line into the filling half of a double buffer under log_lock; the writer swaps
// the halves and writes the full one out with no lock held, line by line. Between two swaps
// lines are only added until the half is full and then only dropped, so every line dropped in
// that time came after every line taken with the swap: the writer's count of them goes out
// right after those lines, in order.
//
// On the journal's stream each line starts with its priority, "<N>", which the journal takes
// off and keeps as the entry's priority; the prefix is added as the line is copied.
#include "base/log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "base/clock.h"
#include "base/fd_write.h"
#include "base/lock_rank.h"
// Lines held while the writer is behind: about half a megabyte, and several seconds of rejected
// messages at full speed, so a reader that catches up within that loses nothing.
#define LOG_LINES_MAX 1024

// Bytes of a priority prefix: "<N>".
#define LOG_PRIORITY_LEN (sizeof SD_INFO - 1)

// Locks: [l] log_lock, [w] writer thread only, [I] set by log_start before the writer starts.
struct log_entry {
    int fd;                                          // 1 for standard output, 2 for standard error
    size_t len;                                      // bytes of text, line break included
    char text[LOG_PRIORITY_LEN + LOG_LINE_MAX + 1];  // priority (on the journal), line, break
};

struct log_half {
    log_entry lines[LOG_LINES_MAX];
    size_t count;
};

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t log_filled = PTHREAD_COND_INITIALIZER;  // lines or drops to write
static pthread_cond_t log_written;  // [I] the writer caught up; waits on the service's clock
static log_half log_halves[2];
static log_half *log_filling = &log_halves[0];  // [l] where callers add lines
static unsigned long log_dropped;               // [l] lines dropped since the last swap
static unsigned long long log_handed;           // [l] lines handed over (dropped included)
static unsigned long long log_done;             // [l] of those, written or counted as dropped
static bool log_running;                        // [l] the writer thread has started
static bool log_journal[3];                     // [I] [fd]: fd writes to the journal
// Lines dropped since start-up: written under log_lock, read by anyone without it.
static std::atomic<unsigned long long> log_dropped_total;

// Copy line to out (room for LOG_LINE_MAX bytes) with each control character written as an
// escape ("\n", "\t", "\x1b"): a value echoed in a line (a key given twice is joined by a line
// break) can neither split it nor start a line of its own that claims a journal priority.
// Returns the bytes written; an escape that does not fit is left out with the rest.
static size_t line_copy_escaped(char *out, const char *line) {
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)line; *p; p++) {
        if (*p >= 0x20 && *p != 0x7f) {
            if (n == LOG_LINE_MAX)
                break;
            out[n++] = (char)*p;
            continue;
        }
        char escape[8];
        if (*p == '\n' || *p == '\t')
            snprintf(escape, sizeof escape, "\\%c", *p == '\n' ? 'n' : 't');
        else
            snprintf(escape, sizeof escape, "\\x%02x", *p);
        size_t len = strlen(escape);
        if (n + len > LOG_LINE_MAX)
            break;
        memcpy(out + n, escape, len);
        n += len;
    }
    return n;
}

// The line as it goes out: on the journal's stream its priority first, and always a line break,
// since the journal takes a line at a time. A text without a line break (log_text) goes out as
// given; a line has its control characters escaped.
static void entry_fill(log_entry *e, int fd, const char *priority, const char *line,
                       bool line_break) {
    size_t len = 0;
    bool as_given = !line_break;
    if (log_journal[fd]) {
        memcpy(e->text, priority, LOG_PRIORITY_LEN);
        len = LOG_PRIORITY_LEN;
        line_break = true;
    }
    if (as_given) {
        size_t text_len = strnlen(line, LOG_LINE_MAX);
        memcpy(e->text + len, line, text_len);
        len += text_len;
    } else
        len += line_copy_escaped(e->text + len, line);
    e->text[len] = '\n';
    e->fd = fd;
    e->len = len + line_break;
}

// Hand one line over, or count it as dropped when the buffer is full. Never waits for output.
static void log_put(int fd, const char *priority, const char *line, bool line_break = true) {
    lock_take(&log_lock, LOCK_RANK_LOG);
    if (!log_running) {
        lock_give(&log_lock, LOCK_RANK_LOG);
        log_entry e;
        entry_fill(&e, fd, priority, line, line_break);
        fd_write_all(fd, e.text, e.len);  // start-up, before the writer: one thread only
        return;
    }
    log_handed++;
    if (log_filling->count < LOG_LINES_MAX)
        entry_fill(&log_filling->lines[log_filling->count++], fd, priority, line, line_break);
    else {
        log_dropped++;
        log_dropped_total.store(log_dropped_total.load(std::memory_order_relaxed) + 1,
                                std::memory_order_relaxed);
    }
    pthread_cond_signal(&log_filled);
    lock_give(&log_lock, LOCK_RANK_LOG);
}

// Take the filled half and the drop count; wait for either. log_lock held.
static log_half *log_swap(unsigned long *dropped) {
    while (log_filling->count == 0 && log_dropped == 0)
        pthread_cond_wait(&log_filled, &log_lock);
    log_half *full = log_filling;
    log_filling = full == &log_halves[0] ? &log_halves[1] : &log_halves[0];
    *dropped = log_dropped;
    log_dropped = 0;
    return full;
}

// Lines lost are a warning: someone has to see why the output was not read.
static void dropped_note_write(unsigned long dropped) {
    char note[LOG_LINE_MAX];
    snprintf(note, sizeof note, "%lu log %s dropped: standard output was not read in time.",
             dropped, log_plural(dropped, "line", "lines"));
    log_entry e;
    entry_fill(&e, 1, SD_WARNING, note, true);
    fd_write_all(1, e.text, e.len);
}

static void *log_writer_thread_func(void *) {
    lock_take(&log_lock, LOCK_RANK_LOG);
    for (;;) {
        unsigned long dropped;
        log_half *full = log_swap(&dropped);
        lock_give(&log_lock, LOCK_RANK_LOG);
        for (size_t i = 0; i < full->count; i++)
            fd_write_all(full->lines[i].fd, full->lines[i].text, full->lines[i].len);
        if (dropped > 0)
            dropped_note_write(dropped);
        lock_take(&log_lock, LOCK_RANK_LOG);
        log_done += full->count + dropped;
        full->count = 0;
        pthread_cond_broadcast(&log_written);
    }
    return NULL;
}

// systemd names the journal's stream in JOURNAL_STREAM as "DEVICE:INODE"; standard output and
// standard error are each checked against it, as either may go elsewhere.
static void journal_streams_find(void) {
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    if (!stream || sscanf(stream, "%llu:%llu", &dev, &ino) != 2)
        return;
    for (int fd = 1; fd <= 2; fd++) {
        struct stat st;
        log_journal[fd] = fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    }
}

void log_start(void) {
    journal_streams_find();
    pthread_t writer;
    lock_take(&log_lock, LOCK_RANK_LOG);
    if (!log_running)
        clock_cond_init(&log_written);
    if (!log_running && pthread_create(&writer, NULL, log_writer_thread_func, NULL) == 0) {
        pthread_detach(writer);
        log_running = true;
    }
    lock_give(&log_lock, LOCK_RANK_LOG);
}

void log_line(const char *line) {
    log_put(1, SD_INFO, line);
}

void log_text(const char *text) {
    log_put(1, SD_ERR, text, false);
}

__attribute__((format(printf, 2, 0))) static void log_vput(const char *priority, const char *fmt,
                                                           va_list ap) {
    char line[LOG_LINE_MAX + 1];
    vsnprintf(line, sizeof line, fmt, ap);
    log_put(1, priority, line);
}

void log_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vput(SD_INFO, fmt, ap);
    va_end(ap);
}

void log_warnf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vput(SD_WARNING, fmt, ap);
    va_end(ap);
}

void log_errorf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vput(SD_ERR, fmt, ap);
    va_end(ap);
}

void log_perror(const char *call) {
    char reason[128];
    const char *text = strerror_r(errno, reason, sizeof reason);
    char line[LOG_LINE_MAX + 1];
    snprintf(line, sizeof line, "%s: %s", call, text);
    log_put(2, SD_ERR, line);
}

const char *log_plural(unsigned long long n, const char *one, const char *many) {
    return n == 1 ? one : many;
}

unsigned long long log_dropped_count(void) {
    return log_dropped_total.load(std::memory_order_relaxed);
}

void log_flush(int timeout_ms) {
    fflush(stdout);
    timespec until = clock_timespec(clock_now_usec() + (int64_t)timeout_ms * 1000);
    lock_take(&log_lock, LOCK_RANK_LOG);
    unsigned long long target = log_handed;
    while (log_running && log_done < target &&
           pthread_cond_timedwait(&log_written, &log_lock, &until) == 0) {
    }
    lock_give(&log_lock, LOCK_RANK_LOG);
}

void log_exit(int status) {
    log_flush(LOG_EXIT_FLUSH_MS);
    exit(status);
}
