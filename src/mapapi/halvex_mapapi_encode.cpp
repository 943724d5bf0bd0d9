// halvex_mapapi_encode.cpp -- the map client's batch body: the credentials it opens with, then
// each point as JSON, written with numbers exactly as printf writes them.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_credentials.h"

// Longest JSON text of one id or key byte: a \u00XX escape.
#define ESCAPED_BYTE_MAX 6
// Longest batch opening: the fixed names and punctuation (under 40 bytes) plus the id and key
// with every byte escaped.
#define HEADER_TEXT_MAX \
    (64 + ESCAPED_BYTE_MAX * (HALVEX_MAPAPI_MAP_ID_MAX + HALVEX_MAPAPI_MAP_KEY_MAX))
// Longest text of one coordinate: the widest float in fixed notation ("-", 39 integer digits,
// "." and 6 decimals: 47 bytes), with room to spare.
#define COORD_TEXT_MAX 64
// A postal code is written with at least this many digits, zero-padded on the left.
#define ZIPCODE_DIGITS_MIN 5
// Longest text of one point and the comma before it: two coordinates, five numbers of at most
// 11 characters, and field names and punctuation of under 100 bytes. Room for this much is
// made before each point so that its fields are written without further checks.
#define POINT_TEXT_MAX 256
// First size of the body buffer; it doubles from here, so a batch costs O(log n) reallocs.
#define BODY_INITIAL_CAP 4096
// Scaled coordinates from 2^63 up do not fit the integer fast path and go to snprintf.
#define COORD_FAST_LIMIT 9223372036854775808.0

// Locks: none. [I] written by halvex_mapapi_init() during set-up (or on the posting thread
// between posts), otherwise only read.
static char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1];    // [I]
static char map_key[HALVEX_MAPAPI_MAP_KEY_MAX + 1];  // [I]

static const char hex_digits[] = "0123456789abcdef";

// The body under construction: len bytes used of cap.
struct body_buffer {
    char *data;
    size_t len;
    size_t cap;
};

// ---- credentials ----------------------------------------------------------------------------

int mapapi_credentials_keep(const char *id, const char *key) {
    char id_kept[sizeof map_id] = "", key_kept[sizeof map_key] = "";
    strncat(id_kept, id ? id : "", HALVEX_MAPAPI_MAP_ID_MAX);
    strncat(key_kept, key ? key : "", HALVEX_MAPAPI_MAP_KEY_MAX);
    if (strcmp(id_kept, map_id) == 0 && strcmp(key_kept, map_key) == 0)
        return 0;
    memcpy(map_id, id_kept, sizeof map_id);
    memcpy(map_key, key_kept, sizeof map_key);
    return 1;
}

const char *mapapi_key_get(void) {
    return map_key;
}

// ---- text writers: each writes at p and returns the end of what it wrote -------------------

static char *literal_put(char *p, const char *s) {
    size_t n = strlen(s);
    memcpy(p, s, n);
    return p + n;
}

// v in decimal, zero-padded on the left to at least width digits.
static char *digits_put(char *p, uint64_t v, int width) {
    char rev[20];
    int n = 0;
    do {
        rev[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    for (; width > n; width--)
        *p++ = '0';
    while (n)
        *p++ = rev[--n];
    return p;
}

// As printf "%0<width>d": the sign counts towards the width.
static char *int_put(char *p, int32_t v, int width) {
    uint32_t magnitude = (uint32_t)v;
    if (v < 0) {
        *p++ = '-';
        magnitude = 0u - magnitude;
        width--;
    }
    return digits_put(p, magnitude, width);
}

// As printf "%06x".
static char *hex_put(char *p, uint32_t v) {
    int n = 6;
    while (n < 8 && (v >> (4 * n)) != 0)
        n++;
    for (int i = n - 1; i >= 0; i--)
        *p++ = hex_digits[(v >> (4 * i)) & 0xf];
    return p;
}

// As printf "%0.06f" of (double)f; JSON null for a value that is no number.
// A float has 24 significant bits and 1e6 is 15625 * 2^6 (14 more), so f * 1e6 is exact in a
// double; rounding it to an integer in the current mode rounds exactly as printf does.
static char *coord_put(char *p, float f) {
    if (!isfinite(f))
        return literal_put(p, "null");
    double scaled = (double)f * 1e6;
    if (fabs(scaled) >= COORD_FAST_LIMIT) {
        return p + snprintf(p, COORD_TEXT_MAX, "%0.06f", (double)f);
    }
    uint64_t micros = (uint64_t)fabs(nearbyint(scaled));
    if (signbit(f))
        *p++ = '-';  // printf keeps the sign of -0.0 and of tiny negatives
    p = digits_put(p, micros / 1000000, 1);
    *p++ = '.';
    return digits_put(p, micros % 1000000, 6);
}

// s as the inside of a JSON string: quote, backslash and control bytes escaped, others as-is.
static char *json_text_put(char *p, const char *s) {
    for (; *s; s++) {
        unsigned char ch = (unsigned char)*s;
        if (ch == '"' || ch == '\\') {
            *p++ = '\\';
            *p++ = (char)ch;
        } else if (ch == '\n') {
            p = literal_put(p, "\\n");
        } else if (ch == '\t') {
            p = literal_put(p, "\\t");
        } else if (ch < 0x20) {
            p = literal_put(p, "\\u00");
            *p++ = hex_digits[ch >> 4];
            *p++ = hex_digits[ch & 0xf];
        } else {
            *p++ = (char)ch;
        }
    }
    return p;
}

// ---- batch encoding ------------------------------------------------------------------------

// Make room for more bytes after the used ones, doubling the capacity; -1 when memory runs out.
static int body_reserve(body_buffer *t, size_t more) {
    if (t->cap - t->len >= more)
        return 0;
    size_t cap = t->cap ? t->cap : BODY_INITIAL_CAP;
    while (cap - t->len < more) {
        if (cap > SIZE_MAX / 2)
            return -1;
        cap *= 2;
    }
    char *grown = (char *)realloc(t->data, cap);
    if (!grown)
        return -1;
    t->data = grown;
    t->cap = cap;
    return 0;
}

static char *header_put(char *p) {
    p = literal_put(p, "{\"mapId\":\"");
    p = json_text_put(p, map_id);
    p = literal_put(p, "\",\"key\":\"");
    p = json_text_put(p, map_key);
    return literal_put(p, "\",\"points\":[");
}

static char *location_put(char *p, const halvex_mapapi_point *pt) {
    if (pt->loc_type == HALVEX_MAPAPI_LOC_LATLNG) {
        p = literal_put(p, "\"lat\":");
        p = coord_put(p, pt->lat);
        p = literal_put(p, ",\"lng\":");
        p = coord_put(p, pt->lng);
        *p++ = ',';
    } else if (pt->loc_type == HALVEX_MAPAPI_LOC_ZIPCODE) {
        p = literal_put(p, "\"zipcode\":\"");
        p = int_put(p, pt->zipcode, ZIPCODE_DIGITS_MIN);
        p = literal_put(p, "\",");
    }
    return p;
}

// "<name><v>," with v as printf "%d" shows it.
static char *number_field_put(char *p, const char *name, int32_t v) {
    p = literal_put(p, name);
    p = int_put(p, v, 1);
    *p++ = ',';
    return p;
}

static char *colour_field_put(char *p, const char *name, uint32_t v) {
    p = literal_put(p, name);
    p = hex_put(p, v);
    return literal_put(p, "\",");
}

// One point object: its present fields in fixed order, each closed by a comma, the last comma
// turned into the closing brace.
static char *point_put(char *p, const halvex_mapapi_point *pt) {
    *p++ = '{';
    p = location_put(p, pt);
    if (pt->r != 0)
        p = number_field_put(p, "\"r\":", pt->r);
    if (pt->c)
        p = colour_field_put(p, "\"c\":\"#", *pt->c);
    if (pt->c2)
        p = colour_field_put(p, "\"c2\":\"#", *pt->c2);
    // delay and visible_time go out as signed 32-bit numbers: from 2^31 up they print negative
    if (pt->delay != 0)
        p = number_field_put(p, "\"delay\":", (int32_t)pt->delay);
    if (pt->visible_time != 0) {
        p = number_field_put(p, "\"visible_time\":", (int32_t)pt->visible_time);
    }
    if (p[-1] == ',') {
        p[-1] = '}';
    } else {
        *p++ = '}';
    }
    return p;
}

char *halvex_mapapi_encode_batch(const halvex_mapapi_point *points, int count, size_t *len) {
    if (!points || count < 1)
        return NULL;
    body_buffer t = {NULL, 0, 0};
    if (body_reserve(&t, HEADER_TEXT_MAX) != 0)
        return NULL;
    t.len = (size_t)(header_put(t.data) - t.data);
    for (int i = 0; i < count; i++) {
        if (body_reserve(&t, POINT_TEXT_MAX) != 0) {
            free(t.data);
            return NULL;
        }
        char *p = t.data + t.len;
        if (i > 0)
            *p++ = ',';
        t.len = (size_t)(point_put(p, &points[i]) - t.data);
    }
    if (body_reserve(&t, 3) != 0) {
        free(t.data);
        return NULL;
    }
    memcpy(t.data + t.len, "]}", 3);
    t.len += 2;
    if (len)
        *len = t.len;
    return t.data;
}
