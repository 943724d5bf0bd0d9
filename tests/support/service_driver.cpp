// service_driver.cpp -- the shared service fixture for tests in other languages: one service
// and its map stand-in, driven by one command a line on standard input, each answered by one
// line on standard output. Ends, stopping both, at the end of its input.
//
//   up                          start the service: "sock PATH"
//   pause | resume              SIGSTOP or SIGCONT to it: "ok"
//   restart                     stop it and start it again on its folder: "ok" or "failed"
//   stop                        stop it: "stopped STATUS"
//   zipcodes                    the postal codes the map service got, in order: "zipcodes N..."
//   failures                    the fixture's checks that failed so far: "failures N"
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>

#include "service.h"

static std::string command_run(service_run &r, const std::string &verb) {
    if (verb == "up")
        return service_prepare(r), service_start(r) ? "sock " + r.sock : "failed";
    if (verb == "pause" || verb == "resume")
        return kill(r.server.pid, verb == "pause" ? SIGSTOP : SIGCONT) == 0 ? "ok" : "failed";
    if (verb == "restart")
        return service_stop(r), service_start(r) ? "ok" : "failed";
    if (verb == "stop")
        return "stopped " + std::to_string(service_stop(r));
    std::string codes;
    for (long code : map_stub_zipcodes(r.stub))
        codes += " " + std::to_string(code);
    if (verb == "zipcodes")
        return "zipcodes" + codes;
    int failed = ::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed();
    return verb == "failures" ? "failures " + std::to_string(failed) : "unknown " + verb;
}

int main() {
    service_run r;
    for (std::string line; std::getline(std::cin, line);)
        std::cout << command_run(r, line) << std::endl;
    return 0;
}
