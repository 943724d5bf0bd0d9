// message_fields.cpp -- the keys of a point message and the reading of their values, shared by
// both message readers.
#include "intake/message_fields.h"

#include <json/value.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

// A colour is read from its text only when it is "#" and six more characters: 7 bytes.
static const size_t COLOUR_TEXT_LEN = 7;

void message_line_add(message_outcome *outcome, const char *line) {
    if (outcome->line_count < MESSAGE_LINES_MAX)
        outcome->lines[outcome->line_count++] = line;
}

// A key with its length, so member names are matched without measuring them each time.
struct key_name {
    const char *text;
    size_t len;
};
#define KEY_NAME(text) \
    { text, sizeof text - 1 }
static const key_name MESSAGE_KEY_NAMES[KEY_COUNT] = {
    KEY_NAME("lat"), KEY_NAME("lng"), KEY_NAME("zipcode"), KEY_NAME("r"),
    KEY_NAME("c"),   KEY_NAME("c2"),  KEY_NAME("delay"),   KEY_NAME("visible_time")};

int message_key_find(const char *name, size_t len) {
    for (int k = 0; k < KEY_COUNT; k++) {
        const key_name *key = &MESSAGE_KEY_NAMES[k];
        // The first byte settles most mismatches without a call; it exists as len >= 1.
        if (key->len == len && key->text[0] == name[0] && memcmp(key->text, name, len) == 0)
            return k;
    }
    return KEY_COUNT;
}

// A coordinate too large for a float would be written out as text no JSON reader accepts.
static int latlng_read(const Json::Value &lat, const Json::Value &lng, halvex_mapapi_point *p,
                       message_outcome *outcome) {
    p->loc_type = HALVEX_MAPAPI_LOC_LATLNG;
    try {
        p->lat = lat.asFloat();
        p->lng = lng.asFloat();
    } catch (const Json::Exception &) {
        message_line_add(outcome, "Invalid lat/lng.");
        return 0;
    }
    if (isfinite(p->lat) && isfinite(p->lng))
        return 1;
    message_line_add(outcome, "Invalid lat/lng.");
    return 0;
}

// The leading base-10 integer of the value's text, held to the signed 32-bit range.
static int zipcode_read(const Json::Value &zip, halvex_mapapi_point *p, message_outcome *outcome) {
    p->loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    std::string text;
    try {
        text = zip.asString();
    } catch (const Json::Exception &) {
        message_line_add(outcome, "Invalid zipcode.");
        return 0;
    }
    long code = strtol(text.c_str(), NULL, 10);
    if (code > INT32_MAX)
        code = INT32_MAX;
    if (code < INT32_MIN)
        code = INT32_MIN;
    p->zipcode = (int32_t)code;
    return 1;
}

// "lat" with "lng" when both are there, else "zipcode", else no location at all.
static int location_read(const Json::Value *const slots[KEY_COUNT], halvex_mapapi_point *p,
                         message_outcome *outcome) {
    if (slots[KEY_LAT] && slots[KEY_LNG])
        return latlng_read(*slots[KEY_LAT], *slots[KEY_LNG], p, outcome);
    if (slots[KEY_ZIPCODE])
        return zipcode_read(*slots[KEY_ZIPCODE], p, outcome);
    return 1;
}

// An unsigned 32-bit member (r, delay, visible_time); absent (v NULL) leaves *out at 0.
static int uint_read(const Json::Value *v, const char *fail_line, uint32_t *out,
                     message_outcome *outcome) {
    if (!v)
        return 1;
    try {
        *out = v->asUInt();
    } catch (const Json::Exception &) {
        message_line_add(outcome, fail_line);
        return 0;
    }
    return 1;
}

// "#rrggbb" as 0xRRGGBB. A text of seven characters that starts with "#" has the rest read as
// strtol() reads hexadecimal, up to its first character that is no digit ("#ff88zz" is
// 0x00ff88, "#12345g" 0x012345); clients rely on that reading. A sign would make "#-00001"
// -1, which would go out as "#ffffffff", no colour at all: a negative value is black, and so
// is any other text. The text ends at its first NUL, as every text here does.
static uint32_t colour_parse(const char *text) {
    if (strlen(text) != COLOUR_TEXT_LEN || text[0] != '#')
        return 0;
    long read = strtol(text + 1, NULL, 16);
    return read > 0 ? (uint32_t)read : 0;
}

// A present colour is read by colour_parse(). A value with no text form (an array or object)
// fails the message. Absent (v NULL) leaves *out NULL.
static int colour_read(const Json::Value *v, uint32_t **out, message_outcome *outcome) {
    if (!v)
        return 1;
    std::string text;
    try {
        text = v->asString();
    } catch (const Json::Exception &) {
        message_line_add(outcome, "Invalid colour.");
        return 0;
    }
    uint32_t value = colour_parse(text.c_str());
    *out = (uint32_t *)malloc(sizeof **out);
    if (!*out) {
        message_line_add(outcome, "Out of memory.");
        return 0;
    }
    **out = value;
    return 1;
}

// Every key is read even after an earlier one failed, so each fault notes its own line.
static int fields_read(const Json::Value *const slots[KEY_COUNT], halvex_mapapi_point *p,
                       message_outcome *outcome) {
    int ok = location_read(slots, p, outcome);
    uint32_t r = 0;
    ok &= uint_read(slots[KEY_R], "Invalid radius.", &r, outcome);
    p->r = (int32_t)r;
    ok &= colour_read(slots[KEY_C], &p->c, outcome);
    ok &= colour_read(slots[KEY_C2], &p->c2, outcome);
    ok &= uint_read(slots[KEY_DELAY], "Invalid delay.", &p->delay, outcome);
    ok &= uint_read(slots[KEY_VISIBLE_TIME], "Invalid visible_time.", &p->visible_time, outcome);
    return ok;
}

int message_slots_read(const Json::Value *const slots[KEY_COUNT], halvex_mapapi_point *p,
                       message_outcome *outcome) {
    try {
        return fields_read(slots, p, outcome);
    } catch (const std::bad_alloc &) {
        message_line_add(outcome, "Out of memory.");
        return 0;
    }
}
