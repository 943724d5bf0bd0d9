// spool_append.cpp -- points per second through the receiver's side of the spool: a pass of 1,
// 16 or 64 points stored into the mapped file and handed to the sender, beside the same points
// put in the in-memory queue as the service does without a spool. Every 4096 passes both are
// emptied the way the sender empties them (taken, settled, released), so the spool's files are
// given back and the figures include that work.
//
// Usage: spool_append [--sync-usec N] [--spool-dir DIR] [Google Benchmark options]
//   --sync-usec: spool_sync_usec (default 1000000; 0 syncs every pass before its replies)
//   --spool-dir: where the files go (default a new folder under /tmp, removed at the end;
//                the disk under it is what is measured)
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "outbox/outbox.h"
#include "outbox/point_queue.h"
#include "outbox/spool.h"

// Passes between two emptyings: a busy second's worth at 16 points a pass.
static const size_t PASSES_PER_EMPTYING = 4096;
// Most points one take returns while emptying (the service's default max_queued_points).
static const size_t TAKE_MAX = POINT_QUEUE_DEFAULT_MAX_POINTS;

static std::string spool_dir;
static int64_t sync_usec = SPOOL_SYNC_USEC_DEFAULT;
static const outbox_kind *spool;

static halvex_mapapi_point point_typical(void) {
    halvex_mapapi_point p;
    memset(&p, 0, sizeof p);
    p.loc_type = HALVEX_MAPAPI_LOC_LATLNG;
    p.lat = 40.7128f;
    p.lng = -74.006f;
    return p;
}

static void spool_ready(void) {
    static bool ready = [] {
        spool_settings s = {spool_dir, "benchmap", SPOOL_MAX_BYTES_DEFAULT, 0, sync_usec, TAKE_MAX};
        if (!(spool = spool_store_open(&s)))
            exit(1);
        return true;
    }();
    benchmark::DoNotOptimize(ready);
}

// Taken, posted and settled as the sender does it.
static void store_empty(const outbox_kind *k) {
    halvex_mapapi_point *batch;
    bool more;
    for (size_t n; (n = k->take(&batch, &more)) > 0;) {
        k->posting(n);
        k->settle(n, true);
        points_release(batch, n);
    }
}

static void bm_spool_pass(benchmark::State &state) {
    spool_ready();
    size_t per_pass = (size_t)state.range(0), passes = 0;
    halvex_mapapi_point p = point_typical();
    bool woke;
    for (auto _ : state) {
        for (size_t i = 0; i < per_pass; i++)
            spool->put(&p, &woke);
        if (spool->pass_end(&woke) != OUTBOX_HELD)
            state.SkipWithError("the spool refused a pass");
        if (++passes % PASSES_PER_EMPTYING == 0)
            store_empty(spool);
    }
    store_empty(spool);
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0));
}

static void bm_queue_pass(benchmark::State &state) {
    static outbox q;
    outbox_start(&q, queue_store_open(POINT_QUEUE_MAX_POINTS_MAX),
                 POINT_QUEUE_DEFAULT_INTERVAL_USEC);
    size_t per_pass = (size_t)state.range(0), passes = 0;
    halvex_mapapi_point p = point_typical();
    for (auto _ : state) {
        for (size_t i = 0; i < per_pass; i++)
            outbox_put(&q, &p);
        outbox_pass_end(&q);
        if (++passes % PASSES_PER_EMPTYING == 0)
            store_empty(q.kind);
    }
    store_empty(q.kind);
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0));
}

BENCHMARK(bm_queue_pass)->Arg(1)->Arg(16)->Arg(64);
BENCHMARK(bm_spool_pass)->Arg(1)->Arg(16)->Arg(64);

int main(int argc, char **argv) {
    std::string made;
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "--sync-usec") == 0)
            sync_usec = atoll(argv[i + 1]);
        else if (strcmp(argv[i], "--spool-dir") == 0)
            spool_dir = argv[i + 1];
        else
            continue;
        memmove(&argv[i], &argv[i + 2], (size_t)(argc - i - 1) * sizeof *argv);
        argc -= 2;
        i--;
    }
    if (spool_dir.empty()) {
        char templ[] = "/tmp/spool-bench-XXXXXX";
        made = spool_dir = mkdtemp(templ) ? templ : "";
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (!made.empty() && system(("rm -rf '" + made + "'").c_str()) != 0)
        return 1;
    return 0;
}
