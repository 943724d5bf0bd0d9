// message.cpp -- STUB, to be replaced.
#include "message.h"
#include <string.h>
int message_handle(const char *, size_t, halvex_mapapi_point *out) {
    memset(out, 0, sizeof *out);
    return 1;
}
