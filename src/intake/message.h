/* message.h -- turn one point message from a client into a point record. */
#ifndef MESSAGE_H
#define MESSAGE_H

#include <stddef.h>

#include "intake/message_fields.h"
#include "intake/protocol.h"
#include "mapapi/halvex_mapapi.h"

/* Printed when text other than blanks and comments follows the first JSON value: the reader
 * ignores it, and it is most likely another point, written before the reply to this one. */
#define MESSAGE_REST_IGNORED_LINE                                                       \
    "Text after the first JSON value of a message was ignored, and any point in it is " \
    "lost: send one point per message, and wait for its reply before sending the next."
/* Printed after "Failed to parse JSON." when the message filled a whole receive. */
#define MESSAGE_TOO_LONG_LINE                                                             \
    "The message filled the whole 1024-byte receive: it is too long, and the rest of it " \
    "is read as another message with a reply of its own. Send at most 1024 bytes per "    \
    "message."

/* Handle the n bytes at data (not NUL-terminated; the message ends at its first NUL, if any)
 * as one point message. On acceptance fills *out (a new record that owns its colours) and
 * returns 1. On rejection prints one line per fault found to standard output, leaves *out
 * with no colours and returns 0. Either way, text after the first JSON value prints
 * MESSAGE_REST_IGNORED_LINE. Never throws. */
int message_handle(const char *data, size_t n, halvex_mapapi_point *out);

/* As message_handle(), but the lines are collected in *outcome instead of printed. A flat
 * object of numbers, plain strings and literals is read by a dedicated reader when
 * fast_allowed is 1; everything else, and every message when fast_allowed is 0, by the JSON
 * library's reader. Both give the same record, lines and verdict for any message the
 * dedicated reader takes. */
int message_read(const char *data, size_t n, halvex_mapapi_point *out, message_outcome *outcome,
                 int fast_allowed);

#endif
