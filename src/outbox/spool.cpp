// spool.cpp -- the spool as the outbox's kind: opened through its one pass at start, its
// writing and reading sides put together, why it refuses points, and its part of the stop.
#include "outbox/spool.h"

#include <sys/statvfs.h>

#include "base/counters.h"
#include "outbox/spool_store.h"

static void spool_close(void) {
    spool_write_close();
}

// The file being written is left (cut to its records, or gone when it holds none), files all
// done are given back, the expiry still due is said, and what was written reaches the disk.
static void spool_finish(int64_t until_usec) {
    spool_write_leave();
    spool_read_tidy();
    spool_write_sync_final(until_usec);
}

// What is held stays in the files for the next start.
static void spool_end(uint64_t, uint64_t *lost, uint64_t *unconfirmed, uint64_t *kept) {
    *lost = *unconfirmed = 0;
    *kept = counters_held();
}

// The present state: a disk that had no room for a new file may have been freed since, and
// the next point would then be taken.
static const char *spool_refusing(void) {
    int why = spool.refusing.load(std::memory_order_relaxed);
    struct statvfs st;
    if (why == SPOOL_REFUSING_SPACE && fstatvfs(spool.dir_fd, &st) == 0 &&
        (uint64_t)st.f_bavail * st.f_frsize >= spool_pass_bytes())
        return NULL;
    if (why == SPOOL_REFUSING_FULL)
        return "the spool is full";
    return why ? "the spool cannot be written" : NULL;
}

static void spool_age_limit_set(int64_t sec) {
    spool.max_age_usec.store(sec * 1000000, std::memory_order_relaxed);
}

static const outbox_kind spool_kind = {
    spool_put,   spool_pass_end, spool_take, spool_posting,  spool_settle,        spool_put_back,
    spool_close, spool_finish,   spool_end,  spool_refusing, spool_age_limit_set, "in the spool",
};

const outbox_kind *spool_store_open(const spool_settings *s) {
    if (spool_recover(s) != 0)
        return NULL;
    spool_read_tidy();  // files an earlier run left all done
    spool_sync_start();
    return &spool_kind;
}
