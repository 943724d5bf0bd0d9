// message_fields.h -- what both message readers share: the keys, the reading of their values and
// the outcome record they fill.
#ifndef MESSAGE_FIELDS_H
#define MESSAGE_FIELDS_H

#include <json/forwards.h>
#include <stddef.h>

#include "mapapi/halvex_mapapi.h"

// Most lines one message can print: one per key that can fail, one for text after the value,
// and one for running out of memory.
#define MESSAGE_LINES_MAX 8

// What reading one message gave besides its record and verdict.
typedef struct message_outcome {
    const char *lines[MESSAGE_LINES_MAX];  // the lines to print, in order, without line
                                           // breaks; fixed texts, never freed
    int line_count;
    int fast;  // 1 when the flat-object reader took the message, 0 when the JSON library's
               // reader did
} message_outcome;

// The keys a point message may carry, in the order they are read.
enum message_key {
    KEY_LAT,
    KEY_LNG,
    KEY_ZIPCODE,
    KEY_R,
    KEY_C,
    KEY_C2,
    KEY_DELAY,
    KEY_VISIBLE_TIME,
    KEY_COUNT
};

// Which key the member name name[0..len) is, or KEY_COUNT for one that is ignored. Names are
// compared with their length, so a name holding a NUL never matches.
int message_key_find(const char *name, size_t len);

// Fill *p from the values of the keys (slots[k] NULL for an absent or null key), converting
// them as the JSON library converts its values. Every key is read even after an earlier one
// failed; each fault adds its line to *outcome. Returns 1 when no key failed. Colours read
// before a failure stay in *p for the caller to release. Never throws.
int message_slots_read(const Json::Value *const slots[KEY_COUNT], halvex_mapapi_point *p,
                       message_outcome *outcome);

// Add one line to *outcome; lines beyond MESSAGE_LINES_MAX are dropped.
void message_line_add(message_outcome *outcome, const char *line);

#endif
