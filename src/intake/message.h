/* message.h -- turn one point message from a client into a point record. */
#ifndef MESSAGE_H
#define MESSAGE_H

#include <stddef.h>

#include "intake/message_fields.h"
#include "intake/protocol.h"
#include "mapapi/halvex_mapapi.h"

/* Handle the n bytes at data (not NUL-terminated; the message ends at its first NUL, if any)
 * as one point message. On acceptance fills *out (a new record that owns its colours) and
 * returns 1. On rejection prints one line per fault found to standard output, leaves *out
 * with no colours and returns 0. Never throws. */
int message_handle(const char *data, size_t n, halvex_mapapi_point *out);

/* As message_handle(), but the lines are collected in *outcome instead of printed. A flat
 * object of numbers, plain strings and literals is read by a dedicated reader when
 * fast_allowed is 1; everything else, and every message when fast_allowed is 0, by the JSON
 * library's reader. Both give the same record, lines and verdict for any message the
 * dedicated reader takes. */
int message_read(const char *data, size_t n, halvex_mapapi_point *out, message_outcome *outcome,
                 int fast_allowed);

#endif
