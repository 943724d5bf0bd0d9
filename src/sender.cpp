// sender.cpp -- STUB, to be replaced.
#include "sender.h"
#include <unistd.h>
int64_t sender_pause_usec(const struct timespec *, const struct timespec *, int64_t) {
    return SENDER_COLLECT_PAUSE_USEC;
}
void *sending_thread_func(void *) {
    for (;;) pause();
    return 0;
}
