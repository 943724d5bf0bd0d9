// message.cpp -- parse one point message and fill a point record from its keys.
#include "message.h"

#include <json/reader.h>
#include <json/value.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "log.h"
#include "message_fast.h"
#include "message_fields.h"
#include "point_queue.h"

// A colour is read from its text only when it is "#" and six hexadecimal digits: 7 bytes.
static const size_t COLOUR_TEXT_LEN = 7;

// The receiver is the only caller in the service; one reader per thread keeps its internal
// stacks between messages instead of building them anew each time. The default reader is
// lenient: comments allowed, any value as the document, text after the first value ignored.
// It gives up past a fixed nesting depth by throwing, before the recursion can exhaust the
// stack, so a deeply nested message is a parse failure and never a crash.
static thread_local Json::Reader message_reader;

void outcome_line_add(message_outcome *outcome, const char *line) {
    if (outcome->line_count < MESSAGE_LINES_MAX)
        outcome->lines[outcome->line_count++] = line;
}

// Parse text[0..len) into *doc (which starts as null). Notes the failure line on failure.
static int document_parse(const char *text, size_t len, Json::Value *doc,
                          message_outcome *outcome) {
    bool parsed = false;
    try {
        parsed = message_reader.parse(text, text + len, *doc, false);
    } catch (const std::exception &) {
        parsed = false;  // nesting too deep, or out of memory
    }
    if (!parsed)
        outcome_line_add(outcome, "Failed to parse JSON.");
    return parsed ? 1 : 0;
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

// Point each slot at its top-level member, or leave it NULL when the member is missing or
// null. One pass over the members replaces a lookup per key; the document is not changed,
// and a missing key reads as absent just as it would through a lookup that adds it as null.
static void members_collect(const Json::Value &doc, const Json::Value *slots[KEY_COUNT]) {
    for (int k = 0; k < KEY_COUNT; k++)
        slots[k] = NULL;
    Json::Value::const_iterator end_it = doc.end();
    for (Json::Value::const_iterator it = doc.begin(); it != end_it; ++it) {
        const char *end = NULL;
        const char *name = it.memberName(&end);
        int k = message_key_find(name, (size_t)(end - name));
        if (k < KEY_COUNT && !(*it).isNull())
            slots[k] = &*it;
    }
}

// A coordinate too large for a float would be written out as text no JSON reader accepts.
static int latlng_read(const Json::Value &lat, const Json::Value &lng, halvex_mapapi_point *p,
                       message_outcome *outcome) {
    p->loc_type = HALVEX_MAPAPI_LOC_LATLNG;
    try {
        p->lat = lat.asFloat();
        p->lng = lng.asFloat();
    } catch (const Json::Exception &) {
        outcome_line_add(outcome, "Invalid lat/lng.");
        return 0;
    }
    if (isfinite(p->lat) && isfinite(p->lng))
        return 1;
    outcome_line_add(outcome, "Invalid lat/lng.");
    return 0;
}

// The leading base-10 integer of the value's text, held to the signed 32-bit range.
static int zipcode_read(const Json::Value &zip, halvex_mapapi_point *p, message_outcome *outcome) {
    p->loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    std::string text;
    try {
        text = zip.asString();
    } catch (const Json::Exception &) {
        outcome_line_add(outcome, "Invalid zipcode.");
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
        outcome_line_add(outcome, fail_line);
        return 0;
    }
    return 1;
}

// A present colour is "#rrggbb" read as hexadecimal; any other text is black. A value with
// no text form (an array or object) fails the message. Absent (v NULL) leaves *out NULL.
static int colour_read(const Json::Value *v, uint32_t **out, message_outcome *outcome) {
    if (!v)
        return 1;
    std::string text;
    try {
        text = v->asString();
    } catch (const Json::Exception &) {
        outcome_line_add(outcome, "Invalid colour.");
        return 0;
    }
    uint32_t value = 0;
    // The text ends at its first NUL, as every text here does.
    if (strlen(text.c_str()) == COLOUR_TEXT_LEN && text[0] == '#')
        value = (uint32_t)strtol(text.c_str() + 1, NULL, 16);
    *out = (uint32_t *)malloc(sizeof **out);
    if (!*out) {
        outcome_line_add(outcome, "Out of memory.");
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
        outcome_line_add(outcome, "Out of memory.");
        return 0;
    }
}

// Keys are read from an object; a null document reads as one without members.
static int document_check(const Json::Value &doc, message_outcome *outcome) {
    if (doc.isObject() || doc.isNull())
        return 1;
    outcome_line_add(outcome, "Point message is not a JSON object.");
    return 0;
}

static int document_read(const char *text, size_t len, halvex_mapapi_point *out,
                         message_outcome *outcome) {
    Json::Value doc;
    if (!document_parse(text, len, &doc, outcome) || !document_check(doc, outcome))
        return 0;
    const Json::Value *slots[KEY_COUNT];
    members_collect(doc, slots);
    return message_slots_read(slots, out, outcome);
}

// The general path: the JSON library's reader over a NUL-terminated copy of the text, so it
// never looks past the message. One receive fits the stack buffer; only a longer text from
// another caller takes the heap.
static int message_read_general(const char *data, size_t len, halvex_mapapi_point *out,
                                message_outcome *outcome) {
    char stack_text[MESSAGE_MAX_BYTES + 1];
    char *text = len <= MESSAGE_MAX_BYTES ? stack_text : (char *)malloc(len + 1);
    if (!text) {
        outcome_line_add(outcome, "Out of memory.");
        return 0;
    }
    memcpy(text, data, len);
    text[len] = '\0';
    int ok = document_read(text, len, out, outcome);
    if (text != stack_text)
        free(text);
    return ok;
}

int message_read(const char *data, size_t n, halvex_mapapi_point *out, message_outcome *outcome,
                 int fast_allowed) {
    memset(out, 0, sizeof *out);
    memset(outcome, 0, sizeof *outcome);
    const char *nul = (const char *)memchr(data, '\0', n);
    size_t len = nul ? (size_t)(nul - data) : n;
    int ok = fast_allowed ? message_read_fast(data, len, out, outcome) : MESSAGE_FAST_DECLINED;
    if (ok == MESSAGE_FAST_DECLINED)
        ok = message_read_general(data, len, out, outcome);
    else
        outcome->fast = 1;
    if (!ok)
        point_colours_release(out);
    return ok;
}

int message_handle(const char *data, size_t n, halvex_mapapi_point *out) {
    message_outcome outcome;
    int ok = message_read(data, n, out, &outcome, 1);
    for (int i = 0; i < outcome.line_count; i++)
        log_line(outcome.lines[i]);
    return ok;
}
