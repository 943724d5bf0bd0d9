/* log.h -- the service's console lines: handed over at once, written by one writer, in order.
 *
 * Callers never wait for standard output or standard error: a line is copied into a bounded
 * buffer and the writer thread writes it out. When the buffer is full the line is dropped and
 * counted; once there is room again one line says how many were dropped. Lines keep the
 * order in which they were handed over. Texts are cut silently at LOG_LINE_MAX bytes. A line
 * stays one line: a control character in it goes out as an escape ("\n", "\t", "\x1b").
 *
 * When standard output or standard error is the journal's stream (JOURNAL_STREAM names it),
 * each line written there starts with its priority as the journal reads it: "<3>" an error,
 * "<4>" a warning, "<6>" information. Elsewhere lines go out exactly as given.
 */
#ifndef LOG_H
#define LOG_H

/* Longest line kept, without its line break; longer ones are cut. */
#define LOG_LINE_MAX 512

/* How long an exit waits for its last lines to be written: a log that is read takes far less,
 * and one that is not read must not hold the exit up for long (milliseconds). */
#define LOG_EXIT_FLUSH_MS 1000

/* See whether standard output and standard error are the journal's, and start the writer
 * thread. Until it runs, lines are written directly. Call once at start-up, before any line. */
void log_start(void);

/* One line of information for standard output; line holds no line break (one is added). */
void log_line(const char *line);

/* An error line for standard output, going out as given, with no line break added: for the
 * two start-up failures that have always been printed that way. On the journal, which takes a
 * line at a time, it ends with a line break all the same. */
void log_text(const char *text);

/* As log_line, formatted as printf() does. */
void log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* As log_printf, for a line that needs a person: a warning about the configuration, a refused
 * batch, posting that fails, points lost. */
void log_warnf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* As log_printf, for an error: the line that ends start-up, just before log_exit(1). */
void log_errorf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* One error line for standard error, as perror(call) would write it with the current errno. */
void log_perror(const char *call);

/* The noun that goes with a count: one when n is 1, else many ("1 point", "2 points"). */
const char *log_plural(unsigned long long n, const char *one, const char *many);

/* Lines dropped since start-up, for the metrics; any thread, never waits. */
unsigned long long log_dropped_count(void);

/* Wait up to timeout_ms for every line handed over so far to be written. */
void log_flush(int timeout_ms);

/* Write out the lines handed over so far (waiting at most LOG_EXIT_FLUSH_MS) and end the
 * process with status: how a start-up failure ends. */
void log_exit(int status) __attribute__((noreturn));

#endif
