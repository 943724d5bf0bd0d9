// spool_recover.cpp -- the spool's one pass at start, in the order a reader follows: the folder
// opened and locked; each segment file looked at before it is opened, its header checked
// against its name, where its records end found; the done marks read; the numbers no file
// holds counted; then what is held, what is set aside and what was lost, each said once.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "base/clock.h"
#include "base/counters.h"
#include "base/log.h"
#include "outbox/spool.h"
#include "outbox/spool_store.h"

// Files named in a line; the rest are counted.
static const size_t FILES_NAMED = 3;
// A file is no smaller than this (fewer files, fewer creations) and no larger than this (done
// points are given back in steps of at most this much), and holds at most this share of the
// bound, so that what is done but not yet given back stays small beside it.
static const int64_t SEGMENT_BYTES_MIN = 64 * 1024;
static const int64_t SEGMENT_BYTES_MAX = 16 * 1024 * 1024;
static const int64_t SEGMENTS_PER_BOUND = 16;

// What the pass made of one segment file.
enum found_kind {
    FOUND_OURS,    // this map's: adopted into the chain
    FOUND_OTHER,   // another map id's: left in place, its points set aside
    FOUND_GONE,    // its records are gone (emptied, or something else in its place)
    FOUND_UNREAD,  // it cannot be read: moved aside, its points (up to the next file) set aside
    FOUND_ASIDE,   // its header is damaged: moved aside, its records set aside
    FOUND_ASTRAY,  // its header numbers it otherwise than its name: moved aside, set aside
    FOUND_OUT,     // no number of it can be trusted: moved aside, out of the chain
};

struct found_file {
    std::string name;
    uint64_t name_seq;
    uint64_t at;  // its place among the numbers: its name's, or its header's when they differ
    int kind;
    uint64_t first, slots;  // its records' numbers, when its header holds
    int64_t end;            // where its records end
    int64_t bytes;          // what it takes on disk
    std::string map_id;     // FOUND_OTHER
    std::string why;        // FOUND_UNREAD: what reading it met
};

// What the pass counts. [I]
static uint64_t lost, damaged, set_aside;
static std::map<std::string, std::vector<const found_file *>> others;  // by map id

static std::string named(const std::vector<std::string> &names) {
    std::string list;
    for (size_t i = 0; i < names.size() && i < FILES_NAMED; i++)
        list += (i ? ", " : "") + names[i];
    if (names.size() > FILES_NAMED)
        list += " and " + std::to_string(names.size() - FILES_NAMED) + " more";
    return list;
}

static std::string path_of(const std::string &name) {
    return spool.dir + "/" + name;
}

// Bytes a file takes on disk: what it was given, not its size.
static int64_t disk_bytes(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? (int64_t)st.st_blocks * 512 : 0;
}

// The room an earlier run gave a file ahead and never wrote goes back to the disk. A hole is
// punched rather than the file cut: its size stays, so that a process still mapping it could
// not fault on it.
static void room_give_back(const found_file &f, int fd) {
    int64_t from = (f.end + 4095) / 4096 * 4096;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= from)
        return;
    int rw = openat(spool.dir_fd, f.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (rw < 0 ||
        fallocate(rw, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from, st.st_size - from) != 0)
        log_warnf("Spool file %s: its unwritten room cannot be given back (%s).",
                  path_of(f.name).c_str(), strerror(errno));
    if (rw >= 0)
        close(rw);
}

// A file that is set aside leaves the folder's chain under a name no run reads; its points are
// set aside, or with none of ours in it (something else in a segment's place), lost, which
// the numbers it leaves out count.
static void moved_aside(found_file &f, int kind, const char *why, uint64_t points) {
    std::string to = spool_set_aside(f.name);
    std::string where =
        to.empty() ? "left in place (it cannot be moved aside)" : "moved aside as " + to;
    f.kind = kind;
    set_aside += points;
    if (kind == FOUND_GONE)
        log_warnf("Spool file %s %s: %s; the records of a segment there are lost.",
                  path_of(f.name).c_str(), why, where.c_str());
    else
        log_warnf("Spool file %s %s: %s, %llu %s set aside, not posted.", path_of(f.name).c_str(),
                  why, where.c_str(), (unsigned long long)points,
                  log_plural(points, "point", "points"));
}

// A record cut short as it was written, or bytes where no record can be, are said; the first
// is counted lost (a power cut inside the sync window may have taken a point answered OK).
static void tail_say(const found_file &f, bool torn, int64_t stray) {
    if (torn) {
        lost++;
        damaged++;
        log_warnf(
            "Spool file %s: the record after offset %lld was cut short as it was written; "
            "cut off, 1 point lost.",
            path_of(f.name).c_str(), (long long)f.end);
    }
    if (stray >= 0)
        log_warnf(
            "Spool file %s: bytes up to offset %lld in the room after its last record "
            "passed over (no record).",
            path_of(f.name).c_str(), (long long)stray);
}

// Where a file whose header holds stands: this map's, another's, or numbered otherwise than
// its name says (renamed, or a copy): then it holds the numbers its header says, set aside.
static void header_judge(found_file &f, const spool_header &h, int fd) {
    f.first = h.first_seq;
    f.map_id = h.map_id;
    if (f.first > SPOOL_SEQ_MAX - f.slots) {
        moved_aside(f, FOUND_OUT, "numbers its records past the highest record number", f.slots);
        return;
    }
    if (f.first != f.name_seq) {
        char why[96];
        snprintf(why, sizeof why, "numbers its first record %llx, not as its name says",
                 (unsigned long long)f.first);
        f.at = f.first;
        moved_aside(f, FOUND_ASTRAY, why, f.slots);
        return;
    }
    room_give_back(f, fd);
    f.bytes = disk_bytes(fd);
    f.kind = strcmp(h.map_id, spool.map_id) == 0 ? FOUND_OURS : FOUND_OTHER;
    if (f.kind == FOUND_OTHER)
        others[f.map_id].push_back(&f);
}

// One segment file, opened and read only once it is known to be a regular file.
static void file_look(found_file &f) {
    int64_t size = 0;
    const char *what;
    int fd = spool_file_open(spool.dir_fd, f.name.c_str(), &size, &what);
    if (fd < 0 && errno == ENOENT)
        return;  // gone meanwhile: f stays FOUND_GONE
    if (fd < 0 && what) {
        moved_aside(f, FOUND_GONE, (std::string("is ") + what + ", not a file of records").c_str(),
                    0);
        return;
    }
    if (fd < 0) {  // moved aside once the chain says how many points it holds
        struct stat st;
        f.bytes = fstatat(spool.dir_fd, f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                      ? (int64_t)st.st_blocks * 512
                      : 0;
        f.kind = FOUND_UNREAD;
        f.why = std::string("cannot be read (") + strerror(errno) + ")";
        return;
    }
    uint8_t head[SPOOL_HEADER_BYTES];
    spool_header h;
    bool torn = false;
    int64_t stray = -1;
    f.end = spool_records_end(fd, size, &torn, &stray);
    f.slots = spool_segment_slots(f.end);
    f.bytes = disk_bytes(fd);
    if (pread(fd, head, sizeof head, 0) != (ssize_t)sizeof head) {
        log_warnf("Spool file %s holds no header (%lld bytes): removed, its records lost.",
                  path_of(f.name).c_str(), (long long)size);
        unlinkat(spool.dir_fd, f.name.c_str(), 0);
    } else if (spool_header_decode(head, sizeof head, &h) != 0) {
        moved_aside(f, FOUND_ASIDE, "has a damaged header", f.slots);
    } else {
        header_judge(f, h, fd);
        if (f.kind == FOUND_OURS)
            tail_say(f, torn, stray);
    }
    close(fd);
}

// The done marks of this map: a file whose two copies both fail says so, and everything held
// is counted in doubt when posted again. 0, or -1 (errno) when the file cannot be used.
static int marks_read(void) {
    bool unreadable = false;
    spool.marks_fd = spool_marks_open(spool.dir_fd, spool.map_id, true, &spool.marks, &unreadable);
    if (spool.marks_fd < 0)
        return -1;
    spool.replay_below = std::min(spool.marks.doubt_seq, SPOOL_SEQ_MAX);
    spool.marks.done_seq = std::min(spool.marks.done_seq, SPOOL_SEQ_MAX);
    if (unreadable) {
        spool.replay_below = SPOOL_SEQ_MAX;
        log_warnf(
            "Spool folder %s: neither copy of this map's done marks can be read; every point "
            "held is posted again from the oldest, counted possibly duplicated.",
            spool.dir.c_str());
    }
    return 0;
}

// Numbers from from to to that no file holds, when the run that numbered them was this map's:
// lost, and said.
static void gap_count(uint64_t from, uint64_t to, const std::string &before) {
    from = std::max(from, spool.marks.done_seq);
    if (to <= from)
        return;
    lost += to - from;
    log_warnf("Spool folder %s: records %llx to %llx (%llu) are in no file%s%s; counted lost.",
              spool.dir.c_str(), (unsigned long long)from, (unsigned long long)(to - 1),
              (unsigned long long)(to - from), before.empty() ? "" : " after ", before.c_str());
}

// The files in the order of their places among the numbers, those out of it left out.
static std::vector<found_file *> chain_of(std::vector<found_file> &files) {
    std::vector<found_file *> chain;
    for (found_file &f : files)
        if (f.kind != FOUND_OUT)
            chain.push_back(&f);
    std::stable_sort(chain.begin(), chain.end(),
                     [](const found_file *a, const found_file *b) { return a->at < b->at; });
    return chain;
}

// Walk the files in the order of their numbers. Numbers between two files that no file holds
// were this map's when the file before them is (or, with none known before, the one after);
// a file that cannot be read holds the numbers up to the next one, and is set aside.
static void chain_walk(std::vector<found_file> &files) {
    std::vector<found_file *> chain = chain_of(files);
    const found_file *known = NULL;  // the last file whose records are known
    bool open = false;               // numbers after known (or the first gone) may be missing
    uint64_t from = 0;
    for (size_t i = 0; i < chain.size(); i++) {
        found_file &f = *chain[i];
        bool has = f.kind == FOUND_OURS || f.kind == FOUND_OTHER || f.kind == FOUND_ASTRAY;
        bool ours = has && f.map_id == spool.map_id;
        if (has && open && (known ? known->map_id == spool.map_id : ours))
            gap_count(from, f.first, known ? known->name : "");
        if (has) {
            known = &f;
            open = true;
            from = f.first + f.slots;
        } else if (f.kind == FOUND_UNREAD || f.kind == FOUND_ASIDE) {
            uint64_t points = i + 1 < chain.size() ? chain[i + 1]->at - f.at : 0;
            if (f.kind == FOUND_UNREAD)
                moved_aside(f, FOUND_UNREAD, f.why.c_str(), points);
            open = false;
        } else if (!known && !open) {
            open = true;
            from = f.at;
        }
    }
    if (open && known && known->map_id == spool.map_id)
        gap_count(from, spool.marks.doubt_seq, known->name);
}

// This map's files become the chain, oldest first; the numbering goes on after the highest
// number any file or mark has used.
static void chain_adopt(const std::vector<found_file> &files) {
    int64_t bytes = 0;
    uint64_t next = std::max(spool.marks.done_seq, std::min(spool.marks.doubt_seq, SPOOL_SEQ_MAX));
    for (const found_file &f : files) {
        if (f.kind == FOUND_OURS && f.slots == 0) {
            unlinkat(spool.dir_fd, f.name.c_str(), 0);  // a header alone: nothing to keep
            next = std::max(next, f.first);
            continue;
        }
        bytes += f.bytes;
        if (f.kind == FOUND_OURS || f.kind == FOUND_OTHER || f.kind == FOUND_ASTRAY)
            next = std::max(next, f.first + f.slots);
        else if (f.kind != FOUND_OUT)
            next = std::max(next, f.name_seq + std::max<uint64_t>(f.slots, 1));
        if (f.kind == FOUND_OURS)
            spool.segments.push_back({f.first, f.slots, f.bytes});
    }
    spool.next_seq = spool.run_first_seq = next;
    counters.store_bytes.store((uint64_t)bytes, std::memory_order_relaxed);
}

static int64_t segment_end(const spool_segment &s) {
    return SPOOL_HEADER_BYTES + (int64_t)s.slots * SPOOL_RECORD_BYTES;
}

// Where posting resumes: the first record not done. Returns the points held from there on.
static uint64_t reading_start(void) {
    uint64_t done = spool.marks.done_seq, held = 0;
    bool found = false;
    spool.done_pos = {0, SPOOL_HEADER_BYTES};
    for (const spool_segment &s : spool.segments) {
        if (!found && done >= s.first_seq + s.slots) {
            spool.done_pos = {s.first_seq, segment_end(s)};
            continue;
        }
        uint64_t skip = !found && done > s.first_seq ? done - s.first_seq : 0;
        if (!found)
            spool.done_pos = {s.first_seq, SPOOL_HEADER_BYTES + (int64_t)skip * SPOOL_RECORD_BYTES};
        found = true;
        held += s.slots - skip;
    }
    if (held == 0 && spool.marks.done_seq < spool.next_seq) {
        // Nothing of this map is held: the numbers below this run's are none of its business,
        // so that a later start never takes another map's given-back files for its own losses.
        spool.marks.done_seq = spool.next_seq;
        spool_marks_write(spool.marks_fd, &spool.marks);
    }
    return held;
}

// Points of another map id's files that its own done marks do not count done, by map id: one
// line each, saying how to post them.
static void others_say(void) {
    for (const auto &[id, files] : others) {
        spool_marks m;
        bool unreadable;
        int fd = spool_marks_open(spool.dir_fd, id.c_str(), false, &m, &unreadable);
        if (fd >= 0)
            close(fd);
        uint64_t points = 0;
        std::vector<std::string> names;
        for (const found_file *f : files) {
            uint64_t done = std::min(std::max(m.done_seq, f->first) - f->first, f->slots);
            points += f->slots - done;
            names.push_back(f->name);
        }
        set_aside += points;
        log_warnf(
            "Spool folder %s holds %llu %s set aside for map id %s, not posted to this map "
            "(%zu %s: %s): start once with map_id = %s to post them.",
            spool.dir.c_str(), (unsigned long long)points, log_plural(points, "point", "points"),
            id.c_str(), names.size(), log_plural(names.size(), "file", "files"),
            named(names).c_str(), id.c_str());
    }
}

// Files earlier runs moved aside are named, not read; their points were counted set aside
// once, by the run that moved them. They take room all the same.
static void asides_say(const std::vector<std::string> &asides) {
    uint64_t bytes = 0;
    for (const std::string &name : asides) {
        struct stat st;
        if (fstatat(spool.dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            bytes += (uint64_t)st.st_blocks * 512;
    }
    counters.store_bytes.fetch_add(bytes, std::memory_order_relaxed);
    if (!asides.empty())
        log_warnf(
            "Spool folder %s holds %zu %s moved aside by an earlier run, not read (%llu "
            "bytes): %s.",
            spool.dir.c_str(), asides.size(), log_plural(asides.size(), "file", "files"),
            (unsigned long long)bytes, named(asides).c_str());
}

static void settings_keep(const spool_settings *s) {
    spool.dir = s->dir;
    memset(spool.map_id, 0, sizeof spool.map_id);
    strncpy(spool.map_id, s->map_id.c_str(), HALVEX_MAPAPI_MAP_ID_MAX);
    spool.max_bytes = s->max_bytes;
    spool.max_age_usec.store(s->max_age_sec * 1000000, std::memory_order_relaxed);
    spool.sync_usec = s->sync_usec;
    spool.take_max = s->take_max;
    spool.segment_max = std::clamp((int64_t)(s->max_bytes / SEGMENTS_PER_BOUND), SEGMENT_BYTES_MIN,
                                   SEGMENT_BYTES_MAX);
    spool.writing_first = SPOOL_NO_SEGMENT;
    spool.write_fd = -1;
    spool.run_start_usec = clock_run_usec();
    pthread_mutex_init(&spool.lock, NULL);
    clock_cond_init(&spool.sync_cond);
}

// The ledger at start: what the folder held is carried in, and is now held, set aside or lost.
static void ledger_start(uint64_t held) {
    counters.points_carried_in.store(held + set_aside + lost, std::memory_order_relaxed);
    counters.points_set_aside.store(set_aside, std::memory_order_relaxed);
    counters.points_lost.store(lost, std::memory_order_relaxed);
    counters.points_damaged.store(damaged, std::memory_order_relaxed);
    counters.points_held.store(held, std::memory_order_relaxed);
    counters.store_limit_bytes.store(spool.max_bytes, std::memory_order_relaxed);
    counters.store_name.store("spool", std::memory_order_relaxed);
    if (held == 0)
        return;
    int64_t bytes = 0;
    for (const spool_segment &s : spool.segments)
        bytes += s.bytes;
    size_t files = spool.segments.size();
    log_printf("Spool %s: %llu %s held from an earlier run go first (%llu bytes in %zu %s).",
               spool.dir.c_str(), (unsigned long long)held, log_plural(held, "point", "points"),
               (unsigned long long)bytes, files, log_plural(files, "file", "files"));
}

// Each segment file looked at once. One whose header cannot tell its numbers and whose name
// is past every number a record may take has no place among them (it would wrap the
// numbering).
static void files_look(std::vector<found_file> &files) {
    for (found_file &f : files) {
        file_look(f);
        if (f.name_seq < SPOOL_SEQ_MAX || (f.kind != FOUND_GONE && f.kind != FOUND_UNREAD))
            continue;
        if (f.kind == FOUND_UNREAD)
            moved_aside(f, FOUND_OUT, (f.why + ", named past the highest record number").c_str(),
                        0);
        f.kind = FOUND_OUT;
    }
}

int spool_recover(const spool_settings *s) {
    spool.dir_fd = spool_dir_open(s->dir);
    if (spool.dir_fd < 0)
        return -1;
    settings_keep(s);
    std::vector<std::string> names, asides;
    spool_dir_names(spool.dir_fd, &names, &asides);
    static std::vector<found_file> files;  // others points into it: filled once, then looked at
    for (const std::string &name : names)
        files.push_back({name, spool_segment_name_seq(name), spool_segment_name_seq(name),
                         FOUND_GONE, 0, 0, 0, 0, "", ""});
    files_look(files);
    if (marks_read() != 0) {
        log_errorf("Spool folder %s cannot be written (%s).", spool.dir.c_str(), strerror(errno));
        return -1;
    }
    chain_walk(files);
    chain_adopt(files);
    others_say();
    asides_say(asides);
    ledger_start(reading_start());
    return 0;
}
