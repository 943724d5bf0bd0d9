// fuzz_encode.cpp -- libFuzzer target: arbitrary point records and credentials through the
// batch encoder, whose body must be strict JSON holding exactly those points.
//
// Input layout: one byte n, then n bytes of map id; one byte m, then m bytes of key; then
// records of RECORD_BYTES each (a short tail is ignored). Field values are taken raw, so
// coordinates include NaN, infinities and subnormals, and every integer takes any value.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"

// Bytes of one record in the input: loc_type 2, slot 4, lng 4, r 4, colour flags 1, c 4,
// c2 4, delay 4, visible_time 4.
static const size_t RECORD_BYTES = 31;
// Longest credential taken from the input: longer than the client keeps, so cutting is met.
static const size_t CREDENTIAL_INPUT_MAX = 32;

struct input_reader {
    const uint8_t *data;
    size_t size;
};

static void bytes_take(input_reader *in, void *out, size_t n) {
    memcpy(out, in->data, n);
    in->data += n;
    in->size -= n;
}

// A length byte and that many bytes (fewer when the input runs out).
static std::string credential_take(input_reader *in) {
    if (in->size == 0)
        return "";
    uint8_t n = 0;
    bytes_take(in, &n, 1);
    size_t len = n % (CREDENTIAL_INPUT_MAX + 1);
    if (len > in->size)
        len = in->size;
    std::string text((const char *)in->data, len);
    bytes_take(in, &text[0], len);
    return text;
}

// The client keeps the text up to its first NUL, at most max bytes of it.
static std::string credential_kept(const std::string &text, size_t max) {
    std::string kept = text.substr(0, strnlen(text.c_str(), text.size()));
    return kept.substr(0, max);
}

static void record_take(input_reader *in, halvex_mapapi_point *p, uint32_t *colours) {
    uint8_t flags = 0;
    memset(p, 0, sizeof *p);
    bytes_take(in, &p->loc_type, sizeof p->loc_type);
    bytes_take(in, &p->zipcode, sizeof p->zipcode);  // the float and the integer share it
    bytes_take(in, &p->lng, sizeof p->lng);
    bytes_take(in, &p->r, sizeof p->r);
    bytes_take(in, &flags, 1);
    bytes_take(in, &colours[0], sizeof colours[0]);
    bytes_take(in, &colours[1], sizeof colours[1]);
    bytes_take(in, &p->delay, sizeof p->delay);
    bytes_take(in, &p->visible_time, sizeof p->visible_time);
    p->c = (flags & 1) ? &colours[0] : NULL;
    p->c2 = (flags & 2) ? &colours[1] : NULL;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in = {data, size};
    std::string id = credential_take(&in);
    std::string key = credential_take(&in);
    halvex_mapapi_init(id.c_str(), key.c_str());
    size_t count = in.size / RECORD_BYTES;
    std::vector<halvex_mapapi_point> points(count);
    std::vector<uint32_t> colours(2 * count);
    for (size_t i = 0; i < count; i++)
        record_take(&in, &points[i], &colours[2 * i]);
    if (count == 0) {
        size_t len = 1;
        halvex_mapapi_point none;
        FUZZ_REQUIRE(halvex_mapapi_encode_batch(&none, 0, &len) == NULL);
        return 0;
    }
    batch_check(points.data(), (int)count, credential_kept(id, HALVEX_MAPAPI_MAP_ID_MAX),
                credential_kept(key, HALVEX_MAPAPI_MAP_KEY_MAX));
    return 0;
}
