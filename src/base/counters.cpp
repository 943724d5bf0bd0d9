// counters.cpp -- the ledger of points, the counts of posts, and the one line that shows them.
#include "base/counters.h"

#include <stdio.h>

#include <string>

#include "base/log.h"

service_counters counters;

uint64_t counters_held(void) {
    return counters.points_held.load(std::memory_order_relaxed);
}

// What the store's files take, for the end of the counters line; "" in memory.
static std::string files_part(void) {
    uint64_t limit = counters.store_limit_bytes.load(std::memory_order_relaxed);
    const char *name = counters.store_name.load(std::memory_order_relaxed);
    if (limit == 0 || !name)
        return "";
    char part[128];
    snprintf(part, sizeof part, "; %s: %llu bytes of %llu", name,
             (unsigned long long)counters.store_bytes.load(std::memory_order_relaxed),
             (unsigned long long)limit);
    return part;
}

// Every message read is answered OK or FAILED, so received is their sum; the points' part
// reads as the ledger does: carried in and accepted, then the states they are in.
void counters_print(void) {
    uint64_t accepted = counter_get(counters.points_accepted);
    uint64_t rejected = counter_get(counters.points_rejected);
    log_printf(
        "Counters: points received %llu, accepted %llu, rejected %llu, carried in %llu, "
        "posted %llu, refused %llu, lost %llu, expired %llu, unconfirmed %llu, set aside %llu, "
        "held %llu; posts made %llu, failed in transit %llu, refused %llu; points possibly "
        "duplicated %llu, replayed %llu, damaged %llu%s.",
        (unsigned long long)(accepted + rejected), (unsigned long long)accepted,
        (unsigned long long)rejected, (unsigned long long)counter_get(counters.points_carried_in),
        (unsigned long long)counter_get(counters.points_posted),
        (unsigned long long)counter_get(counters.points_refused),
        (unsigned long long)counter_get(counters.points_lost),
        (unsigned long long)counter_get(counters.points_expired),
        (unsigned long long)counter_get(counters.points_unconfirmed),
        (unsigned long long)counter_get(counters.points_set_aside),
        (unsigned long long)counters_held(), (unsigned long long)counter_get(counters.posts_made),
        (unsigned long long)counter_get(counters.posts_failed),
        (unsigned long long)counter_get(counters.posts_refused),
        (unsigned long long)counter_get(counters.points_possibly_duplicated),
        (unsigned long long)counter_get(counters.points_replayed),
        (unsigned long long)counter_get(counters.points_damaged), files_part().c_str());
}
