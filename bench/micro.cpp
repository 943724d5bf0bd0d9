// micro.cpp -- microbenchmarks of the relay's per-message and per-batch work.
//
// Message handling (parse, check, fill the point record) is set beside a bare parse of the
// same text with the JSON library's default reader, and beside the same handling with every
// message left to that reader, as it was before the flat-object reader.
// Batch encoding is measured for 1, 100 and 100000 points and reported in points per second.
#include <benchmark/benchmark.h>
#include <json/reader.h>
#include <json/value.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "mapapi/halvex_mapapi.h"
#include "intake/message.h"
#include "outbox/point_queue.h"

static const char TYPICAL_MESSAGE[] = "{\"lat\":40.7128,\"lng\":-74.006}";
// Every key the protocol knows; with lat and lng present the postal code is not read.
static const char FULL_MESSAGE[] =
    "{\"lat\":40.7128,\"lng\":-74.006,\"zipcode\":\"10001\",\"r\":25,\"c\":\"#ff8800\","
    "\"c2\":\"#0088ff\",\"delay\":1500,\"visible_time\":60000}";

static void bm_message_handle(benchmark::State &state, const char *text) {
    size_t len = strlen(text);
    for (auto _ : state) {
        halvex_mapapi_point point;
        int ok = message_handle(text, len, &point);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(point);
        point_colours_release(&point);
    }
}

// The same handling with every message left to the JSON library's reader, as before the
// flat-object reader; the lines are collected and not printed.
static void bm_message_read_general(benchmark::State &state, const char *text) {
    size_t len = strlen(text);
    for (auto _ : state) {
        halvex_mapapi_point point;
        message_outcome outcome;
        int ok = message_read(text, len, &point, &outcome, 0);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(point);
        point_colours_release(&point);
    }
}

// The reader is kept between documents and each document parses into a fresh value, as the
// relay does; comments are not collected.
static void bm_jsoncpp_parse(benchmark::State &state, const char *text) {
    size_t len = strlen(text);
    Json::Reader reader;
    for (auto _ : state) {
        Json::Value doc;
        bool ok = reader.parse(text, text + len, doc, false);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(doc);
    }
}

BENCHMARK_CAPTURE(bm_message_handle, typical, TYPICAL_MESSAGE);
BENCHMARK_CAPTURE(bm_message_read_general, typical, TYPICAL_MESSAGE);
BENCHMARK_CAPTURE(bm_jsoncpp_parse, typical, TYPICAL_MESSAGE);
BENCHMARK_CAPTURE(bm_message_handle, full, FULL_MESSAGE);
BENCHMARK_CAPTURE(bm_message_read_general, full, FULL_MESSAGE);
BENCHMARK_CAPTURE(bm_jsoncpp_parse, full, FULL_MESSAGE);

// Points spread over the globe, so the coordinates have the usual number of digits.
static std::vector<halvex_mapapi_point> points_make(size_t n, bool full) {
    std::vector<halvex_mapapi_point> points(n);
    static uint32_t colours[2] = {0xff8800, 0x0088ff};
    for (size_t i = 0; i < n; i++) {
        halvex_mapapi_point &p = points[i];
        memset(&p, 0, sizeof p);
        p.loc_type = HALVEX_MAPAPI_LOC_LATLNG;
        p.lat = (float)(-89.0 + (double)(i * 7919 % 178000) / 1000.0);
        p.lng = (float)(-179.0 + (double)(i * 104729 % 358000) / 1000.0);
        if (full) {
            p.r = 25;
            p.c = &colours[0];
            p.c2 = &colours[1];
            p.delay = 1500;
            p.visible_time = 60000;
        }
    }
    return points;
}

static void bm_encode_batch(benchmark::State &state, bool full) {
    static bool ready = (halvex_mapapi_init("benchmap", "benchkey0123456"), true);
    benchmark::DoNotOptimize(ready);
    std::vector<halvex_mapapi_point> points = points_make((size_t)state.range(0), full);
    size_t len = 0;
    for (auto _ : state) {
        char *body = halvex_mapapi_encode_batch(points.data(), (int)points.size(), &len);
        benchmark::DoNotOptimize(body);
        free(body);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * state.range(0));
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)len);
}

BENCHMARK_CAPTURE(bm_encode_batch, latlng, false)->Arg(1)->Arg(100)->Arg(100000);
BENCHMARK_CAPTURE(bm_encode_batch, full, true)->Arg(100)->Arg(100000);

BENCHMARK_MAIN();
