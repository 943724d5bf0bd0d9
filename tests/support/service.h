// service.h -- the one fixture of the tests that run the service: its folder, socket and
// configuration file, the map stand-in it posts to, and the points a test sends it.
#ifndef SERVICE_H
#define SERVICE_H

#include <set>
#include <string>

#include "harness.h"

// config_basic()'s map key: nothing the service prints may hold it.
extern const char SERVICE_MAP_KEY[];

// A service under test. Whatever the test's outcome, nothing it started outlives it: the
// destructor closes fd, stops the service and the stand-in and removes the folder.
struct service_run {
    std::string dir, sock;            // its working folder, and its socket in it
    std::string map_id = "testmap1";  // written by service_configure()
    std::string extra;                // configuration lines after the basic ones
    std::string endpoint;             // "": the stand-in's /points
    std::string spool;                // spool_dir, when not ""
    map_stub stub;                    // the map stand-in
    int stub_port = 0;                // its port, kept while it is down
    server_proc server;
    int fd = -1;  // a connection a test keeps
    ~service_run();
};

// The folder and socket path, and unless r.endpoint is set the stand-in started (stopped
// again when down: its port stays, for map_back()). Nothing is written or started yet.
void service_prepare(service_run &r, const std::string &extra = "", bool down = false);
// Write its configuration file, dir/halvex_mapapi_server.ini, from r's fields.
void service_configure(service_run &r);
// Write the configuration and start the service (again) on it: true once it listens and has
// printed its start line.
bool service_start(service_run &r, const server_options &opt = server_options());
// service_prepare() and service_start(), which must listen (a fatal failure otherwise).
void service_up(service_run &r, const std::string &extra = "", bool down = false,
                const server_options &opt = server_options());
// The stand-in back on its old port: false when the port stays taken.
bool map_back(service_run &r);
// SIGINT and its end: returns the exit status. What it printed holds neither the map key nor
// a sanitizer report, and its last counters line adds up (non-fatal failures otherwise).
int service_stop(service_run &r);
// The ledger of the counters line s printed at its stop, if any: carried in + accepted = posted +
// refused + lost + expired + unconfirmed + set aside + held. service_stop() and the fixture's
// end check it once per process, after its stop.
void ledger_check(const server_proc &s);

// A point message with a postal code, and a colour when one is given.
std::string zip(long code, const char *colour = NULL);
// Codes [first, first + n) on one new connection to sock: those answered OK.
std::set<long> points_send(const std::string &sock, long first, long n);
// msg n times on one connection to sock: how many replies were reply.
long replies_count(const std::string &sock, const std::string &msg, int n,
                   const std::string &reply);
// Wait up to ms until text has been printed times times: whether it has, at least.
bool printed_wait(const server_proc &s, const std::string &text, size_t times = 1,
                  int ms = WAIT_MS);
// The same, then whether it was printed exactly times times.
bool printed_exactly(const server_proc &s, const std::string &text, size_t times = 1,
                     int ms = WAIT_MS);

#endif
