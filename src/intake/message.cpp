// message.cpp -- handle one point message: choose its reader, the JSON library's or the flat one.
#include "intake/message.h"

#include <json/reader.h>
#include <json/value.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <exception>

#include "base/log.h"
#include "intake/message_fast.h"
#include "intake/message_fields.h"
#include "outbox/points.h"

static_assert(MESSAGE_MAX_BYTES == 1024, "MESSAGE_TOO_LONG_LINE names the size of a receive");

// The receiver is the only caller in the service; one reader per thread keeps its internal
// stacks between messages instead of building them anew each time. The default reader is
// lenient: comments allowed, any value as the document, text after the first value ignored.
// It gives up past a fixed nesting depth by throwing, before the recursion can exhaust the
// stack, so a deeply nested message is a parse failure and never a crash.
static thread_local Json::Reader message_reader;

// Past blanks and comments from at, as the reader skips them; where something else starts.
static const char *filler_skip(const char *at, const char *end) {
    while (at < end) {
        if (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') {
            at++;
        } else if (end - at >= 2 && at[0] == '/' && at[1] == '/') {
            const char *eol = (const char *)memchr(at, '\n', (size_t)(end - at));
            at = eol ? eol + 1 : end;
        } else if (end - at >= 2 && at[0] == '/' && at[1] == '*') {
            const char *close = (const char *)memmem(at + 2, (size_t)(end - at - 2), "*/", 2);
            at = close ? close + 2 : end;
        } else {
            return at;
        }
    }
    return end;
}

// The reader stops after the first value. Anything after it is most likely the next point of
// a client that wrote without waiting for its reply: its point is lost, so say so.
static void rest_check(const char *text, size_t len, const Json::Value &doc,
                       message_outcome *outcome) {
    ptrdiff_t value_end = doc.getOffsetLimit();
    if (value_end < 0 || (size_t)value_end > len)
        return;
    if (filler_skip(text + value_end, text + len) != text + len)
        message_line_add(outcome, MESSAGE_REST_IGNORED_LINE);
}

// Parse text[0..len) into *doc (which starts as null). Notes the failure line on failure, and
// why when the text filled a whole receive: the message was longer than one receive holds.
static int document_parse(const char *text, size_t len, Json::Value *doc,
                          message_outcome *outcome) {
    bool parsed = false;
    try {
        parsed = message_reader.parse(text, text + len, *doc, false);
    } catch (const std::exception &) {
        parsed = false;  // nesting too deep, or out of memory
    }
    if (parsed) {
        rest_check(text, len, *doc, outcome);
        return 1;
    }
    message_line_add(outcome, "Failed to parse JSON.");
    if (len >= MESSAGE_MAX_BYTES)
        message_line_add(outcome, MESSAGE_TOO_LONG_LINE);
    return 0;
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

// Keys are read from an object; a null document reads as one without members.
static int document_check(const Json::Value &doc, message_outcome *outcome) {
    if (doc.isObject() || doc.isNull())
        return 1;
    message_line_add(outcome, "Point message is not a JSON object.");
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
        message_line_add(outcome, "Out of memory.");
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
