// spool_file.cpp -- the spool's files on disk: the folder and its lock, names, looking before
// opening, where records end, reading back past damage, making a segment, the done file.
#include "outbox/spool_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/fd_write.h"
#include "base/file_kind.h"
#include "base/log.h"

// Segment file names: this prefix, the first record's number in 16 hex digits, this suffix.
static const char SEGMENT_PREFIX[] = "seg-";
static const char SEGMENT_SUFFIX[] = ".spool";
static const size_t SEGMENT_HEX_DIGITS = 16;
// Files an earlier run moved aside: this prefix and the name they had.
static const char ASIDE_PREFIX[] = "aside-";
// The done file of a map id: this prefix and the id's bytes in hex.
static const char MARKS_PREFIX[] = "done-";

void spool_cursor_start(spool_cursor *c, int fd, int64_t pos, int64_t end) {
    c->fd = fd;
    c->pos = pos;
    c->end = end;
    c->chunk = SPOOL_READ_CHUNK;
    c->buf_at = pos;
    c->buf_len = 0;
}

// Read into the window from offset from, up to the chunk or the end; a file shorter than the
// end moves the end to where the file ends. Returns the bytes read, or -1.
static long window_read(spool_cursor *c, int64_t from) {
    size_t want = c->chunk;
    if ((int64_t)want > c->end - from)
        want = (size_t)(c->end - from);
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(c->fd, c->buf + got, want - got, from + (int64_t)got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    c->buf_at = from;
    c->buf_len = got;
    if (got < want)
        c->end = from + (int64_t)got;
    return (long)got;
}

// The bytes from offset from on in the window, reading it anew unless it holds a record's
// worth from there (or all there is before the end). -1 on a read error.
static long window_at(spool_cursor *c, int64_t from) {
    int64_t have_end = c->buf_at + (int64_t)c->buf_len;
    bool inside = from >= c->buf_at && from <= have_end;
    if (inside && (from + SPOOL_RECORD_BYTES <= have_end || have_end >= c->end))
        return (long)(have_end - from);
    return window_read(c, from);
}

// From offset from on, the first good record: its offset, or the end when there is none.
// -1 on a read error. A record that could start in the last bytes of a window is looked for
// again in the next one.
static int64_t record_seek(spool_cursor *c, int64_t from) {
    while (from < c->end) {
        long avail = window_at(c, from);
        if (avail < 0)
            return -1;
        if (avail == 0)
            break;
        long found = spool_record_find(c->buf, c->buf_len, (size_t)(from - c->buf_at));
        if (found >= 0)
            return c->buf_at + found;
        int64_t window_end = c->buf_at + (int64_t)c->buf_len;
        if (window_end >= c->end)
            break;
        int64_t unseen = window_end - (SPOOL_RECORD_BYTES - 1);
        from = unseen > from ? unseen : from + 1;
    }
    return c->end;
}

int spool_cursor_next(spool_cursor *c, spool_record *rec, int64_t *at, int64_t *next) {
    if (c->pos >= c->end)
        return SPOOL_READ_END;
    long avail = window_at(c, c->pos);
    if (avail < 0)
        return SPOOL_READ_ERROR;
    if (avail == 0)
        return SPOOL_READ_END;  // the file ends before the end it was read to
    *at = c->pos;
    if (spool_record_decode(c->buf + (c->pos - c->buf_at), (size_t)avail, rec) == 0) {
        c->pos += SPOOL_RECORD_BYTES;
        *next = c->pos;
        return SPOOL_READ_RECORD;
    }
    int64_t good = record_seek(c, c->pos + 1);
    if (good < 0)
        return SPOOL_READ_ERROR;
    c->pos = good;
    *next = good;
    return SPOOL_READ_DAMAGE;
}

uint64_t spool_damaged_records(int64_t bytes) {
    return bytes <= 0 ? 0 : ((uint64_t)bytes + SPOOL_RECORD_BYTES - 1) / SPOOL_RECORD_BYTES;
}

// Locked through its own descriptor, which stays open until the process ends: a file in it
// that is deleted or replaced undoes nothing.
static int dir_lock(int fd, const char *path) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno == EWOULDBLOCK)
        log_errorf("Spool folder %s is in use by another service.", path);
    else
        log_errorf("Spool folder %s cannot be locked (%s).", path, strerror(errno));
    return -1;
}

int spool_dir_open(const std::string &dir) {
    const char *path = dir.c_str();
    if (mkdir(path, 0700) != 0 && errno != EEXIST) {
        log_errorf("Spool folder %s cannot be created (%s).", path, strerror(errno));
        return -1;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOTDIR) {
        log_errorf("Spool folder %s is not a folder.", path);
        return -1;
    }
    if (fd < 0 || faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        log_errorf("Spool folder %s cannot be written (%s).", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (dir_lock(fd, path) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string spool_segment_name(uint64_t first_seq) {
    char name[64];
    snprintf(name, sizeof name, "%s%016" PRIx64 "%s", SEGMENT_PREFIX, first_seq, SEGMENT_SUFFIX);
    return name;
}

uint64_t spool_segment_name_seq(const std::string &name) {
    return strtoull(name.c_str() + sizeof SEGMENT_PREFIX - 1, NULL, 16);
}

static bool segment_named(const char *name) {
    size_t prefix = sizeof SEGMENT_PREFIX - 1, suffix = sizeof SEGMENT_SUFFIX - 1;
    if (strlen(name) != prefix + SEGMENT_HEX_DIGITS + suffix)
        return false;
    if (strncmp(name, SEGMENT_PREFIX, prefix) != 0 ||
        strcmp(name + prefix + SEGMENT_HEX_DIGITS, SEGMENT_SUFFIX) != 0)
        return false;
    return strspn(name + prefix, "0123456789abcdef") == SEGMENT_HEX_DIGITS;
}

void spool_dir_names(int dir_fd, std::vector<std::string> *segments,
                     std::vector<std::string> *aside) {
    int fd = dup(dir_fd);
    DIR *d = fd >= 0 ? fdopendir(fd) : NULL;
    if (!d) {
        if (fd >= 0)
            close(fd);
        return;
    }
    rewinddir(d);  // the folder's descriptor is shared: read it from the start
    for (struct dirent *e = readdir(d); e; e = readdir(d)) {
        if (segment_named(e->d_name))
            segments->push_back(e->d_name);
        else if (strncmp(e->d_name, ASIDE_PREFIX, sizeof ASIDE_PREFIX - 1) == 0)
            aside->push_back(e->d_name);
    }
    closedir(d);
    std::sort(segments->begin(), segments->end());
    std::sort(aside->begin(), aside->end());
}

int spool_file_open(int dir_fd, const char *name, int64_t *size, const char **what) {
    *what = NULL;
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        *what = file_kind_name(st.st_mode);
        errno = EINVAL;
        return -1;
    }
    int fd = openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        *what = S_ISREG(st.st_mode) ? NULL : file_kind_name(st.st_mode);  // replaced meanwhile
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (fd >= 0)
        *size = st.st_size;
    return fd;
}

uint64_t spool_segment_slots(int64_t end) {
    return spool_damaged_records(end - SPOOL_HEADER_BYTES);
}

// The offset of the last byte before end that is not zero, or -1 when there is none after the
// header (or the file cannot be read).
static int64_t last_written(int fd, int64_t end, uint8_t *buf) {
    while (end > SPOOL_HEADER_BYTES) {
        int64_t from = std::max<int64_t>(SPOOL_HEADER_BYTES, end - SPOOL_READ_CHUNK);
        if (pread(fd, buf, (size_t)(end - from), from) != end - from)
            return -1;
        for (int64_t i = end - from; i > 0; i--)
            if (buf[i - 1] != 0)
                return from + i - 1;
        end = from;
    }
    return -1;
}

// The slot numbered slot holds a good record.
static bool slot_good(int fd, int64_t slot) {
    uint8_t rec[SPOOL_RECORD_BYTES];
    spool_record r;
    int64_t at = SPOOL_HEADER_BYTES + slot * SPOOL_RECORD_BYTES;
    return pread(fd, rec, sizeof rec, at) == (ssize_t)sizeof rec &&
           spool_record_decode(rec, sizeof rec, &r) == 0;
}

int64_t spool_records_end(int fd, int64_t size, bool *torn, int64_t *stray) {
    static uint8_t buf[SPOOL_READ_CHUNK];  // start-up only, one thread
    *torn = false;
    *stray = -1;
    int64_t last = last_written(fd, size, buf);
    if (last < 0)
        return std::min<int64_t>(size, SPOOL_HEADER_BYTES);
    int64_t slot = (last - SPOOL_HEADER_BYTES) / SPOOL_RECORD_BYTES;
    while (slot >= 0 && !slot_good(fd, slot))
        slot--;
    int64_t end = SPOOL_HEADER_BYTES + (slot + 1) * SPOOL_RECORD_BYTES;
    if (last >= end + SPOOL_RECORD_BYTES)
        *stray = last;
    if (end >= size)
        return size;
    int64_t next_slot = std::min<int64_t>(SPOOL_RECORD_BYTES, size - end);
    if (pread(fd, buf, (size_t)next_slot, end) == next_slot)
        for (int64_t i = 0; i < next_slot && !*torn; i++)
            *torn = buf[i] != 0;
    return end;
}

// Give the file its room ahead, halving it while the disk has less, down to room_min.
static int64_t room_give(int fd, int64_t room, int64_t room_min) {
    for (; room >= room_min; room /= 2) {
        int rc = posix_fallocate(fd, 0, room);
        if (rc == 0)
            return room;
        if (rc != ENOSPC) {
            errno = rc;
            return -1;
        }
    }
    errno = ENOSPC;
    return -1;
}

int spool_segment_create(int dir_fd, const char *map_id, uint64_t first_seq,
                         int64_t created_unix_usec, int64_t room, int64_t room_min,
                         int64_t *room_given) {
    std::string name = spool_segment_name(first_seq);
    int fd = openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    spool_header h;
    memset(&h, 0, sizeof h);
    strncpy(h.map_id, map_id, HALVEX_MAPAPI_MAP_ID_MAX);
    h.first_seq = first_seq;
    h.created_unix_usec = created_unix_usec;
    uint8_t head[SPOOL_HEADER_BYTES];
    spool_header_encode(&h, head);
    if (fd_write_all(fd, head, sizeof head) == 0 &&
        (*room_given = room_give(fd, std::max(room, room_min), room_min)) > 0)
        return fd;
    int saved = errno;
    close(fd);
    unlinkat(dir_fd, name.c_str(), 0);
    errno = saved;
    return -1;
}

static std::string marks_name(const char *map_id) {
    std::string name = MARKS_PREFIX;
    char hex[3];
    for (const char *p = map_id; *p; p++) {
        snprintf(hex, sizeof hex, "%02x", (unsigned)(unsigned char)*p);
        name += hex;
    }
    return name;
}

int spool_marks_open(int dir_fd, const char *map_id, bool create, spool_marks *m,
                     bool *unreadable) {
    memset(m, 0, sizeof *m);
    *unreadable = false;
    std::string name = marks_name(map_id);
    int64_t size = 0;
    const char *what;
    int fd = spool_file_open(dir_fd, name.c_str(), &size, &what);
    if (fd >= 0)
        close(fd);  // it is a regular file: open it again for writing, as a file it stays
    if (fd < 0 && (what || errno != ENOENT || !create))
        return -1;
    fd = openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    uint8_t both[2 * SPOOL_MARKS_BYTES];
    ssize_t n = pread(fd, both, sizeof both, 0);
    bool found = false;
    for (int slot = 0; slot < 2; slot++) {
        spool_marks copy;
        size_t at = (size_t)slot * SPOOL_MARKS_BYTES;
        if (n > (ssize_t)at && spool_marks_decode(both + at, (size_t)n - at, &copy) == 0 &&
            copy.generation >= m->generation) {
            *m = copy;
            found = true;
        }
    }
    *unreadable = n > 0 && !found;
    return fd;
}

int spool_marks_write(int fd, spool_marks *m) {
    m->generation++;
    uint8_t out[SPOOL_MARKS_BYTES];
    spool_marks_encode(m, out);
    off_t at = (off_t)(m->generation % 2) * SPOOL_MARKS_BYTES;
    ssize_t n;
    do {
        n = pwrite(fd, out, sizeof out, at);
    } while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof out ? 0 : -1;
}
