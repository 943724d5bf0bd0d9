// log.cpp -- console lines for standard output and standard error.
// For now lines are written directly; the bounded buffer and its writer thread come next.
#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void log_start(void) {}

void log_line(const char *line) {
    fputs(line, stdout);
    fputc('\n', stdout);
}

void log_printf(const char *fmt, ...) {
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    log_line(line);
}

void log_perror(const char *call) {
    int err = errno;
    fprintf(stderr, "%s: %s\n", call, strerror(err));
}

void log_flush(int) {
    fflush(stdout);
}
