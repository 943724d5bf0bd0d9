// spool_write.cpp -- the receiver's side of the spool: records stored into a mapped file, each
// pass handed to the sender, files made and finished, and the thread that syncs them.
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
#include "outbox/spool.h"
#include "outbox/spool_store.h"

// The receiver's own state. [R]
static int write_fd = -1;         // the segment it writes, or -1
static uint8_t *write_map;        // that file, mapped shared: records are stored straight into it
static int64_t write_room;        // the file's size: header, records and the room given ahead
static int64_t write_bytes;       // header and records published
static uint64_t write_first;      // its first record's number, which names it
static size_t stage_count;        // records stored after write_bytes, not yet published
static int pass_refused;          // this pass found no room: its later points are refused at once
static std::string write_failed;  // the file a write failed on, for the line that says so

// The receiver writes no more into its segment: the room never written is given back, and the
// sync thread syncs and closes it at once, or with sync_usec 0, where every pass was synced, it
// is closed now. Its own file, which no other process maps (the folder is locked).
static void segment_leave(void) {
    if (write_fd < 0)
        return;
    munmap(write_map, (size_t)write_room);
    int64_t unused = ftruncate(write_fd, write_bytes) == 0 ? write_room - write_bytes : 0;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.segments.back().bytes -= unused;  // the sender gives back no segment being written
    if (spool.sync_usec > 0) {
        spool.retired.push_back(write_fd);
        pthread_cond_broadcast(&spool.sync_cond);
    }
    spool.writing_first = SPOOL_NO_SEGMENT;
    spool.write_fd = -1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.store_bytes.fetch_sub((uint64_t)unused, std::memory_order_relaxed);
    if (spool.sync_usec == 0)
        close(write_fd);
    write_fd = -1;
}

// A new file's name and room reach the disk before it takes a record: with sync_usec 0 always,
// and after a sync failed, so that the spool takes points again only once a sync succeeds.
static int segment_synced(int fd) {
    bool must = spool.sync_usec == 0 || spool.sync_failed.load(std::memory_order_relaxed);
    if (must && (fdatasync(fd) != 0 || fsync(spool.dir_fd) != 0))
        return -1;
    if (must)
        spool.sync_failed.store(0, std::memory_order_relaxed);
    return 0;
}

// A new segment of room bytes for the next records, mapped. The disk may give less room, down
// to one pass's.
static int segment_next(int64_t room) {
    write_failed = spool_segment_name(spool.next_seq);
    int64_t given = 0;
    int fd = spool_segment_create(spool.dir_fd, spool.map_id, spool.next_seq, clock_run_usec(),
                                  room, (int64_t)spool_pass_bytes(), &given);
    void *map = MAP_FAILED;
    if (fd >= 0 && segment_synced(fd) == 0)
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
    spool.segments.push_back({spool.next_seq, 0, given});
    spool.writing_first = spool.next_seq;
    spool.write_fd = fd;
    spool.dir_dirty = 1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.store_bytes.fetch_add((uint64_t)given, std::memory_order_relaxed);
    write_fd = fd;
    write_map = (uint8_t *)map;
    write_room = given;
    write_bytes = SPOOL_HEADER_BYTES;
    write_first = spool.next_seq;
    return 0;
}

// Room for a whole pass in the segment being written, or a new segment with the room the bound
// leaves (no more than segment_max). 0, or -1 after saying why points are refused.
static int pass_room_make(void) {
    if (write_fd >= 0 &&
        write_bytes + (int64_t)(SPOOL_STAGE_MAX * SPOOL_RECORD_BYTES) <= write_room)
        return 0;
    segment_leave();
    uint64_t held = counters.store_bytes.load(std::memory_order_relaxed);
    uint64_t left = held < spool.max_bytes ? spool.max_bytes - held : 0;
    if (left < spool_pass_bytes() || spool.next_seq + SPOOL_STAGE_MAX > SPOOL_SEQ_MAX) {
        spool_refusing_begin(SPOOL_REFUSING_FULL, "", 0);
        return -1;
    }
    if (segment_next(std::min((int64_t)left, spool.segment_max)) != 0) {
        int err = errno;
        spool_refusing_begin(err == ENOSPC ? SPOOL_REFUSING_SPACE : SPOOL_REFUSING_WRITE,
                             write_failed, err);
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
    spool_held_move((int64_t)count);
    write_bytes += (int64_t)(count * SPOOL_RECORD_BYTES);
    spool.next_seq += count;
}

// The record goes into the mapping with its marker and checksum last, so that a slot a kill
// cut short holds no marker, and the next start reads it as cut short: it was not answered OK.
static void record_store(uint8_t *at, uint64_t seq, const halvex_mapapi_point *p) {
    uint8_t rec[SPOOL_RECORD_BYTES];
    spool_record_encode(seq, clock_run_usec(), p, rec);
    memcpy(at + SPOOL_RECORD_HEAD_BYTES, rec + SPOOL_RECORD_HEAD_BYTES,
           SPOOL_RECORD_BYTES - SPOOL_RECORD_HEAD_BYTES);
    std::atomic_signal_fence(std::memory_order_release);
    memcpy(at, rec, SPOOL_RECORD_HEAD_BYTES);
}

// A pass's first point checks that the spool still takes points and makes room for the pass;
// after a failed sync the file being written is left, and only a new one that syncs takes
// points again.
static int pass_begin(void) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int closed = spool.closed;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    if (closed)
        return -1;
    if (spool.sync_failed.load(std::memory_order_relaxed))
        segment_leave();
    return pass_room_make();
}

int spool_put(const halvex_mapapi_point *p, bool *) {
    halvex_mapapi_point own = *p;  // its colours are ours to free, whatever happens
    int rc = OUTBOX_REFUSED;
    if (stage_count == 0 && !pass_refused && pass_begin() != 0)
        pass_refused = 1;
    if (!pass_refused && stage_count < SPOOL_STAGE_MAX) {
        record_store(write_map + write_bytes + stage_count * SPOOL_RECORD_BYTES,
                     spool.next_seq + stage_count, p);
        stage_count++;
        rc = spool.sync_usec == 0 ? OUTBOX_STAGED : OUTBOX_HELD;
    }
    point_colours_release(&own);
    return rc;
}

// With sync_usec 0 the pass's records reach the disk before they are published and answered;
// records a failed sync leaves are cut off with the room when the segment is left, and the next
// pass starts a new one, so that a failing disk gets room back once the sender is done with it.
// Fdatasync also writes out what was stored through the mapping.
int spool_pass_end(bool *woke) {
    size_t count = stage_count;
    stage_count = 0;
    pass_refused = 0;
    if (count == 0)
        return OUTBOX_HELD;
    if (spool.sync_usec == 0 && fdatasync(write_fd) != 0) {
        int err = errno;
        write_failed = spool_segment_name(write_first);
        segment_leave();
        spool_refusing_begin(SPOOL_REFUSING_WRITE, write_failed, err);
        return OUTBOX_REFUSED;
    }
    records_publish(count);
    if (!spool.sync_failed.load(std::memory_order_relaxed))
        spool_refusing_end();
    *woke = true;
    return OUTBOX_HELD;
}

// Sync what was written since the last round: segments finished (then closed), the one being
// written, the folder (new files' names), the done marks. The sync thread only; it alone closes
// the descriptors of segments finished, so the one it syncs stays open meanwhile. Returns 0, or
// the errno of a sync that failed with *file naming what it was.
static int sync_round(std::string *file) {
    std::vector<int> left;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int fd = spool.write_dirty ? spool.write_fd : -1;
    uint64_t writing = spool.writing_first;
    int dir = spool.dir_dirty, marks = spool.marks_dirty;
    spool.write_dirty = spool.dir_dirty = spool.marks_dirty = 0;
    left.swap(spool.retired);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    int err = 0;
    for (int r : left) {
        if (fdatasync(r) != 0 && !err) {
            err = errno;
            *file = "a finished segment";
        }
        close(r);
    }
    if (fd >= 0 && fdatasync(fd) != 0 && !err) {
        err = errno;
        *file = spool_segment_name(writing);
    }
    if (dir && fsync(spool.dir_fd) != 0 && !err) {
        err = errno;
        *file = "the folder";
    }
    if (marks && fdatasync(spool.marks_fd) != 0 && !err) {
        err = errno;
        *file = "the done marks";
    }
    return err;
}

// A failed sync: what was answered OK since the last good one may not be on the disk. Points
// are refused from now on, until the receiver has made a new file that syncs.
static void sync_failed_say(int err, const std::string &file) {
    spool.sync_failed.store(1, std::memory_order_relaxed);
    spool_refusing_begin(SPOOL_REFUSING_WRITE, file, err);
}

// Wakes every sync_usec, at once when a segment is finished, and for the last round at the
// stop.
static void *sync_thread_func(void *) {
    for (int last = 0; !last;) {
        struct timespec until = clock_timespec(clock_now_usec() + spool.sync_usec);
        lock_take(&spool.lock, LOCK_RANK_SPOOL);
        while (!spool.closed && spool.retired.empty() &&
               pthread_cond_timedwait(&spool.sync_cond, &spool.lock, &until) != ETIMEDOUT) {
        }
        last = spool.closed;
        lock_give(&spool.lock, LOCK_RANK_SPOOL);
        std::string file;
        int err = sync_round(&file);
        if (err)
            sync_failed_say(err, file);
    }
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.final_synced = 1;
    pthread_cond_broadcast(&spool.sync_cond);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    return NULL;
}

void spool_sync_start(void) {
    if (spool.sync_usec == 0)
        return;
    pthread_t thread;
    if (pthread_create(&thread, NULL, sync_thread_func, NULL) != 0) {
        log_perror("pthread_create");
        log_exit(1);
    }
    pthread_detach(thread);
}

void spool_write_close(void) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.closed = 1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
}

// The receiver reads no more (the stop ended its reading): its segment is left for good, and
// one that holds no record goes.
void spool_write_leave(void) {
    uint64_t first = write_first;
    bool empty = write_fd >= 0 && write_bytes == SPOOL_HEADER_BYTES;
    segment_leave();
    if (!empty)
        return;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int64_t bytes = 0;
    if (!spool.segments.empty() && spool.segments.back().first_seq == first) {
        bytes = spool.segments.back().bytes;
        spool.segments.pop_back();
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.store_bytes.fetch_sub((uint64_t)bytes, std::memory_order_relaxed);
    unlinkat(spool.dir_fd, spool_segment_name(first).c_str(), 0);
}

// The last round: the sync thread's, or with sync_usec 0 this one, where every pass and every
// done mark was synced when it was made and only the folder may be left.
void spool_write_sync_final(int64_t until_usec) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    spool.closed = 1;
    spool.dir_dirty = 1;  // files given back or cut at the stop
    pthread_cond_broadcast(&spool.sync_cond);
    struct timespec until = clock_timespec(until_usec);
    while (spool.sync_usec > 0 && !spool.final_synced &&
           pthread_cond_timedwait(&spool.sync_cond, &spool.lock, &until) != ETIMEDOUT) {
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    if (spool.sync_usec == 0)
        fsync(spool.dir_fd);
}
