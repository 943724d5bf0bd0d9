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

#include "point_queue.h"

// A colour is read from its text only when it is "#" and six hexadecimal digits: 7 bytes.
static const size_t COLOUR_TEXT_LEN = 7;

// The receiver is the only caller in the service; one reader per thread keeps its internal
// stacks between messages instead of building them anew each time. The default reader is
// lenient: comments allowed, any value as the document, text after the first value ignored.
// It gives up past a fixed nesting depth by throwing, before the recursion can exhaust the
// stack, so a deeply nested message is a parse failure and never a crash.
static thread_local Json::Reader message_reader;

// Parse text[0..len) into *doc (which starts as null). Prints the failure line on failure.
static int document_parse(const char *text, size_t len, Json::Value *doc) {
    bool parsed = false;
    try {
        parsed = message_reader.parse(text, text + len, *doc, false);
    } catch (const std::exception &) {
        parsed = false;  // nesting too deep, or out of memory
    }
    if (!parsed)
        fputs("Failed to parse JSON.\n", stdout);
    return parsed ? 1 : 0;
}

// The member named key, or NULL when it is missing or null. Only the top level is searched,
// and the document is never changed: a missing key reads as absent without being added.
static const Json::Value *member_get(const Json::Value &doc, const char *key) {
    if (doc.isNull())
        return NULL;
    const Json::Value *v = doc.find(key, key + strlen(key));
    return v && !v->isNull() ? v : NULL;
}

// A coordinate too large for a float would be written out as text no JSON reader accepts.
static int latlng_read(const Json::Value &lat, const Json::Value &lng, halvex_mapapi_point *p) {
    p->loc_type = HALVEX_MAPAPI_LOC_LATLNG;
    try {
        p->lat = lat.asFloat();
        p->lng = lng.asFloat();
    } catch (const Json::Exception &) {
        fputs("Invalid lat/lng.\n", stdout);
        return 0;
    }
    if (isfinite(p->lat) && isfinite(p->lng))
        return 1;
    fputs("Invalid lat/lng.\n", stdout);
    return 0;
}

// The leading base-10 integer of the value's text, held to the signed 32-bit range.
static int zipcode_read(const Json::Value &zip, halvex_mapapi_point *p) {
    p->loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    std::string text;
    try {
        text = zip.asString();
    } catch (const Json::Exception &) {
        fputs("Invalid zipcode.\n", stdout);
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
static int location_read(const Json::Value &doc, halvex_mapapi_point *p) {
    const Json::Value *lat = member_get(doc, "lat");
    const Json::Value *lng = member_get(doc, "lng");
    if (lat && lng)
        return latlng_read(*lat, *lng, p);
    const Json::Value *zip = member_get(doc, "zipcode");
    if (zip)
        return zipcode_read(*zip, p);
    return 1;
}

// An unsigned 32-bit member (r, delay, visible_time); absent leaves *out at 0.
static int uint_read(const Json::Value &doc, const char *key, const char *fail_line,
                     uint32_t *out) {
    const Json::Value *v = member_get(doc, key);
    if (!v)
        return 1;
    try {
        *out = v->asUInt();
    } catch (const Json::Exception &) {
        fputs(fail_line, stdout);
        return 0;
    }
    return 1;
}

// A present colour is "#rrggbb" read as hexadecimal; any other text is black. A value with
// no text form (an array or object) fails the message.
static int colour_read(const Json::Value &doc, const char *key, uint32_t **out) {
    const Json::Value *v = member_get(doc, key);
    if (!v)
        return 1;
    std::string text;
    try {
        text = v->asString();
    } catch (const Json::Exception &) {
        fputs("Invalid colour.\n", stdout);
        return 0;
    }
    uint32_t value = 0;
    if (text.size() == COLOUR_TEXT_LEN && text[0] == '#')
        value = (uint32_t)strtol(text.c_str() + 1, NULL, 16);
    *out = (uint32_t *)malloc(sizeof **out);
    if (!*out) {
        fputs("Out of memory.\n", stdout);
        return 0;
    }
    **out = value;
    return 1;
}

// Every key is read even after an earlier one failed, so each fault prints its own line.
static int fields_read(const Json::Value &doc, halvex_mapapi_point *p) {
    int ok = location_read(doc, p);
    uint32_t r = 0;
    ok &= uint_read(doc, "r", "Invalid radius.\n", &r);
    p->r = (int32_t)r;
    ok &= colour_read(doc, "c", &p->c);
    ok &= colour_read(doc, "c2", &p->c2);
    ok &= uint_read(doc, "delay", "Invalid delay.\n", &p->delay);
    ok &= uint_read(doc, "visible_time", "Invalid visible_time.\n", &p->visible_time);
    return ok;
}

// Keys are read from an object; a null document reads as one without members.
static int document_check(const Json::Value &doc) {
    if (doc.isObject() || doc.isNull())
        return 1;
    fputs("Point message is not a JSON object.\n", stdout);
    return 0;
}

static int message_parse_fill(const char *text, size_t len, halvex_mapapi_point *out) {
    Json::Value doc;
    if (!document_parse(text, len, &doc) || !document_check(doc))
        return 0;
    int ok;
    try {
        ok = fields_read(doc, out);
    } catch (const std::bad_alloc &) {
        fputs("Out of memory.\n", stdout);
        ok = 0;
    }
    return ok;
}

int message_handle(const char *data, size_t n, halvex_mapapi_point *out) {
    memset(out, 0, sizeof *out);
    const char *nul = (const char *)memchr(data, '\0', n);
    size_t len = nul ? (size_t)(nul - data) : n;
    // The reader gets its own NUL-terminated copy, so it never looks past the message. One
    // receive fits the stack buffer; only a longer text from another caller takes the heap.
    char stack_text[MESSAGE_MAX_BYTES + 1];
    char *text = len <= MESSAGE_MAX_BYTES ? stack_text : (char *)malloc(len + 1);
    if (!text) {
        fputs("Out of memory.\n", stdout);
        return 0;
    }
    memcpy(text, data, len);
    text[len] = '\0';
    int ok = message_parse_fill(text, len, out);
    if (text != stack_text)
        free(text);
    if (!ok)
        point_colours_release(out);
    return ok;
}
