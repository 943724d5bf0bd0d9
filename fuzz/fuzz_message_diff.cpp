// fuzz_message_diff.cpp -- libFuzzer target: the flat-object reader against the JSON library's.
//
// Each input is one receive, read twice: as the service reads it (the flat-object reader when
// it takes the message) and by the JSON library's reader alone. Verdict, lines and record
// must be the same byte for byte; colours are compared by presence and value. A short input is
// also read as the value of every key. At exit the run says how many texts the flat-object
// reader took.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "intake/message.h"
#include "outbox/points.h"

static unsigned long inputs_run, inputs_fast;

static void fast_share_report(void) {
    fprintf(stderr, "fuzz_message_diff: flat-object reader took %lu of %lu texts\n", inputs_fast,
            inputs_run);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    atexit(fast_share_report);
    return 0;
}

static bool colours_same(const uint32_t *a, const uint32_t *b) {
    return (a == NULL) == (b == NULL) && (a == NULL || *a == *b);
}

static void outcomes_compare(const message_outcome *fast, const message_outcome *general) {
    FUZZ_REQUIRE(general->fast == 0);
    FUZZ_REQUIRE(fast->line_count == general->line_count);
    for (int i = 0; i < fast->line_count; i++)
        FUZZ_REQUIRE(strcmp(fast->lines[i], general->lines[i]) == 0);
}

// Every byte of the records, padding included (both start zeroed), but the colour pointers.
static void records_compare(const halvex_mapapi_point *fast, const halvex_mapapi_point *general) {
    FUZZ_REQUIRE(colours_same(fast->c, general->c));
    FUZZ_REQUIRE(colours_same(fast->c2, general->c2));
    halvex_mapapi_point a = *fast, b = *general;
    a.c = a.c2 = b.c = b.c2 = NULL;
    FUZZ_REQUIRE(memcmp(&a, &b, sizeof a) == 0);
}

static void readers_compare(const char *data, size_t size) {
    halvex_mapapi_point fast_point, general_point;
    message_outcome fast, general;
    int fast_ok = message_read(data, size, &fast_point, &fast, 1);
    int general_ok = message_read(data, size, &general_point, &general, 0);
    inputs_run++;
    inputs_fast += (unsigned long)fast.fast;
    FUZZ_REQUIRE(fast_ok == general_ok);
    outcomes_compare(&fast, &general);
    records_compare(&fast_point, &general_point);
    point_colours_release(&fast_point);
    point_colours_release(&general_point);
}

// Objects with one value in every place: a short input is also tried as that value, so that
// number and string forms reach the flat-object reader without the fuzzer building the
// object around them. Two shapes, as "zipcode" is read only without both coordinates.
static const char *const value_shapes[] = {
    "{\"lat\":@,\"lng\":@,\"r\":@,\"c\":@,\"delay\":@}",
    "{\"zipcode\":@, \"visible_time\":@,\"c2\":@}",
};
// Longest input tried as a value: five copies and the keys stay within one receive.
static const size_t VALUE_MAX_BYTES = 160;

static void values_compare(const char *value, size_t size) {
    for (const char *shape : value_shapes) {
        std::string text;
        for (const char *p = shape; *p; p++) {
            if (*p == '@')
                text.append(value, size);
            else
                text += *p;
        }
        readers_compare(text.data(), text.size());
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MESSAGE_MAX_BYTES)
        return -1;  // one receive never holds more; keep such inputs out of the corpus
    readers_compare((const char *)data, size);
    if (size <= VALUE_MAX_BYTES)
        values_compare((const char *)data, size);
    return 0;
}
