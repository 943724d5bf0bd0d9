// counters.cpp -- the service's counters and the one line that shows them.
#include "base/counters.h"

#include "base/log.h"

service_counters counters;

uint64_t counters_held(void) {
    uint64_t settled = counter_get(counters.points_posted) + counter_get(counters.points_refused) +
                       counter_get(counters.points_lost) + counter_get(counters.points_unconfirmed);
    uint64_t accepted = counter_get(counters.points_accepted);
    return accepted > settled ? accepted - settled : 0;  // read at slightly different moments
}

// Every message read is answered OK or FAILED, so received is their sum.
void counters_print(void) {
    uint64_t accepted = counter_get(counters.points_accepted);
    uint64_t rejected = counter_get(counters.points_rejected);
    log_printf(
        "Counters: points received %llu, accepted %llu, rejected %llu, posted %llu, "
        "refused %llu, lost %llu, unconfirmed %llu, queued %llu; posts made %llu, failed in "
        "transit %llu, refused %llu; points possibly duplicated %llu.",
        (unsigned long long)(accepted + rejected), (unsigned long long)accepted,
        (unsigned long long)rejected, (unsigned long long)counter_get(counters.points_posted),
        (unsigned long long)counter_get(counters.points_refused),
        (unsigned long long)counter_get(counters.points_lost),
        (unsigned long long)counter_get(counters.points_unconfirmed),
        (unsigned long long)counters_held(), (unsigned long long)counter_get(counters.posts_made),
        (unsigned long long)counter_get(counters.posts_failed),
        (unsigned long long)counter_get(counters.posts_refused),
        (unsigned long long)counter_get(counters.points_possibly_duplicated));
}
