// spool_format.cpp -- encoding and checking the spool's headers and records (see spool_format.h).
#include "outbox/spool_format.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

const uint8_t spool_record_marker[SPOOL_MARKER_BYTES] = {0xA7, 'H', 'X', 'R'};

static const uint8_t MARKS_MARKER[SPOOL_MARKER_BYTES] = {0xA7, 'H', 'X', 'D'};
static const char HEADER_MAGIC[8] = {'H', 'X', 'S', 'P', 'O', 'O', 'L', '\0'};
// Where the checksums sit and what they cover.
static const size_t HEADER_CRC_AT = 60;
static const size_t RECORD_CRC_AT = 4;
static const size_t RECORD_SUMMED_FROM = SPOOL_RECORD_HEAD_BYTES;
static const size_t MARKS_CRC_AT = 4;
static const size_t MARKS_SUMMED_FROM = 8;
// Bits of the colours-present byte.
static const uint8_t COLOUR_C = 1, COLOUR_C2 = 2;

static void u32_put(uint8_t *at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        at[i] = (uint8_t)(v >> (8 * i));
}

static void u64_put(uint8_t *at, uint64_t v) {
    for (int i = 0; i < 8; i++)
        at[i] = (uint8_t)(v >> (8 * i));
}

static uint32_t u32_get(const uint8_t *at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | at[i];
    return v;
}

static uint64_t u64_get(const uint8_t *at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | at[i];
    return v;
}

static uint32_t checksum(const uint8_t *from, size_t len) {
    return (uint32_t)crc32_z(0L, from, len);
}

void spool_header_encode(const spool_header *h, uint8_t out[SPOOL_HEADER_BYTES]) {
    memset(out, 0, SPOOL_HEADER_BYTES);
    memcpy(out, HEADER_MAGIC, sizeof HEADER_MAGIC);
    u32_put(out + 8, SPOOL_FORMAT_VERSION);
    u32_put(out + 12, SPOOL_RECORD_BYTES);
    memcpy(out + 16, h->map_id, strnlen(h->map_id, HALVEX_MAPAPI_MAP_ID_MAX));
    u64_put(out + 24, h->first_seq);
    u64_put(out + 32, (uint64_t)h->created_unix_usec);
    u32_put(out + HEADER_CRC_AT, checksum(out, HEADER_CRC_AT));
}

int spool_header_decode(const uint8_t *in, size_t len, spool_header *h) {
    if (len < SPOOL_HEADER_BYTES || memcmp(in, HEADER_MAGIC, sizeof HEADER_MAGIC) != 0)
        return -1;
    if (u32_get(in + HEADER_CRC_AT) != checksum(in, HEADER_CRC_AT))
        return -1;
    if (u32_get(in + 8) != SPOOL_FORMAT_VERSION || u32_get(in + 12) != SPOOL_RECORD_BYTES)
        return -1;
    memset(h->map_id, 0, sizeof h->map_id);
    memcpy(h->map_id, in + 16, HALVEX_MAPAPI_MAP_ID_MAX);
    h->first_seq = u64_get(in + 24);
    h->created_unix_usec = (int64_t)u64_get(in + 32);
    return 0;
}

void spool_marks_encode(const spool_marks *m, uint8_t out[SPOOL_MARKS_BYTES]) {
    memcpy(out, MARKS_MARKER, SPOOL_MARKER_BYTES);
    u64_put(out + 8, m->generation);
    u64_put(out + 16, m->done_seq);
    u64_put(out + 24, m->doubt_seq);
    u32_put(out + MARKS_CRC_AT,
            checksum(out + MARKS_SUMMED_FROM, SPOOL_MARKS_BYTES - MARKS_SUMMED_FROM));
}

int spool_marks_decode(const uint8_t *in, size_t len, spool_marks *m) {
    if (len < SPOOL_MARKS_BYTES || memcmp(in, MARKS_MARKER, SPOOL_MARKER_BYTES) != 0)
        return -1;
    if (u32_get(in + MARKS_CRC_AT) !=
        checksum(in + MARKS_SUMMED_FROM, SPOOL_MARKS_BYTES - MARKS_SUMMED_FROM))
        return -1;
    m->generation = u64_get(in + 8);
    m->done_seq = u64_get(in + 16);
    m->doubt_seq = u64_get(in + 24);
    return 0;
}

void spool_record_encode(uint64_t seq, int64_t accepted_unix_usec, const halvex_mapapi_point *p,
                         uint8_t out[SPOOL_RECORD_BYTES]) {
    uint32_t lat_bits, lng_bits;
    memcpy(&lat_bits, &p->lat, 4);  // the postal code shares these bytes
    memcpy(&lng_bits, &p->lng, 4);
    memcpy(out, spool_record_marker, SPOOL_MARKER_BYTES);
    u64_put(out + 8, seq);
    u64_put(out + 16, (uint64_t)accepted_unix_usec);
    out[24] = (uint8_t)p->loc_type;
    out[25] = (uint8_t)((uint16_t)p->loc_type >> 8);
    out[26] = (uint8_t)((p->c ? COLOUR_C : 0) | (p->c2 ? COLOUR_C2 : 0));
    out[27] = 0;
    u32_put(out + 28, lat_bits);
    u32_put(out + 32, lng_bits);
    u32_put(out + 36, (uint32_t)p->r);
    u32_put(out + 40, p->c ? *p->c : 0);
    u32_put(out + 44, p->c2 ? *p->c2 : 0);
    u32_put(out + 48, p->delay);
    u32_put(out + 52, p->visible_time);
    u32_put(out + RECORD_CRC_AT,
            checksum(out + RECORD_SUMMED_FROM, SPOOL_RECORD_BYTES - RECORD_SUMMED_FROM));
}

int spool_record_decode(const uint8_t *in, size_t len, spool_record *r) {
    if (len < SPOOL_RECORD_BYTES || memcmp(in, spool_record_marker, SPOOL_MARKER_BYTES) != 0)
        return -1;
    uint32_t sum = checksum(in + RECORD_SUMMED_FROM, SPOOL_RECORD_BYTES - RECORD_SUMMED_FROM);
    if (u32_get(in + RECORD_CRC_AT) != sum || in[26] > (COLOUR_C | COLOUR_C2) || in[27] != 0)
        return -1;
    memset(r, 0, sizeof *r);
    r->seq = u64_get(in + 8);
    r->accepted_unix_usec = (int64_t)u64_get(in + 16);
    r->point.loc_type = (int16_t)(uint16_t)(in[24] | (in[25] << 8));
    r->colours_present = in[26];
    uint32_t lat_bits = u32_get(in + 28), lng_bits = u32_get(in + 32);
    memcpy(&r->point.lat, &lat_bits, 4);
    memcpy(&r->point.lng, &lng_bits, 4);
    r->point.r = (int32_t)u32_get(in + 36);
    r->c = u32_get(in + 40);
    r->c2 = u32_get(in + 44);
    if ((!(r->colours_present & COLOUR_C) && r->c) || (!(r->colours_present & COLOUR_C2) && r->c2))
        return -1;  // an absent colour is written as 0: these bytes are no record of ours
    r->point.delay = u32_get(in + 48);
    r->point.visible_time = u32_get(in + 52);
    return 0;
}

long spool_record_find(const uint8_t *buf, size_t len, size_t from) {
    spool_record r;
    for (size_t at = from; at + SPOOL_RECORD_BYTES <= len; at++) {
        const void *hit = memchr(buf + at, spool_record_marker[0], len - at);
        if (!hit)
            return -1;
        at = (size_t)((const uint8_t *)hit - buf);
        if (spool_record_decode(buf + at, len - at, &r) == 0)
            return (long)at;
    }
    return -1;
}

static uint32_t *colour_copy(uint32_t value) {
    uint32_t *c = (uint32_t *)malloc(sizeof *c);
    if (c)
        *c = value;
    return c;
}

int spool_record_point(const spool_record *r, halvex_mapapi_point *p) {
    *p = r->point;
    p->c = (r->colours_present & COLOUR_C) ? colour_copy(r->c) : NULL;
    p->c2 = (r->colours_present & COLOUR_C2) ? colour_copy(r->c2) : NULL;
    if (((r->colours_present & COLOUR_C) && !p->c) ||
        ((r->colours_present & COLOUR_C2) && !p->c2)) {
        free(p->c);
        free(p->c2);
        return -1;
    }
    return 0;
}
