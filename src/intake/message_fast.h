// message_fast.h -- a dedicated reader for the point messages clients really send.
#ifndef MESSAGE_FAST_H
#define MESSAGE_FAST_H

#include <stddef.h>

#include "intake/message_fields.h"
#include "mapapi/halvex_mapapi.h"

// What message_read_fast() returns for a message it leaves to the JSON library's reader.
#define MESSAGE_FAST_DECLINED (-1)

// Read text[0..len) (no NUL in it) when it is one flat JSON object whose members are numbers,
// strings without backslashes, null, true or false, with blanks, tabs and line breaks around
// them and nothing after the object. Then fills *out (which the caller zeroed) and *outcome
// exactly as the JSON library's reader and the shared key reading would, and returns 1 (taken)
// or 0 (rejected; colours may be left in *out for the caller to release). Returns
// MESSAGE_FAST_DECLINED, with *out and *outcome untouched, for any other text, and for a
// number it cannot convert exactly as that reader does. Never throws.
int message_read_fast(const char *text, size_t len, halvex_mapapi_point *out,
                      message_outcome *outcome);

#endif
