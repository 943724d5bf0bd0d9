// message_fast.cpp -- read the common flat point message without the JSON library's reader.
//
// The library's reader turns every real number through a fresh string stream, which costs
// more than the rest of an exchange. This reader scans one flat object in a single pass,
// converts its numbers with std::from_chars (correctly rounded, as the strtod behind the
// library's reader is) and hands each value to the shared key reading as a library value, so
// every conversion after the scan is the library's own. What it cannot read exactly as the
// library's reader would, it declines, and that reader takes the message instead.
#include "intake/message_fast.h"

#include <json/value.h>
#include <stdint.h>
#include <string.h>

#include <charconv>
#include <exception>
#include <optional>
#include <system_error>

#include "intake/message_fields.h"

// What a member's value is after the scan; zero is "no such member".
enum scalar_kind {
    SCALAR_ABSENT,
    SCALAR_NULL,
    SCALAR_FALSE,
    SCALAR_TRUE,
    SCALAR_INT,
    SCALAR_UINT,
    SCALAR_REAL,
    SCALAR_STRING
};

// One scanned value: its kind, and its number or the bytes of its string.
struct scalar {
    scalar_kind kind;
    union {
        int64_t i;
        uint64_t u;
        double d;
    } num;
    const char *text;  // a string's bytes, without the quotes
    size_t len;
};

// Where the scan has got to in the text.
struct cursor {
    const char *at;
    const char *end;
};

// The four blanks the library's reader skips between tokens.
static void spaces_skip(cursor *c) {
    while (c->at < c->end && (*c->at == ' ' || *c->at == '\t' || *c->at == '\r' || *c->at == '\n'))
        c->at++;
}

// True when the next byte is ch; the cursor then moves past it.
static bool byte_take(cursor *c, char ch) {
    if (c->at == c->end || *c->at != ch)
        return false;
    c->at++;
    return true;
}

// A string without backslashes, from its opening quote: its bytes are taken as they are.
static bool string_scan(cursor *c, const char **text, size_t *len) {
    if (!byte_take(c, '"'))
        return false;
    const char *close = (const char *)memchr(c->at, '"', (size_t)(c->end - c->at));
    if (!close || memchr(c->at, '\\', (size_t)(close - c->at)))
        return false;
    *text = c->at;
    *len = (size_t)(close - c->at);
    c->at = close + 1;
    return true;
}

static const char *digits_skip(const char *p, const char *end) {
    while (p < end && *p >= '0' && *p <= '9')
        p++;
    return p;
}

// The end of a number written as JSON writes one, -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?,
// or NULL. *integral tells whether it has neither fraction nor exponent.
static const char *number_extent(const char *p, const char *end, bool *integral) {
    if (p < end && *p == '-')
        p++;
    if (p == end || *p < '0' || *p > '9')
        return NULL;
    p = *p == '0' ? p + 1 : digits_skip(p, end);
    const char *integer_end = p;
    if (p < end && *p == '.') {
        const char *q = digits_skip(p + 1, end);
        if (q == p + 1)
            return NULL;
        p = q;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < end && (*p == '+' || *p == '-'))
            p++;
        const char *q = digits_skip(p, end);
        if (q == p)
            return NULL;
        p = q;
    }
    *integral = p == integer_end;
    return p;
}

// As the library's reader keeps an integer: signed when negative (down to -2^63), signed when
// at most the largest 32-bit signed value, unsigned up to 2^64 - 1. False when it does not fit.
static bool integer_convert(const char *p, const char *end, scalar *s) {
    if (*p == '-') {
        int64_t v = 0;
        std::from_chars_result res = std::from_chars(p, end, v);
        if (res.ec != std::errc() || res.ptr != end)
            return false;
        s->kind = SCALAR_INT;
        s->num.i = v;
        return true;
    }
    uint64_t v = 0;
    std::from_chars_result res = std::from_chars(p, end, v);
    if (res.ec != std::errc() || res.ptr != end)
        return false;
    s->kind = v <= (uint64_t)Json::Value::maxInt ? SCALAR_INT : SCALAR_UINT;
    if (s->kind == SCALAR_INT)
        s->num.i = (int64_t)v;
    else
        s->num.u = v;
    return true;
}

// Any other number is a double from its whole text. A value beyond the double range fails
// the library's reader, and one that underflows to zero is flushed by it; from_chars reports
// both as out of range, and such a number is declined.
static bool number_scan(cursor *c, scalar *s) {
    bool integral = false;
    const char *end = number_extent(c->at, c->end, &integral);
    if (!end)
        return false;
    if (!integral || !integer_convert(c->at, end, s)) {
        std::from_chars_result res = std::from_chars(c->at, end, s->num.d);
        if (res.ec != std::errc() || res.ptr != end)
            return false;
        s->kind = SCALAR_REAL;
    }
    c->at = end;
    return true;
}

static bool literal_scan(cursor *c, const char *word, size_t len, scalar_kind kind, scalar *s) {
    if ((size_t)(c->end - c->at) < len || memcmp(c->at, word, len) != 0)
        return false;
    c->at += len;
    s->kind = kind;
    return true;
}

static bool value_scan(cursor *c, scalar *s) {
    if (c->at == c->end)
        return false;
    switch (*c->at) {
        case '"':
            s->kind = SCALAR_STRING;
            return string_scan(c, &s->text, &s->len);
        case 't':
            return literal_scan(c, "true", 4, SCALAR_TRUE, s);
        case 'f':
            return literal_scan(c, "false", 5, SCALAR_FALSE, s);
        case 'n':
            return literal_scan(c, "null", 4, SCALAR_NULL, s);
        default:
            return number_scan(c, s);
    }
}

// "name" : value. A known key keeps its last value, as the last of duplicate keys counts.
static bool member_scan(cursor *c, scalar scalars[KEY_COUNT]) {
    const char *name = NULL;
    size_t name_len = 0;
    if (!string_scan(c, &name, &name_len))
        return false;
    spaces_skip(c);
    if (!byte_take(c, ':'))
        return false;
    spaces_skip(c);
    scalar s = {};
    if (!value_scan(c, &s))
        return false;
    int k = message_key_find(name, name_len);
    if (k < KEY_COUNT)
        scalars[k] = s;
    return true;
}

// The whole text: blanks, one flat object, blanks. A trailing comma, a comment or text after
// the object is left to the library's reader, which has its own rules for them.
static bool object_scan(const char *text, size_t len, scalar scalars[KEY_COUNT]) {
    cursor c = {text, text + len};
    spaces_skip(&c);
    if (!byte_take(&c, '{'))
        return false;
    spaces_skip(&c);
    bool closed = byte_take(&c, '}');
    while (!closed) {
        if (!member_scan(&c, scalars))
            return false;
        spaces_skip(&c);
        closed = byte_take(&c, '}');
        if (!closed && !byte_take(&c, ','))
            return false;
        spaces_skip(&c);
    }
    spaces_skip(&c);
    return c.at == c.end;
}

// The library value the reader would have made; none for an absent or null member.
static void value_make(const scalar &s, std::optional<Json::Value> *v) {
    switch (s.kind) {
        case SCALAR_FALSE:
        case SCALAR_TRUE:
            v->emplace(s.kind == SCALAR_TRUE);
            break;
        case SCALAR_INT:
            v->emplace((Json::Int64)s.num.i);
            break;
        case SCALAR_UINT:
            v->emplace((Json::UInt64)s.num.u);
            break;
        case SCALAR_REAL:
            v->emplace(s.num.d);
            break;
        case SCALAR_STRING:
            v->emplace(s.text, s.text + s.len);
            break;
        default:
            break;
    }
}

int message_read_fast(const char *text, size_t len, halvex_mapapi_point *out,
                      message_outcome *outcome) {
    scalar scalars[KEY_COUNT] = {};
    if (!object_scan(text, len, scalars))
        return MESSAGE_FAST_DECLINED;
    std::optional<Json::Value> values[KEY_COUNT];
    const Json::Value *slots[KEY_COUNT];
    try {
        for (int k = 0; k < KEY_COUNT; k++) {
            value_make(scalars[k], &values[k]);
            slots[k] = values[k] ? &*values[k] : NULL;
        }
    } catch (const std::exception &) {
        return MESSAGE_FAST_DECLINED;  // no memory for a string: the general path reports it
    }
    return message_slots_read(slots, out, outcome);
}
