/* message.h -- turn one point message from a client into a point record. */
#ifndef MESSAGE_H
#define MESSAGE_H

#include <stddef.h>

#include "halvex_mapapi.h"

/* Longest message read at once: one receive of at most this many bytes is one message. */
#define MESSAGE_MAX_BYTES 1024

/* Handle the n bytes at data (not NUL-terminated; the message ends at its first NUL, if any)
 * as one point message. On acceptance fills *out (a new record that owns its colours) and
 * returns 1. On rejection prints one line per fault found to standard output, leaves *out
 * with no colours and returns 0. Never throws. */
int message_handle(const char *data, size_t n, halvex_mapapi_point *out);

#endif
