// spool_store.cpp -- the spool's shared record and what its parts share: why points are
// refused, the held figure, files moved aside.
#include "outbox/spool_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "base/counters.h"
#include "base/log.h"
#include "outbox/outbox.h"

// Names tried for a file moved aside when "aside-NAME" is taken already: "aside-NAME.1" on.
static const int ASIDE_NAMES_TRIED = 100;

spool_store spool;

uint64_t spool_pass_bytes(void) {
    return OUTBOX_PASS_POINTS_MAX * SPOOL_RECORD_BYTES + SPOOL_HEADER_BYTES;
}

void spool_refusing_begin(int why, const std::string &file, int err) {
    int none = 0;
    if (spool.refusing.load(std::memory_order_relaxed) != 0 ||
        !spool.refusing.compare_exchange_strong(none, why))
        return;
    if (why == SPOOL_REFUSING_FULL)
        log_warnf(
            "The spool is full (%llu bytes, spool_max_bytes %llu); new points are "
            "answered FAILED.",
            (unsigned long long)counters.store_bytes.load(std::memory_order_relaxed),
            (unsigned long long)spool.max_bytes);
    else
        log_warnf("Cannot write to the spool (%s: %s); new points are answered FAILED.",
                  file.c_str(), strerror(err));
}

void spool_refusing_end(void) {
    if (spool.refusing.load(std::memory_order_relaxed) != 0 && spool.refusing.exchange(0) != 0)
        log_line("The spool takes points again.");
}

void spool_held_move(int64_t n) {
    counters.points_held.fetch_add((uint64_t)n, std::memory_order_relaxed);
}

// Never over a file of the same name: renameat2() refuses to replace one.
std::string spool_set_aside(const std::string &name) {
    for (int i = 0; i < ASIDE_NAMES_TRIED; i++) {
        std::string to = "aside-" + name + (i ? "." + std::to_string(i) : "");
        if (renameat2(spool.dir_fd, name.c_str(), spool.dir_fd, to.c_str(), RENAME_NOREPLACE) == 0)
            return to;
        if (errno != EEXIST)
            break;
    }
    return "";
}
