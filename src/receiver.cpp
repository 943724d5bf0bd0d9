// receiver.cpp -- STUB, to be replaced.
#include "receiver.h"
#include <unistd.h>
void *rcv_sock_thread_func(void *) {
    for (;;) pause();
    return 0;
}
