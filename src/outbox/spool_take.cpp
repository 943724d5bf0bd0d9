// spool_take.cpp -- the sender's side of the spool: points read back in order, marked done on
// disk once the map service has answered, read again after a post that failed, and files all
// done given back.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "base/clock.h"
#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "outbox/spool.h"
#include "outbox/spool_store.h"

// One point of the current take: what settling it passes over, and where that leaves reading.
struct taken_point {
    uint64_t seq;
    spool_pos end;            // just past its record
    uint64_t expired_before;  // points passed over before it for their age
    uint64_t damaged_before;  // damaged records before it
};

// The sender's own state (and spool_open's, before the threads start). [S]
static spool_marks marks;        // as last written to the done file
static uint64_t replay_below;    // records below this were in a post of an earlier run
static spool_pos done_pos;       // the first byte not done
static spool_pos reported_upto;  // damage before this has been reported
static std::vector<taken_point> taken;
static size_t taken_settled;                 // of them, settled
static spool_pos tail_end;                   // where the take's reading ended
static uint64_t tail_expired, tail_damaged;  // passed over after its last point
static uint64_t tail_seq_end;                // the number after the last record it read
static int read_fd = -1;                     // the segment being read
static uint64_t read_seg = SPOOL_NO_SEGMENT;
static spool_cursor cursor;
static int marks_failing;  // the line about the done file is out
static int take_cut;       // the last take stopped at its most: more may wait behind it

static bool pos_before(spool_pos a, spool_pos b) {
    return a.seg < b.seg || (a.seg == b.seg && a.off < b.off);
}

static int64_t segment_end(const spool_segment &s) {
    return SPOOL_HEADER_BYTES + (int64_t)s.slots * SPOOL_RECORD_BYTES;
}

// Slots of a segment begun before offset off.
static uint64_t slot_index(int64_t off) {
    return spool_damaged_records(off - SPOOL_HEADER_BYTES);
}

// Record slots from a to b. spool_lock held, or before the threads start.
static uint64_t slots_between(spool_pos a, spool_pos b) {
    uint64_t n = 0;
    for (const spool_segment &s : spool.segments) {
        if (s.first_seq < a.seg || s.first_seq > b.seg)
            continue;
        uint64_t from = s.first_seq == a.seg ? slot_index(a.off) : 0;
        uint64_t to = std::min(s.first_seq == b.seg ? slot_index(b.off) : s.slots, s.slots);
        n += to > from ? to - from : 0;
    }
    return n;
}

// Every file all done, but the one being written, leaves the list and the folder.
static void done_files_give_back(void) {
    std::vector<uint64_t> gone;
    int64_t freed = 0;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    while (!spool.segments.empty()) {
        const spool_segment &s = spool.segments.front();
        bool done = s.first_seq < done_pos.seg ||
                    (s.first_seq == done_pos.seg && done_pos.off >= segment_end(s));
        if (s.first_seq == spool.writing_first || !done)
            break;
        gone.push_back(s.first_seq);
        freed += s.bytes;
        spool.segments.pop_front();
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.spool_bytes.fetch_sub((uint64_t)freed, std::memory_order_relaxed);
    for (uint64_t first : gone) {
        unlinkat(spool.dir_fd, spool_segment_name(first).c_str(), 0);
        if (first == read_seg) {
            close(read_fd);
            read_fd = -1;
            read_seg = SPOOL_NO_SEGMENT;
        }
    }
    if (freed > 0 &&
        counters.spool_refusing.load(std::memory_order_relaxed) == SPOOL_REFUSING_FULL &&
        counters.spool_bytes.load(std::memory_order_relaxed) + spool_pass_bytes() <=
            spool.max_bytes)
        spool_refusing_end();
}

// The marks reach the file at once (a kill loses none) and the disk with the next sync.
static void marks_save(void) {
    int rc = spool_marks_write(spool.marks_fd, &marks);
    if (rc == 0 && spool.sync_usec == 0)
        rc = fdatasync(spool.marks_fd);
    if (rc == 0 && spool.sync_usec > 0) {
        lock_take(&spool.lock, LOCK_RANK_SPOOL);
        spool.marks_dirty = 1;
        lock_give(&spool.lock, LOCK_RANK_SPOOL);
    }
    if (rc != 0 && !marks_failing)
        log_warnf(
            "Cannot write the spool's done marks in %s (%s); points may be posted again "
            "after a restart.",
            spool.dir.c_str(), strerror(errno));
    marks_failing = rc != 0;
}

// Done up to position to, where numbering goes on at done_seq.
static void done_move(spool_pos to, uint64_t done_seq) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    uint64_t passed = slots_between(done_pos, to);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    done_pos = to;
    marks.done_seq = std::max(marks.done_seq, done_seq);
    marks_save();
    counters.spool_points.fetch_sub(passed, std::memory_order_relaxed);
    done_files_give_back();
}

int spool_reader_open(uint64_t *held, uint64_t *seq_floor) {
    spool.marks_fd = spool_marks_open(spool.dir_fd, spool.map_id, &marks);
    if (spool.marks_fd < 0)
        return -1;
    replay_below = marks.sent_seq;
    *seq_floor = std::max(marks.done_seq, marks.sent_seq);
    done_pos = {0, SPOOL_HEADER_BYTES};
    for (const spool_segment &s : spool.segments) {
        done_pos = {s.first_seq, SPOOL_HEADER_BYTES};
        if (marks.done_seq < s.first_seq + s.slots) {
            if (marks.done_seq > s.first_seq)
                done_pos.off += (int64_t)(marks.done_seq - s.first_seq) * SPOOL_RECORD_BYTES;
            break;
        }
        done_pos.off = segment_end(s);
    }
    reported_upto = done_pos;
    *held = slots_between(done_pos, {SPOOL_NO_SEGMENT, 0});
    counters.spool_points.store(*held, std::memory_order_relaxed);
    done_files_give_back();
    return 0;
}

// Damage is reported once, however often reading passes it.
static void damage_report(uint64_t seg, int64_t at, int64_t next) {
    if (pos_before({seg, at}, reported_upto))
        return;
    reported_upto = {seg, next};
    uint64_t records = spool_damaged_records(next - at);
    log_warnf("Spool file %s/%s: damaged bytes at offset %lld to %lld passed over (%llu %s).",
              spool.dir.c_str(), spool_segment_name(seg).c_str(), (long long)at, (long long)next,
              (unsigned long long)records, log_plural(records, "record", "records"));
}

// The segment at pos or the first after it: moves pos there when pos names one given back.
// Returns its readable end, or -1 when there is none; *more says whether another follows.
static int64_t segment_find(spool_pos *pos, bool *more) {
    int64_t end = -1;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    for (size_t i = 0; i < spool.segments.size(); i++) {
        const spool_segment &s = spool.segments[i];
        if (s.first_seq < pos->seg)
            continue;
        if (s.first_seq != pos->seg)
            *pos = {s.first_seq, SPOOL_HEADER_BYTES};
        end = segment_end(s);
        *more = i + 1 < spool.segments.size();
        break;
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    return end;
}

static void read_segment_open(uint64_t seg) {
    if (read_fd >= 0)
        close(read_fd);
    read_fd = openat(spool.dir_fd, spool_segment_name(seg).c_str(), O_RDONLY | O_CLOEXEC);
    read_seg = seg;
    spool_cursor_start(&cursor, read_fd, SPOOL_HEADER_BYTES, SPOOL_HEADER_BYTES);
}

// The next record or damaged stretch from pos on, across segments; pos moves past it. A file
// that cannot be read, or ends short, counts as damaged from there to its end.
static int read_next(spool_pos *pos, spool_record *rec, int64_t *at, int64_t *next) {
    for (;;) {
        bool more = false;
        int64_t end = segment_find(pos, &more);
        if (end < 0)
            return SPOOL_READ_END;
        if (read_seg != pos->seg)
            read_segment_open(pos->seg);
        cursor.pos = std::max(pos->off, (int64_t)SPOOL_HEADER_BYTES);
        cursor.end = end;
        int r = read_fd < 0 ? SPOOL_READ_ERROR : spool_cursor_next(&cursor, rec, at, next);
        if (r == SPOOL_READ_END && cursor.end < end)
            r = SPOOL_READ_ERROR;  // the file ends before its records do
        if (r == SPOOL_READ_DAMAGE && *next == cursor.end)
            *next = end;  // and when it ends within a record, the stretch runs to their end
        if (r == SPOOL_READ_ERROR) {
            *at = cursor.pos;
            *next = end;
            r = SPOOL_READ_DAMAGE;
        }
        if (r != SPOOL_READ_END) {
            pos->off = *next;
            return r;
        }
        if (!more)
            return SPOOL_READ_END;
        *pos = {pos->seg + 1, SPOOL_HEADER_BYTES};  // the next segment, whatever its number
    }
}

// Passed over records become done at once when no point of the take comes before them.
static void tail_settle(void) {
    counters.points_expired.fetch_add(tail_expired, std::memory_order_relaxed);
    counters.points_damaged.fetch_add(tail_damaged, std::memory_order_relaxed);
    tail_expired = tail_damaged = 0;
    if (pos_before(done_pos, tail_end))
        done_move(tail_end, tail_seq_end);
}

// A record read back: skipped when done already or out of order (then damaged), passed over
// when too old, else put into the batch. Returns 1 when it was put, -1 when memory ran out.
static int record_take(const spool_record &rec, halvex_mapapi_point *into) {
    if (rec.seq < marks.done_seq)
        return 0;
    if (rec.seq < tail_seq_end) {
        tail_damaged++;
        return 0;
    }
    int64_t max_age = spool.max_age_usec.load(std::memory_order_relaxed);
    bool expired = max_age > 0 && rec.accepted_unix_usec < clock_wall_usec() - max_age;
    if (!expired && spool_record_point(&rec, into) != 0)
        return -1;
    tail_seq_end = rec.seq + 1;
    tail_expired += expired;
    return expired ? 0 : 1;
}

// Room for one more point in *out, doubling; false when memory runs out.
static bool batch_grow(halvex_mapapi_point **out, size_t count, size_t *cap) {
    if (count < *cap)
        return true;
    size_t grown = *cap ? *cap * 2 : 64;
    void *p = realloc(*out, grown * sizeof **out);
    if (!p)
        return false;
    *out = (halvex_mapapi_point *)p;
    *cap = grown;
    return true;
}

size_t spool_take(halvex_mapapi_point **batch, size_t max) {
    taken.clear();
    taken_settled = 0;
    tail_end = done_pos;
    tail_expired = tail_damaged = 0;
    tail_seq_end = marks.done_seq;
    halvex_mapapi_point *out = NULL;
    size_t count = 0, cap = 0;
    spool_record rec;
    int64_t at, next;
    while (count < max && batch_grow(&out, count, &cap)) {
        spool_pos pos = tail_end;
        int r = read_next(&pos, &rec, &at, &next);
        if (r == SPOOL_READ_END)
            break;
        if (r == SPOOL_READ_DAMAGE) {
            damage_report(pos.seg, at, next);
            tail_damaged += spool_damaged_records(next - at);
        }
        int put = r == SPOOL_READ_RECORD ? record_take(rec, &out[count]) : 0;
        if (put < 0)
            break;  // memory ran out: this record is read again by the next take
        tail_end = pos;
        if (put == 1) {
            taken.push_back({rec.seq, pos, tail_expired, tail_damaged});
            tail_expired = tail_damaged = 0;
            count++;
        }
    }
    take_cut = count == max;
    if (count == 0) {
        free(out);
        tail_settle();
        *batch = NULL;
        return 0;
    }
    marks.sent_seq = std::max(marks.sent_seq, taken.back().seq + 1);
    marks_save();
    *batch = out;
    return count;
}

void spool_settle(size_t count) {
    size_t end = std::min(taken_settled + count, taken.size());
    if (end == taken_settled)
        return;
    uint64_t expired = 0, damaged = 0, replayed = 0;
    for (size_t i = taken_settled; i < end; i++) {
        expired += taken[i].expired_before;
        damaged += taken[i].damaged_before;
        replayed += taken[i].seq < replay_below;
    }
    counters.points_expired.fetch_add(expired, std::memory_order_relaxed);
    counters.points_damaged.fetch_add(damaged, std::memory_order_relaxed);
    counters.points_replayed.fetch_add(replayed, std::memory_order_relaxed);
    taken_settled = end;
    if (end == taken.size())
        tail_settle();
    else
        done_move(taken[end - 1].end, taken[end - 1].seq + 1);
}

void spool_rewind(void) {
    taken.clear();
    taken_settled = 0;
    tail_expired = tail_damaged = 0;
}

int spool_backlog(void) {
    return take_cut;
}
