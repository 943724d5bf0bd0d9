// fuzz_message.cpp -- libFuzzer target: any received bytes through point message handling.
//
// Each input is one receive. The reply and the record must agree: a rejected message prints
// at least one known fault line and leaves no colours; an accepted one prints no fault (at most
// the line about text after the value), holds a known location kind, finite coordinates and
// colours as the colour rule can make them, and encodes into a strict JSON batch.
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz_check.h"
#include "intake/message.h"
#include "outbox/points.h"

// Longest output one message can print: every fault line once, with room to spare.
static const size_t PRINTED_MAX = 1024;

static const char *const fault_lines[] = {
    "Failed to parse JSON.", "Point message is not a JSON object.",
    "Invalid lat/lng.",      "Invalid zipcode.",
    "Invalid radius.",       "Invalid colour.",
    "Invalid delay.",        "Invalid visible_time.",
    "Out of memory.",        MESSAGE_TOO_LONG_LINE,
};

// What message handling prints goes to a memory file that is emptied before each input.
static int printed_fd = -1;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    printed_fd = memfd_create("fuzz_message_stdout", 0);
    FUZZ_REQUIRE(printed_fd >= 0);
    fflush(stdout);
    FUZZ_REQUIRE(dup2(printed_fd, STDOUT_FILENO) == STDOUT_FILENO);
    halvex_mapapi_init("fuzzmap1", "fuzzkey123456789");
    return 0;
}

static void printed_reset(void) {
    fflush(stdout);
    FUZZ_REQUIRE(ftruncate(STDOUT_FILENO, 0) == 0);
    FUZZ_REQUIRE(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
}

static std::string printed_take(void) {
    fflush(stdout);
    char buf[PRINTED_MAX];
    ssize_t n = pread(printed_fd, buf, sizeof buf, 0);
    FUZZ_REQUIRE(n >= 0 && (size_t)n < sizeof buf);
    return std::string(buf, (size_t)n);
}

static bool fault_line_known(const std::string &line) {
    for (const char *known : fault_lines) {
        if (line == known)
            return true;
    }
    return false;
}

// Every printed line is one of the fault lines, or the one about text after the value, each
// ended by a line break. Returns how many faults.
static size_t fault_lines_count(const std::string &printed) {
    size_t count = 0, start = 0;
    while (start < printed.size()) {
        size_t end = printed.find('\n', start);
        FUZZ_REQUIRE(end != std::string::npos);
        std::string line = printed.substr(start, end - start);
        FUZZ_REQUIRE(line == MESSAGE_REST_IGNORED_LINE || fault_line_known(line));
        count += line != MESSAGE_REST_IGNORED_LINE;
        start = end + 1;
    }
    return count;
}

// What strtol makes of the six characters after "#" (at most six hexadecimal digits), or black.
static bool colour_possible(const uint32_t *c) {
    return !c || *c <= 0xffffff;
}

static void accepted_check(const halvex_mapapi_point *p) {
    FUZZ_REQUIRE(p->loc_type == HALVEX_MAPAPI_LOC_NONE || p->loc_type == HALVEX_MAPAPI_LOC_LATLNG ||
                 p->loc_type == HALVEX_MAPAPI_LOC_ZIPCODE);
    if (p->loc_type == HALVEX_MAPAPI_LOC_LATLNG)
        FUZZ_REQUIRE(isfinite(p->lat) && isfinite(p->lng));
    FUZZ_REQUIRE(colour_possible(p->c) && colour_possible(p->c2));
    batch_check(p, 1, "fuzzmap1", "fuzzkey123456789");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MESSAGE_MAX_BYTES)
        return -1;  // one receive never holds more; keep such inputs out of the corpus
    printed_reset();
    halvex_mapapi_point point;
    int ok = message_handle((const char *)data, size, &point);
    size_t faults = fault_lines_count(printed_take());
    FUZZ_REQUIRE(ok == 0 || ok == 1);
    if (ok) {
        FUZZ_REQUIRE(faults == 0);
        accepted_check(&point);
    } else {
        FUZZ_REQUIRE(faults >= 1);
        FUZZ_REQUIRE(point.c == NULL && point.c2 == NULL);
    }
    point_colours_release(&point);
    return 0;
}
