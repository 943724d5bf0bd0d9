// counters.cpp -- the service's counters and the one line that shows them.
#include "base/counters.h"

#include <stdio.h>

#include <string>

#include "base/log.h"

service_counters counters;

uint64_t counters_held(void) {
    if (counters.spool_on.load(std::memory_order_relaxed))
        return counters.spool_points.load(std::memory_order_relaxed);
    uint64_t settled = counter_get(counters.points_posted) + counter_get(counters.points_refused) +
                       counter_get(counters.points_lost) + counter_get(counters.points_unconfirmed);
    uint64_t accepted = counter_get(counters.points_accepted);
    return accepted > settled ? accepted - settled : 0;  // read at slightly different moments
}

// What the spool holds and what it passed over, for the end of the counters line; "" without.
static std::string spool_part(void) {
    if (!counters.spool_on.load(std::memory_order_relaxed))
        return "";
    char part[192];
    snprintf(part, sizeof part,
             "; spool: held %llu points in %llu bytes, replayed %llu, expired %llu, damaged %llu",
             (unsigned long long)counters.spool_points.load(std::memory_order_relaxed),
             (unsigned long long)counters.spool_bytes.load(std::memory_order_relaxed),
             (unsigned long long)counter_get(counters.points_replayed),
             (unsigned long long)counter_get(counters.points_expired),
             (unsigned long long)counter_get(counters.points_damaged));
    return part;
}

// Every message read is answered OK or FAILED, so received is their sum.
void counters_print(void) {
    uint64_t accepted = counter_get(counters.points_accepted);
    uint64_t rejected = counter_get(counters.points_rejected);
    log_printf(
        "Counters: points received %llu, accepted %llu, rejected %llu, posted %llu, "
        "refused %llu, lost %llu, unconfirmed %llu, queued %llu; posts made %llu, failed in "
        "transit %llu, refused %llu; points possibly duplicated %llu%s.",
        (unsigned long long)(accepted + rejected), (unsigned long long)accepted,
        (unsigned long long)rejected, (unsigned long long)counter_get(counters.points_posted),
        (unsigned long long)counter_get(counters.points_refused),
        (unsigned long long)counter_get(counters.points_lost),
        (unsigned long long)counter_get(counters.points_unconfirmed),
        (unsigned long long)counters_held(), (unsigned long long)counter_get(counters.posts_made),
        (unsigned long long)counter_get(counters.posts_failed),
        (unsigned long long)counter_get(counters.posts_refused),
        (unsigned long long)counter_get(counters.points_possibly_duplicated), spool_part().c_str());
}
