// spool.cpp -- the spool's folder at start-up, the receiver's writes, syncing and the stop.
#include "outbox/spool.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "base/clock.h"
#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "outbox/spool_store.h"

// A file is given back once all of it is done, so a file holds at most this share of the
// bound: what is done but not yet given back stays small beside it.
static const int64_t SEGMENTS_PER_BOUND = 16;
// Files are no smaller than this (fewer files in the folder, fewer creations) and no larger
// than this (done points are given back in steps of at most this much).
static const int64_t SEGMENT_BYTES_MIN = 64 * 1024;
static const int64_t SEGMENT_BYTES_MAX = 16 * 1024 * 1024;
// Files of another map id named in the start-up warning; the rest are counted.
static const size_t OTHER_FILES_NAMED = 3;

spool_store spool;

// The receiver's own state. [R]
static int write_fd = -1;         // the segment it writes, or -1
static uint8_t *write_map;        // that file, mapped shared: records are stored straight into it
static int64_t write_room;        // the file's size: header, records and the room given ahead
static int64_t write_bytes;       // header and records published
static uint64_t write_first;      // its first record's number, which names it
static uint64_t next_seq;         // the number the next record published gets
static size_t stage_count;        // records stored after write_bytes, not yet published
static int pass_refused;          // this pass found no room: its later points are refused at once
static std::string write_failed;  // the file a write failed on, for the line that says so

uint64_t spool_pass_bytes(void) {
    return SPOOL_STAGE_MAX * SPOOL_RECORD_BYTES + SPOOL_HEADER_BYTES;
}

void spool_max_age_set(int64_t sec) {
    spool.max_age_usec.store(sec * 1000000, std::memory_order_relaxed);
}

int spool_on(void) {
    return spool.on;
}

static void refusing_begin(int why, int err) {
    if (counters.spool_refusing.load(std::memory_order_relaxed) != 0 ||
        counters.spool_refusing.exchange(why) != 0)
        return;
    if (why == SPOOL_REFUSING_FULL)
        log_warnf(
            "The spool is full (%llu bytes, spool_max_bytes %llu); new points are "
            "answered FAILED.",
            (unsigned long long)counters.spool_bytes.load(std::memory_order_relaxed),
            (unsigned long long)spool.max_bytes);
    else
        log_warnf("Cannot write to the spool (%s: %s); new points are answered FAILED.",
                  write_failed.c_str(), strerror(err));
}

void spool_refusing_end(void) {
    if (counters.spool_refusing.load(std::memory_order_relaxed) != 0 &&
        counters.spool_refusing.exchange(0) != 0)
        log_line("The spool takes points again.");
}

// The warning about files of another map id: the first few named, the rest counted.
static void others_warn(const std::vector<std::string> &names) {
    if (names.empty())
        return;
    std::string list;
    for (size_t i = 0; i < names.size() && i < OTHER_FILES_NAMED; i++)
        list += (i ? ", " : "") + names[i];
    if (names.size() > OTHER_FILES_NAMED)
        list += " and " + std::to_string(names.size() - OTHER_FILES_NAMED) + " more";
    log_warnf("Spool folder %s holds files of another map id, left in place and not posted: %s.",
              spool.dir.c_str(), list.c_str());
}

// A file whose header does not hold cannot be told to be of this map: it is left in place,
// its slots counted damaged. One shorter than a header never held a record and goes.
static void damaged_file_handle(const spool_found &f) {
    if (f.bytes <= SPOOL_HEADER_BYTES) {
        unlinkat(spool.dir_fd, f.name.c_str(), 0);
        return;
    }
    uint64_t slots = spool_segment_slots(f.bytes);
    counters.points_damaged.fetch_add(slots, std::memory_order_relaxed);
    log_warnf("Spool file %s/%s: its header is damaged; left in place, not posted (%llu records).",
              spool.dir.c_str(), f.name.c_str(), (unsigned long long)slots);
}

// The room an earlier run gave a file ahead and never wrote is given back to the disk.
static void segment_room_trim(const spool_found &f) {
    if (f.file_bytes <= f.bytes)
        return;
    int fd = openat(spool.dir_fd, f.name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ftruncate(fd, f.bytes) != 0)
        log_warnf("Spool file %s/%s: its unwritten room cannot be given back (%s).",
                  spool.dir.c_str(), f.name.c_str(), strerror(errno));
    if (fd >= 0)
        close(fd);
}

// The files an earlier run left: this map's become the segments, oldest first; the numbering
// goes on after the highest record of any file.
static void files_adopt(void) {
    std::vector<std::string> others;
    int64_t bytes = 0;
    for (const spool_found &f : spool_dir_list(spool.dir_fd)) {
        uint64_t slots = spool_segment_slots(f.bytes);
        next_seq = std::max(next_seq, f.name_seq + slots);
        if (!f.header_good) {
            damaged_file_handle(f);
        } else if (strcmp(f.header.map_id, spool.map_id) != 0) {
            others.push_back(f.name);
        } else if (slots == 0) {
            unlinkat(spool.dir_fd, f.name.c_str(), 0);  // a header alone: nothing to keep
        } else {
            segment_room_trim(f);
            spool.segments.push_back({f.header.first_seq, slots, f.bytes});
            bytes += f.bytes;
        }
    }
    counters.spool_bytes.store((uint64_t)bytes, std::memory_order_relaxed);
    others_warn(others);
}

static void settings_keep(const spool_settings *s) {
    spool.dir = s->dir;
    memset(spool.map_id, 0, sizeof spool.map_id);
    strncpy(spool.map_id, s->map_id.c_str(), HALVEX_MAPAPI_MAP_ID_MAX);
    spool.max_bytes = s->max_bytes;
    spool_max_age_set(s->max_age_sec);
    spool.sync_usec = s->sync_usec;
    spool.segment_max = std::clamp((int64_t)(s->max_bytes / SEGMENTS_PER_BOUND), SEGMENT_BYTES_MIN,
                                   SEGMENT_BYTES_MAX);
    spool.writing_first = SPOOL_NO_SEGMENT;
    spool.write_fd = -1;
    pthread_mutex_init(&spool.lock, NULL);
    clock_cond_init(&spool.sync_cond);
}

int spool_open(const spool_settings *s) {
    spool.dir_fd = spool_dir_open(s->dir);
    if (spool.dir_fd < 0 || spool_dir_lock(spool.dir_fd, s->dir) != 0)
        return -1;
    settings_keep(s);
    files_adopt();
    uint64_t held = 0, seq_floor = 0;
    if (spool_reader_open(&held, &seq_floor) != 0) {
        log_errorf("Spool folder %s cannot be written (%s).", s->dir.c_str(), strerror(errno));
        return -1;
    }
    next_seq = std::max(next_seq, seq_floor);
    spool.on = 1;
    counters.spool_on.store(1, std::memory_order_relaxed);
    size_t files = spool.segments.size();
    if (held > 0)
        log_printf("Spool %s: %llu %s held from an earlier run go first (%llu bytes in %zu %s).",
                   s->dir.c_str(), (unsigned long long)held, log_plural(held, "point", "points"),
                   (unsigned long long)counters.spool_bytes.load(), files,
                   log_plural(files, "file", "files"));
    return 0;
}

// The receiver writes no more into its segment: the room never written is given back, and the
// sync thread syncs and closes it, or with sync_usec 0, where every pass was synced, it is
// closed now.
static void segment_leave(void) {
    if (write_fd < 0)
        return;
    munmap(write_map, (size_t)write_room);
    int64_t unused = ftruncate(write_fd, write_bytes) == 0 ? write_room - write_bytes : 0;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.segments.back().bytes -= unused;  // the sender gives back no segment being written
    if (spool.sync_usec > 0)
        spool.retired.push_back(write_fd);
    spool.writing_first = SPOOL_NO_SEGMENT;
    spool.write_fd = -1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.spool_bytes.fetch_sub((uint64_t)unused, std::memory_order_relaxed);
    if (spool.sync_usec == 0)
        close(write_fd);
    write_fd = -1;
}

// A new segment of room bytes for the next records, mapped; with sync_usec 0 its name reaches
// the disk first. The disk may give less room, down to one pass's.
static int segment_next(int64_t room) {
    write_failed = spool_segment_name(next_seq);
    int64_t given = 0;
    int fd = spool_segment_create(spool.dir_fd, spool.map_id, next_seq, clock_wall_usec(), room,
                                  (int64_t)spool_pass_bytes(), &given);
    void *map = MAP_FAILED;
    if (fd >= 0 && (spool.sync_usec > 0 || fsync(spool.dir_fd) == 0))
        map = mmap(NULL, (size_t)given, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (fd >= 0 && map == MAP_FAILED) {
        int saved = errno;
        close(fd);
        unlinkat(spool.dir_fd, write_failed.c_str(), 0);
        errno = saved;
    }
    if (map == MAP_FAILED)
        return -1;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.segments.push_back({next_seq, 0, given});
    spool.writing_first = next_seq;
    spool.write_fd = fd;
    spool.dir_dirty = 1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.spool_bytes.fetch_add((uint64_t)given, std::memory_order_relaxed);
    write_fd = fd;
    write_map = (uint8_t *)map;
    write_room = given;
    write_bytes = SPOOL_HEADER_BYTES;
    write_first = next_seq;
    return 0;
}

// Room for a whole pass in the segment being written, or a new segment with the room the bound
// leaves (no more than segment_max). 0, or -1 after saying why points are refused.
static int pass_room_make(void) {
    if (write_fd >= 0 &&
        write_bytes + (int64_t)(SPOOL_STAGE_MAX * SPOOL_RECORD_BYTES) <= write_room)
        return 0;
    segment_leave();
    uint64_t held = counters.spool_bytes.load(std::memory_order_relaxed);
    uint64_t left = held < spool.max_bytes ? spool.max_bytes - held : 0;
    if (left < spool_pass_bytes()) {
        refusing_begin(SPOOL_REFUSING_FULL, 0);
        return -1;
    }
    if (segment_next(std::min((int64_t)left, spool.segment_max)) != 0) {
        refusing_begin(SPOOL_REFUSING_WRITE, errno);
        return -1;
    }
    return 0;
}

// The records stored become readable and held.
static void records_publish(size_t count) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.segments.back().slots += count;
    spool.write_dirty = 1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.spool_points.fetch_add(count, std::memory_order_relaxed);
    write_bytes += (int64_t)(count * SPOOL_RECORD_BYTES);
    next_seq += count;
}

// The record goes into the mapping with its marker and checksum last, so that a slot a kill
// cut short holds no marker, and the next start reads it as never written: it was not
// answered OK.
static void record_store(uint8_t *at, uint64_t seq, const halvex_mapapi_point *p) {
    uint8_t rec[SPOOL_RECORD_BYTES];
    spool_record_encode(seq, clock_wall_usec(), p, rec);
    memcpy(at + SPOOL_RECORD_HEAD_BYTES, rec + SPOOL_RECORD_HEAD_BYTES,
           SPOOL_RECORD_BYTES - SPOOL_RECORD_HEAD_BYTES);
    std::atomic_signal_fence(std::memory_order_release);
    memcpy(at, rec, SPOOL_RECORD_HEAD_BYTES);
}

// A pass's first point checks that the spool still takes points and makes room for the pass.
static int pass_begin(void) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int closed = spool.closed;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    return closed ? -1 : pass_room_make();
}

int spool_stage(const halvex_mapapi_point *p) {
    if (pass_refused || stage_count >= SPOOL_STAGE_MAX)
        return SPOOL_REFUSED;
    if (stage_count == 0 && pass_begin() != 0) {
        pass_refused = 1;
        return SPOOL_REFUSED;
    }
    record_store(write_map + write_bytes + stage_count * SPOOL_RECORD_BYTES, next_seq + stage_count,
                 p);
    stage_count++;
    return spool.sync_usec == 0 ? SPOOL_STAGED : SPOOL_OK;
}

// With sync_usec 0 the pass's records reach the disk before they are published and answered;
// records a failed sync leaves are cut off with the room when the segment is left, and the next
// pass starts a new one, so that a failing disk gets room back once the sender is done with it.
// Fdatasync also writes out what was stored through the mapping.
int spool_stage_write(void) {
    size_t count = stage_count;
    stage_count = 0;
    pass_refused = 0;
    if (count == 0)
        return SPOOL_OK;
    if (spool.sync_usec == 0 && fdatasync(write_fd) != 0) {
        int err = errno;
        write_failed = spool_segment_name(write_first);
        segment_leave();
        refusing_begin(SPOOL_REFUSING_WRITE, err);
        return SPOOL_REFUSED;
    }
    records_publish(count);
    spool_refusing_end();
    return SPOOL_OK;
}

// Sync what was written since the last round: segments left, the one being written, the
// folder (new files' names), the done marks. The sync thread only; it alone closes the
// descriptors of segments left, so the one it syncs stays open meanwhile.
static int sync_round(void) {
    std::vector<int> left;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int fd = spool.write_dirty ? spool.write_fd : -1;
    int dir = spool.dir_dirty, marks = spool.marks_dirty;
    spool.write_dirty = spool.dir_dirty = spool.marks_dirty = 0;
    left.swap(spool.retired);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    int failed = 0;
    for (int r : left) {
        failed |= fdatasync(r) != 0;
        close(r);
    }
    failed |= fd >= 0 && fdatasync(fd) != 0;
    failed |= dir && fsync(spool.dir_fd) != 0;
    failed |= marks && fdatasync(spool.marks_fd) != 0;
    return failed ? -1 : 0;
}

static void *sync_thread_func(void *) {
    int failing = 0;  // the line about failing syncs is out
    for (int last = 0; !last;) {
        struct timespec until = clock_timespec(clock_now_usec() + spool.sync_usec);
        lock_take(&spool.lock, LOCK_RANK_SPOOL);
        while (!spool.closed &&
               pthread_cond_timedwait(&spool.sync_cond, &spool.lock, &until) != ETIMEDOUT) {
        }
        last = spool.closed;
        lock_give(&spool.lock, LOCK_RANK_SPOOL);
        int rc = sync_round();
        if (rc != 0 && !failing)
            log_warnf("Syncing the spool's files fails (%s).", strerror(errno));
        failing = rc != 0;
    }
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.final_synced = 1;
    pthread_cond_broadcast(&spool.sync_cond);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    return NULL;
}

void spool_sync_start(void) {
    if (!spool.on || spool.sync_usec == 0)
        return;
    pthread_t thread;
    if (pthread_create(&thread, NULL, sync_thread_func, NULL) != 0) {
        log_perror("pthread_create");
        log_exit(1);
    }
    pthread_detach(thread);
}

// With sync_usec 0 every write and every done mark was synced when it was made.
void spool_close(int64_t until_usec) {
    if (!spool.on)
        return;
    struct timespec until = clock_timespec(until_usec);
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.closed = 1;
    pthread_cond_broadcast(&spool.sync_cond);
    while (spool.sync_usec > 0 && !spool.final_synced &&
           pthread_cond_timedwait(&spool.sync_cond, &spool.lock, &until) != ETIMEDOUT) {
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
}
