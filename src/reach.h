/* reach.h -- the line at start that says whether the map service answers. */
#ifndef REACH_H
#define REACH_H

/* Try the map service once, on a thread of its own, so that readiness waits for nothing: one
 * connection to the endpoint with the TLS checks posts use, within the client's connect
 * bound. Then one line: that it answers, with the round trip, or a warning saying why not (the
 * host does not resolve, the connection is refused, the certificate fails). endpoint_shown is
 * the endpoint as the start line shows it; builtin says that the configuration names none, so
 * that the line can say the built-in endpoint is a placeholder. Call after the start line,
 * once the map client is set up. */
void reach_check_start(const char *endpoint_shown, bool builtin);

#endif
