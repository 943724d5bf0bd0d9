// fuzz_spool.cpp -- libFuzzer target: any bytes as a spool segment file, its records' end found
// as a start finds it, and read back the way the sender reads one after a restart.
//
// Input layout: one byte that sets the reader's window (so that records and damage fall across
// window edges), then the file's bytes. The end must be just after a good record (or the
// header's end), with anything said to lie beyond it (a record cut short, stray bytes) really
// there. The reader must end, return records and damaged stretches that tile the file from
// the header on, in order; every record it returns must be one the writer would write, byte
// for byte; and no good record may start inside a stretch it called damaged.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_check.h"
#include "outbox/spool_file.h"

// Smallest window tried: a record and one byte more, the least the reader is made for.
static const size_t WINDOW_MIN = SPOOL_RECORD_BYTES + 1;

static int file_fd = -1;
static spool_cursor cursor;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    file_fd = memfd_create("fuzz_spool_segment", 0);
    FUZZ_REQUIRE(file_fd >= 0);
    return 0;
}

// The record as the writer would write it from what the reader made of it.
static void record_rewritten(const spool_record &r, uint8_t out[SPOOL_RECORD_BYTES]) {
    halvex_mapapi_point p = r.point;
    uint32_t c = r.c, c2 = r.c2;
    p.c = (r.colours_present & 1) ? &c : NULL;
    p.c2 = (r.colours_present & 2) ? &c2 : NULL;
    spool_record_encode(r.seq, r.accepted_unix_usec, &p, out);
}

static void file_fill(const uint8_t *data, size_t size) {
    FUZZ_REQUIRE(ftruncate(file_fd, 0) == 0);
    FUZZ_REQUIRE(pwrite(file_fd, data, size, 0) == (ssize_t)size);
}

// Where the start would end the file's records, and what it would say lies beyond.
static void records_end_check(const uint8_t *file, size_t len) {
    bool torn;
    int64_t stray;
    int64_t end = spool_records_end(file_fd, (int64_t)len, &torn, &stray);
    spool_record rec;
    FUZZ_REQUIRE(end <= (int64_t)len && (end >= SPOOL_HEADER_BYTES || end == (int64_t)len));
    if (end > SPOOL_HEADER_BYTES && end < (int64_t)len)
        FUZZ_REQUIRE(
            spool_record_decode(file + end - SPOOL_RECORD_BYTES, SPOOL_RECORD_BYTES, &rec) == 0);
    FUZZ_REQUIRE(stray == -1 ||
                 (stray >= end + SPOOL_RECORD_BYTES && stray < (int64_t)len && file[stray] != 0));
    FUZZ_REQUIRE(!torn || end < (int64_t)len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    size_t window = WINDOW_MIN + data[0] * 16;
    const uint8_t *file = data + 1;
    size_t len = size - 1;
    file_fill(file, len);
    records_end_check(file, len);
    spool_header header;
    spool_header_decode(file, len, &header);  // any outcome; it must not read past len
    spool_cursor_start(&cursor, file_fd, SPOOL_HEADER_BYTES, (int64_t)len);
    cursor.chunk = window < SPOOL_READ_CHUNK ? window : SPOOL_READ_CHUNK;
    int64_t expected = SPOOL_HEADER_BYTES < len ? SPOOL_HEADER_BYTES : (int64_t)len;
    spool_record rec;
    int64_t at, next;
    for (size_t steps = 0;; steps++) {
        FUZZ_REQUIRE(steps <= len + 1);
        int r = spool_cursor_next(&cursor, &rec, &at, &next);
        FUZZ_REQUIRE(r != SPOOL_READ_ERROR);
        if (r == SPOOL_READ_END)
            break;
        FUZZ_REQUIRE(at == expected && next > at && next <= (int64_t)len);
        if (r == SPOOL_READ_RECORD) {
            uint8_t again[SPOOL_RECORD_BYTES];
            record_rewritten(rec, again);
            FUZZ_REQUIRE(next - at == SPOOL_RECORD_BYTES);
            FUZZ_REQUIRE(memcmp(again, file + at, SPOOL_RECORD_BYTES) == 0);
        } else {
            long found = spool_record_find(file, len, (size_t)at + 1);
            FUZZ_REQUIRE(found == (next == (int64_t)len ? -1 : next));
        }
        expected = next;
    }
    FUZZ_REQUIRE(expected == (int64_t)len || len <= SPOOL_HEADER_BYTES);
    return 0;
}
