// spool_read.cpp -- the sender's side of the spool: points read back in order, marked in doubt
// while their post has not answered and done once the map service has, read again after a post
// that failed, files all done given back; points too old passed over and said, files that
// cannot be read set aside, damaged records counted lost.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "base/clock.h"
#include "base/counters.h"
#include "base/lock_rank.h"
#include "base/log.h"
#include "outbox/spool.h"
#include "outbox/spool_store.h"

// Lines about points passed over for their age: at most one per this while a backlog is read
// post after post; the episode's line comes at once when reading has caught up.
static const int64_t EXPIRY_LINE_EVERY_USEC = 10000000;

// One point of the current take: where its record ends, and the points passed over for their
// age before it.
struct taken_point {
    uint64_t seq;
    spool_pos end;
    uint64_t expired_before;
};

// The sender's own state. [S]
static std::vector<taken_point> taken;
static size_t taken_settled;   // of them, settled
static spool_pos tail_end;     // where the take's reading ended
static uint64_t tail_expired;  // passed over for their age after its last point
static uint64_t tail_seq_end;  // the number after the last record it read
static int64_t take_oldest;    // age of the oldest point the take passed over (usec)
static int read_fd = -1;       // the segment being read
static uint64_t read_seg = SPOOL_NO_SEGMENT;
static spool_cursor cursor;
static spool_pos reported_upto;   // damage before this has been reported
static int marks_failing;         // the line about the done file is out
static bool take_cut;             // the last take stopped at its most: more may wait behind it
static bool waiting_said;         // the line about the file being written that cannot be read
static uint64_t expiry_points;    // passed over for their age since the last line about it
static int64_t expiry_oldest;     // the oldest of them (usec)
static int64_t expiry_line_usec;  // when that line went out (clock_now_usec())

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

// Record slots from a to b. spool_lock held.
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

static void read_close(void) {
    if (read_fd >= 0)
        close(read_fd);
    read_fd = -1;
    read_seg = SPOOL_NO_SEGMENT;
}

// Every file all done, but the one being written, leaves the list and the folder.
static void done_files_give_back(void) {
    std::vector<uint64_t> gone;
    int64_t freed = 0;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    while (!spool.segments.empty()) {
        const spool_segment &s = spool.segments.front();
        bool done = s.first_seq < spool.done_pos.seg ||
                    (s.first_seq == spool.done_pos.seg && spool.done_pos.off >= segment_end(s));
        if (s.first_seq == spool.writing_first || !done)
            break;
        gone.push_back(s.first_seq);
        freed += s.bytes;
        spool.segments.pop_front();
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    counters.store_bytes.fetch_sub((uint64_t)freed, std::memory_order_relaxed);
    for (uint64_t first : gone) {
        unlinkat(spool.dir_fd, spool_segment_name(first).c_str(), 0);
        if (first == read_seg)
            read_close();
    }
    if (freed > 0 && spool.refusing.load(std::memory_order_relaxed) == SPOOL_REFUSING_FULL &&
        counters.store_bytes.load(std::memory_order_relaxed) + spool_pass_bytes() <=
            spool.max_bytes)
        spool_refusing_end();
}

// The marks reach the file at once (a kill loses none) and the disk with the next sync.
static void marks_save(void) {
    int rc = spool_marks_write(spool.marks_fd, &spool.marks);
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

// The line about points passed over for their age, when one is due (or forced).
static void expiry_say(bool force) {
    int64_t now = clock_now_usec();
    if (expiry_points == 0 || (!force && now - expiry_line_usec < EXPIRY_LINE_EVERY_USEC))
        return;
    log_warnf("%llu %s older than spool_max_age_sec (%lld s) dropped; the oldest was %lld s old.",
              (unsigned long long)expiry_points, log_plural(expiry_points, "point", "points"),
              (long long)(spool.max_age_usec.load(std::memory_order_relaxed) / 1000000),
              (long long)(expiry_oldest / 1000000));
    expiry_points = 0;
    expiry_oldest = 0;
    expiry_line_usec = now;
}

// Done up to position to, where numbering goes on at done_seq; settled points of the take and
// expired ones lie before it, and every other slot passed was a damaged record: lost.
static void done_move(spool_pos to, uint64_t done_seq, uint64_t settled, uint64_t expired) {
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    uint64_t passed = slots_between(spool.done_pos, to);
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    uint64_t damaged = passed > settled + expired ? passed - settled - expired : 0;
    counters.points_expired.fetch_add(expired, std::memory_order_relaxed);
    counters.points_lost.fetch_add(damaged, std::memory_order_relaxed);
    counters.points_damaged.fetch_add(damaged, std::memory_order_relaxed);
    spool_held_move(-(int64_t)passed);
    expiry_points += expired;
    expiry_oldest = std::max(expiry_oldest, expired ? take_oldest : 0);
    spool.done_pos = to;
    spool.marks.done_seq = std::max(spool.marks.done_seq, done_seq);
    marks_save();
    done_files_give_back();
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

// The first segment at pos or after it that holds slots not yet read: moves pos there when
// pos names one that has none (read to its end, given back or cut). Returns its readable end,
// or -1 when there is none; *more says whether another follows.
static int64_t segment_find(spool_pos *pos, bool *more) {
    int64_t end = -1;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    for (size_t i = 0; i < spool.segments.size(); i++) {
        const spool_segment &s = spool.segments[i];
        int64_t from = s.first_seq == pos->seg ? pos->off : SPOOL_HEADER_BYTES;
        if (s.first_seq < pos->seg || slot_index(from) >= s.slots)
            continue;  // read to its end: a position inside its last slot is past it
        *pos = {s.first_seq, from};
        end = segment_end(s);
        *more = i + 1 < spool.segments.size();
        break;
    }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    return end;
}

// The segment's file, opened for reading: the one being written through the receiver's own
// descriptor (its name may be gone), any other by its name, once it is seen to be a regular
// file. -1 with errno (and *what) when it cannot be.
static int segment_open(uint64_t seg, const char **what) {
    *what = NULL;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    int fd = seg == spool.writing_first ? fcntl(spool.write_fd, F_DUPFD_CLOEXEC, 0) : -1;
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    int64_t size;
    return fd >= 0 ? fd
                   : spool_file_open(spool.dir_fd, spool_segment_name(seg).c_str(), &size, what);
}

// Segment seg cannot be read from slot on: what it held from there leaves the chain once, said
// in one line: lost when its file is gone or ends early, else set aside, the file moved aside.
// Its room stays counted while it is on the disk. Never the segment being written, and only
// when there is something to cut (false otherwise: reading stops there).
static bool segment_cut(uint64_t seg, uint64_t slot, int err, const char *what) {
    uint64_t n = 0;
    int64_t bytes = -1;
    lock_take(&spool.lock, LOCK_RANK_SPOOL);
    for (spool_segment &s : spool.segments)
        if (s.first_seq == seg && seg != spool.writing_first && s.slots > slot) {
            n = s.slots - slot;
            s.slots = slot;
            bytes = s.bytes;
            s.bytes = 0;
        }
    lock_give(&spool.lock, LOCK_RANK_SPOOL);
    if (bytes < 0)
        return false;
    read_close();
    spool_held_move(-(int64_t)n);
    std::string name = spool_segment_name(seg), path = spool.dir + "/" + name;
    bool gone = err == ENOENT || err == ENODATA || what;
    std::string to = err == ENOENT ? "" : spool_set_aside(name);
    if (err == ENOENT || what)
        counters.store_bytes.fetch_sub((uint64_t)bytes, std::memory_order_relaxed);
    (gone ? counters.points_lost : counters.points_set_aside)
        .fetch_add(n, std::memory_order_relaxed);
    std::string why = what             ? std::string("is ") + what + " now"
                      : err == ENOENT  ? "is gone"
                      : err == ENODATA ? "ends before its records do"
                                       : std::string("cannot be read (") + strerror(err) + ")";
    log_warnf("Spool file %s %s: %llu %s %s%s%s.", path.c_str(), why.c_str(), (unsigned long long)n,
              log_plural(n, "point", "points"), gone ? "lost" : "set aside",
              to.empty() ? "" : ", moved aside as ", to.c_str());
    return true;
}

// The next record or damaged stretch from pos on, across segments; pos moves past it. Returns
// SPOOL_READ_ERROR, with errno (and *what) and *at where reading stopped, when the segment at
// pos cannot be read (ENODATA: its file ends before its records do).
static int read_next(spool_pos *pos, spool_record *rec, int64_t *at, int64_t *next,
                     const char **what) {
    for (;;) {
        bool more = false;
        int64_t end = segment_find(pos, &more);
        if (end < 0)
            return SPOOL_READ_END;
        *at = std::max(pos->off, (int64_t)SPOOL_HEADER_BYTES);
        if (read_seg != pos->seg) {
            read_close();
            if ((read_fd = segment_open(pos->seg, what)) < 0)
                return SPOOL_READ_ERROR;
            read_seg = pos->seg;
            spool_cursor_start(&cursor, read_fd, SPOOL_HEADER_BYTES, SPOOL_HEADER_BYTES);
        }
        cursor.pos = *at;
        cursor.end = end;
        int r = spool_cursor_next(&cursor, rec, at, next);
        if (r == SPOOL_READ_END && cursor.end < end)
            errno = ENODATA;  // and reading stopped at cursor.end
        if (r == SPOOL_READ_ERROR || (r == SPOOL_READ_END && cursor.end < end)) {
            *at = cursor.pos;
            return SPOOL_READ_ERROR;
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

// A segment that cannot be read is cut where reading stopped, unless a point of this take is
// in it (the take ends there; the next one, after this one is settled, cuts it) or it is the
// one being written (its points wait, said once). Whether reading goes on.
static bool read_failed(spool_pos pos, int64_t at, int err, const char *what) {
    bool mine = !taken.empty() && taken.back().end.seg == pos.seg;
    if (!mine && segment_cut(pos.seg, slot_index(at), err, what))
        return true;
    if (!mine && !waiting_said)
        log_warnf("Spool file %s/%s cannot be read now (%s); its points wait.", spool.dir.c_str(),
                  spool_segment_name(pos.seg).c_str(), what ? what : strerror(err));
    waiting_said = !mine;
    return false;
}

// How old a record is by the run clock; one an earlier run stamped later than this run began
// (its clock was ahead) counts as stamped when this run began.
static int64_t record_age(const spool_record &rec) {
    int64_t stamp = rec.accepted_unix_usec;
    if (rec.seq < spool.run_first_seq && stamp > spool.run_start_usec)
        stamp = spool.run_start_usec;
    return clock_run_usec() - stamp;
}

// A record read back: skipped when done already or out of line (a damaged slot, counted once
// done), passed over when too old, else put into the batch. Returns 1 when it was put, -1 when
// memory ran out.
static int record_take(const spool_record &rec, halvex_mapapi_point *into) {
    if (rec.seq < spool.marks.done_seq || rec.seq < tail_seq_end)
        return 0;
    int64_t max_age = spool.max_age_usec.load(std::memory_order_relaxed), age = record_age(rec);
    bool expired = max_age > 0 && age > max_age;
    if (!expired && spool_record_point(&rec, into) != 0)
        return -1;
    tail_seq_end = rec.seq + 1;
    if (!expired)
        return 1;
    tail_expired++;
    take_oldest = std::max(take_oldest, age);
    return 0;
}

// What the take passed over after its last point becomes done with it; once reading has
// caught up, the line about points too old is due at once.
static void tail_settle(uint64_t settled, uint64_t expired) {
    if (pos_before(spool.done_pos, tail_end))
        done_move(tail_end, tail_seq_end, settled, expired + tail_expired);
    tail_expired = 0;
    expiry_say(!take_cut);
}

static void take_begin(void) {
    taken.clear();
    taken_settled = 0;
    tail_end = spool.done_pos;
    tail_expired = 0;
    tail_seq_end = spool.marks.done_seq;
    take_oldest = 0;
    if (pos_before(reported_upto, spool.done_pos))
        reported_upto = spool.done_pos;
}

size_t spool_take(halvex_mapapi_point **batch, bool *more) {
    take_begin();
    halvex_mapapi_point *out = NULL;
    size_t count = 0, cap = 0;
    while (count < spool.take_max && points_room(&out, &cap, count + 1) == 0) {
        spool_pos pos = tail_end;
        spool_record rec;
        int64_t at, next;
        const char *what = NULL;
        int r = read_next(&pos, &rec, &at, &next, &what);
        if (r == SPOOL_READ_ERROR && read_failed(pos, at, errno, what))
            continue;
        if (r == SPOOL_READ_END || r == SPOOL_READ_ERROR)
            break;
        if (r == SPOOL_READ_DAMAGE)
            damage_report(pos.seg, at, next);
        int put = r == SPOOL_READ_RECORD ? record_take(rec, &out[count]) : 0;
        if (put < 0)
            break;  // memory ran out: this record is read again by the next take
        tail_end = pos;
        if (put == 1) {
            taken.push_back({rec.seq, pos, tail_expired});
            tail_expired = 0;
            count++;
        }
    }
    *more = take_cut = count == spool.take_max;
    waiting_said = waiting_said && count == 0;
    if (count == 0) {
        free(out);
        tail_settle(0, 0);
    }
    *batch = count ? out : NULL;
    return count;
}

// Before the post goes out, the done file says its points are in doubt: a run that dies before
// the answer leaves them for the next run to count possibly duplicated.
void spool_posting(size_t count) {
    size_t last = std::min(taken_settled + count, taken.size());
    if (last == taken_settled)
        return;
    uint64_t doubt = std::max(spool.replay_below, taken[last - 1].seq + 1);
    if (doubt != spool.marks.doubt_seq) {
        spool.marks.doubt_seq = doubt;
        marks_save();
    }
}

uint64_t spool_settle(size_t count, bool accepted) {
    size_t end = std::min(taken_settled + count, taken.size());
    if (end == taken_settled)
        return 0;
    uint64_t expired = 0, replayed = 0;
    for (size_t i = taken_settled; i < end; i++) {
        expired += taken[i].expired_before;
        replayed += accepted && taken[i].seq < spool.replay_below;
    }
    counter_add(counters.points_replayed, replayed);
    uint64_t settled = end - taken_settled;
    taken_settled = end;
    if (end == taken.size())
        tail_settle(settled, expired);
    else
        done_move(taken[end - 1].end, taken[end - 1].seq + 1, settled, expired);
    return replayed;
}

// Only the first in_doubt of them may have reached the map service: the done file's doubt
// mark comes back down to them, so that a restart counts no other point possibly duplicated.
int spool_put_back(halvex_mapapi_point *batch, size_t count, size_t in_doubt) {
    points_release(batch, count);
    size_t last = std::min(taken_settled + in_doubt, taken.size());
    uint64_t doubt =
        std::max(spool.replay_below, last > taken_settled ? taken[last - 1].seq + 1 : 0);
    if (doubt != spool.marks.doubt_seq) {
        spool.marks.doubt_seq = doubt;
        marks_save();
    }
    taken.clear();
    taken_settled = 0;
    tail_expired = 0;
    return 0;
}

void spool_read_tidy(void) {
    done_files_give_back();
    expiry_say(true);
}
