// test_spool_service.cpp -- the spool through the real service and an HTTPS stand-in: OKs that
// outlive kill -9 and the stop, the age limit, a full spool or disk, damaged files, files of
// another map id, one service per folder.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "service.h"

// Bound on waiting for arrivals: a map service that comes back is found within a backoff.
static const int ARRIVE_MS = 40000;
// Client k sends codes k * CLIENT_CODES + 1, + 2, ...: the code says whose and in which order.
static const long CLIENT_CODES = 1000000;

// The stand-in started, and stopped again unless up: its port stays for its return. The
// service's spool is in its folder.
static void spooled_make(service_run &s, bool up, const std::string &extra = "") {
    service_prepare(s, extra, !up);
    s.spool = s.dir + "/spool";
}

// Start the service (again) on the same folder: true once it listens.
static bool spooled_start(service_run &s) {
    return service_start(s);
}

// Stop with SIGTERM: true when it exited 0 within ms.
static bool spooled_stop(service_run &s, int ms) {
    kill(s.server.pid, SIGTERM);
    return server_wait_exit(s.server, ms) && s.server.exit_status == 0;
}

// Codes [first, first + n) on one connection: those answered OK.
static std::set<long> points_send(const service_run &s, long first, long n) {
    return points_send(s.sock, first, n);
}

static bool printed(const service_run &s, const std::string &text) {
    return printed_wait(s.server, text, 1, ARRIVE_MS);
}

// Ask for the counters line until it shows text: a post is settled only once answered.
static bool counters_show(const service_run &s, const std::string &text) {
    return wait_until(
        [&] {
            size_t lines = server_stdout_count(s.server, "Counters:");
            kill(s.server.pid, SIGUSR1);
            wait_until([&] { return server_stdout_count(s.server, "Counters:") > lines; }, WAIT_MS);
            return server_stdout_count(s.server, text) > 0;
        },
        ARRIVE_MS);
}

// Clients, each on its connection, sending numbered points as fast as replies come, until the
// service goes or they are stopped. What each got OK for is theirs.
struct senders {
    std::vector<std::set<long>> ok;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
};

static void senders_start(senders &c, const service_run &s, int n) {
    c.ok.resize(n);
    for (int k = 0; k < n; k++)
        c.threads.emplace_back([&c, &s, k] {
            int fd = unix_connect(s.sock);
            for (long code = (k + 1) * CLIENT_CODES + 1; fd >= 0 && !c.stop; code++, c.sent++) {
                std::string reply = point_exchange(fd, zip(code));
                if (reply.empty())
                    break;  // the service is gone
                if (reply == "OK\n")
                    c.ok[k].insert(code);
            }
            close(fd);
        });
}

static std::set<long> senders_end(senders &c) {
    c.stop = true;
    for (auto &t : c.threads)
        t.join();
    std::set<long> all;
    for (auto &k : c.ok)
        all.insert(k.begin(), k.end());
    return all;
}

// Wait until every code of ok arrived; check that each client's first arrivals keep its
// order. Returns the codes that arrived more than once.
static std::set<long> arrivals_check(service_run &s, const std::set<long> &ok) {
    std::set<long> seen, twice;
    EXPECT_TRUE(wait_until(
        [&] {
            std::vector<long> got = map_stub_zipcodes(s.stub);
            std::set<long> have(got.begin(), got.end());
            return std::includes(have.begin(), have.end(), ok.begin(), ok.end());
        },
        ARRIVE_MS));
    std::map<long, long> last;
    for (long code : map_stub_zipcodes(s.stub)) {
        if (!seen.insert(code).second) {
            twice.insert(code);
            continue;
        }
        EXPECT_LT(last[code / CLIENT_CODES], code) << code << " out of its client's order";
        last[code / CLIENT_CODES] = code;
    }
    EXPECT_TRUE(std::includes(seen.begin(), seen.end(), ok.begin(), ok.end()))
        << seen.size() << " arrived of " << ok.size() << " answered OK";
    return twice;
}

static void killed(service_run &s) {
    kill(s.server.pid, SIGKILL);
    ASSERT_TRUE(server_wait_exit(s.server, WAIT_MS));
}

// The spool's segment files, oldest first.
static std::vector<std::string> segment_files(const service_run &s) {
    std::vector<std::string> files;
    DIR *d = opendir(s.spool.c_str());
    for (struct dirent *e = d ? readdir(d) : NULL; e; e = readdir(d))
        if (strncmp(e->d_name, "seg-", 4) == 0)
            files.push_back(e->d_name);
    if (d)
        closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

TEST(SpoolService, Kill9DuringAnOutageLosesNoPointAnsweredOk) {
    service_run s;
    spooled_make(s, false);
    ASSERT_TRUE(spooled_start(s)) << server_stdout(s.server);
    senders c;
    senders_start(c, s, 16);
    ASSERT_TRUE(wait_until([&] { return c.sent >= 4000; }, WAIT_MS));
    killed(s);
    std::set<long> ok = senders_end(c);
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(arrivals_check(s, ok).empty()) << "nothing was posted before the kill";
}

TEST(SpoolService, Kill9WhilePostingRepeatsOnlyThePostInFlight) {
    service_run s;
    spooled_make(s, true, "send_interval_usec = 100000\n");
    ASSERT_TRUE(spooled_start(s));
    senders c;
    senders_start(c, s, 16);
    ASSERT_GE(map_stub_wait_posts(s.stub, 5, WAIT_MS), 5u);
    killed(s);
    std::set<long> ok = senders_end(c);
    std::string in_flight = map_stub_posts(s.stub).back().body;  // the last that arrived
    ASSERT_TRUE(spooled_start(s));
    for (long code : arrivals_check(s, ok))
        EXPECT_NE(in_flight.find("\"" + std::to_string(code) + "\""), std::string::npos)
            << code << " arrived twice, and not from the post in flight at the kill";
}

TEST(SpoolService, StopDuringAnOutageExitsWithinASecondAndTheNextStartPostsAll) {
    service_run s;
    spooled_make(s, false);
    ASSERT_TRUE(spooled_start(s));
    std::set<long> ok = points_send(s, 1, 10000);
    ASSERT_EQ(ok.size(), 10000u);
    // The stop's own bound is 1 s; a second more for the signal's delivery on a loaded
    // machine, and what a process's start and end cost in this build.
    EXPECT_TRUE(spooled_stop(s, 2000 + server_failed_start_ms()));
    EXPECT_EQ(server_stdout_count(s.server, "0 unconfirmed, 10000 held in the spool."), 1u)
        << server_stdout(s.server);
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(arrivals_check(s, ok).empty());
    EXPECT_TRUE(counters_show(s, "posted 10000,"));
    EXPECT_TRUE(counters_show(s, "possibly duplicated 0, replayed 0,")) << "no post was in doubt";
}

// Points held when a post was answered (429, the wait asked for not yet over) are no post in
// doubt at a kill; those of a post that has not answered are, and only they.
TEST(SpoolService, ReplayedCountsOnlyThePointsOfAPostInDoubtAtAKill) {
    service_run s;
    spooled_make(s, true, "send_interval_usec = 100000\n");
    {
        std::lock_guard<std::mutex> hold(s.stub.lock);
        s.stub.reply_status = 429;
        s.stub.reply_headers = {{"Retry-After", "30"}};
    }
    ASSERT_TRUE(spooled_start(s));
    ASSERT_EQ(points_send(s, 1, 10).size(), 10u);
    ASSERT_TRUE(printed(s, "(the map service asked to wait 30 s)."));
    killed(s);
    {
        std::lock_guard<std::mutex> hold(s.stub.lock);
        s.stub.reply_headers.clear();
    }
    map_stub_reply(s.stub, 200, "true");
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(counters_show(s, "posted 10,"));
    EXPECT_TRUE(counters_show(s, "possibly duplicated 0, replayed 0,"));
    int port, hang = loopback_listen(&port);  // takes connections and never answers
    scope_exit hung{[&] { close(hang); }};
    s.endpoint = "https://127.0.0.1:" + std::to_string(port) + "/points";
    service_configure(s);
    kill(s.server.pid, SIGHUP);
    ASSERT_TRUE(printed(s, "map_api_endpoint changed; the next post uses it."));
    ASSERT_EQ(points_send(s, 11, 7).size(), 7u);
    pollfd begun = {hang, POLLIN, 0};
    ASSERT_EQ(poll(&begun, 1, ARRIVE_MS), 1);
    killed(s);  // its post in flight
    s.endpoint = "";
    ASSERT_TRUE(spooled_start(s));
    std::string line;
    auto replayed_shown = [&] {  // a line may fall between a post's counters: read another
        EXPECT_TRUE(counters_show(s, "posted 7,"));
        std::string out = server_stdout(s.server);
        line = out.substr(out.rfind("possibly duplicated"));
        long twice = strtol(line.c_str() + 20, NULL, 10);
        return twice >= 1 && twice <= 7 &&
               line.find(", replayed " + std::to_string(twice) + ",") != std::string::npos;
    };
    EXPECT_TRUE(wait_until(replayed_shown, WAIT_MS)) << line;
}

// Held through a stop; the next run is given a limit by a reload and finds them too old.
TEST(SpoolService, PointsOlderThanTheAgeLimitAreCountedExpiredNotPosted) {
    service_run s;
    spooled_make(s, false);
    ASSERT_TRUE(spooled_start(s));
    ASSERT_EQ(points_send(s, 1, 20).size(), 20u);
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(spooled_stop(s, WAIT_MS));
    ASSERT_TRUE(spooled_start(s));
    s.extra = "spool_max_age_sec = 3\n";
    service_configure(s);
    kill(s.server.pid, SIGHUP);
    ASSERT_TRUE(printed(s, ": spool_max_age_sec changed; the next post uses it."));
    // The scenario is time passing: the limit counts from the OK.
    wait_until([&] { return std::chrono::steady_clock::now() - sent > std::chrono::seconds(4); },
               WAIT_MS);
    ASSERT_TRUE(map_back(s));
    // The fresh points come once the old ones are passed over, not during a backoff that would
    // age them too.
    ASSERT_TRUE(counters_show(s, "expired 20,"));
    EXPECT_TRUE(
        printed(s, "20 points older than spool_max_age_sec (3 s) dropped; the oldest was "));
    std::set<long> fresh = points_send(s, 101, 5);
    ASSERT_EQ(fresh.size(), 5u);
    EXPECT_TRUE(arrivals_check(s, fresh).empty());
    EXPECT_EQ(map_stub_zipcodes(s.stub).size(), 5u) << "expired points were posted";
    // The old file is given back; the one being written takes its room ahead (16 MiB).
    EXPECT_TRUE(counters_show(s, "expired 20, unconfirmed 0, set aside 0, held 0; posts made 3"))
        << server_stdout(s.server);
    EXPECT_TRUE(counters_show(s, "; spool: 16777216 bytes of 1073741824."));
}

// The map service down, points beyond what the spool can take: FAILED, never OK; once it is
// back every OK'd point arrives and OKs resume.
// /health says why meanwhile, and /metrics shows what the spool holds.
static void full_spool_check(service_run &s, const std::string &line, const std::string &reason) {
    int port = loopback_port_free();
    s.extra += "metrics_listen = 127.0.0.1:" + std::to_string(port) + "\n";
    ASSERT_TRUE(spooled_start(s)) << server_stdout(s.server);
    std::set<long> ok = points_send(s, 1, 25000);
    ASSERT_LT(ok.size(), 25000u);
    ASSERT_GT(ok.size(), 0u);
    EXPECT_TRUE(printed(s, line)) << server_stdout(s.server);
    httplib::Client metrics("127.0.0.1", port);
    auto health = metrics.Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 503);
    EXPECT_NE(health->body.find("\"reason\":\"" + reason + "\""), std::string::npos)
        << health->body;
    auto figures = metrics.Get("/metrics");
    ASSERT_TRUE(figures);
    EXPECT_NE(figures->body.find("halvex_mapapi_spool_points " + std::to_string(ok.size())),
              std::string::npos);
    EXPECT_NE(figures->body.find("halvex_mapapi_spool_limit_bytes "), std::string::npos);
    EXPECT_EQ(figures->body.find("halvex_mapapi_queue_limit_points"), std::string::npos)
        << "no queue bound refuses a point here";
    ASSERT_TRUE(map_back(s));
    EXPECT_TRUE(arrivals_check(s, ok).empty());
    // Healthy as soon as there is room again, before any point has come to take it.
    EXPECT_TRUE(wait_until([&] { return metrics.Get("/health")->status == 200; }, ARRIVE_MS));
    EXPECT_TRUE(wait_until([&] { return points_send(s, 30001, 1).size() == 1; }, ARRIVE_MS));
    EXPECT_TRUE(printed(s, "The spool takes points again."));
}

TEST(SpoolService, FullSpoolAnswersFailedNeverOkAndTakesPointsOnceEmptied) {
    service_run s;
    spooled_make(s, false, "spool_max_bytes = 1048576\n");
    full_spool_check(s, "The spool is full (", "the spool is full");
}

TEST(SpoolService, FullDiskAnswersFailedNeverOkAndTakesPointsOnceEmptied) {
    service_run s;
    spooled_make(s, false);
    mkdir(s.spool.c_str(), 0700);
    if (mount("tmpfs", s.spool.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (" << strerror(errno)
                     << "): needs root";
    scope_exit unmount{[&] { umount2(s.spool.c_str(), MNT_DETACH); }};
    full_spool_check(s, "Cannot write to the spool (", "the spool cannot be written");
}

// Two runs leave two files; one is cut short at its tail, the other damaged in its middle.
TEST(SpoolService, DamagedFilesArePassedOverCountedAndTheRestPosted) {
    service_run s;
    spooled_make(s, false);
    std::set<long> ok;
    for (long first : {1, 51}) {
        ASSERT_TRUE(spooled_start(s));
        std::set<long> sent = points_send(s, first, 50);
        ok.insert(sent.begin(), sent.end());
        ASSERT_TRUE(spooled_stop(s, WAIT_MS));
    }
    std::vector<std::string> files = segment_files(s);
    ASSERT_EQ(files.size(), 2u);
    const long record = 56, header = 64;  // bytes overwritten in point 20's record
    int fd = open((s.spool + "/" + files[0]).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "\xff\xff\xff", 3, header + 19 * record + 30), 3);
    close(fd);
    ASSERT_EQ(truncate((s.spool + "/" + files[1]).c_str(), header + 50 * record - 20), 0);
    ok.erase(20);
    ok.erase(100);
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(arrivals_check(s, ok).empty());
    EXPECT_TRUE(counters_show(s, "carried in 100, posted 98, refused 0, lost 2,"))
        << server_stdout(s.server);
    EXPECT_TRUE(counters_show(s, "replayed 0, damaged 2;"));
    std::string out = server_stdout(s.server);
    EXPECT_EQ(map_stub_zipcodes(s.stub).size(), 98u);
    EXPECT_EQ(server_stdout_count(s.server, "damaged bytes at offset"), 1u) << out;
    EXPECT_NE(out.find(files[0] + ": damaged bytes at offset 1128 to 1184"), std::string::npos)
        << out;
    EXPECT_NE(out.find(files[1] + ": the record after offset 2808 was cut short"),
              std::string::npos)
        << out;
}

TEST(SpoolService, FilesOfAnotherMapIdStayAndAreNotPostedAndAFolderServesOne) {
    service_run s;
    spooled_make(s, false);
    ASSERT_TRUE(spooled_start(s));
    ASSERT_EQ(points_send(s, 1, 20).size(), 20u);
    ASSERT_TRUE(spooled_stop(s, WAIT_MS));
    s.map_id = "othermap";
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(printed(s,
                        "holds 20 points set aside for map id testmap1, not posted to this "
                        "map (1 file: seg-"));
    EXPECT_TRUE(printed(s, "start once with map_id = testmap1 to post them."));
    std::set<long> fresh = points_send(s, 101, 3);
    EXPECT_TRUE(arrivals_check(s, fresh).empty());
    EXPECT_EQ(map_stub_zipcodes(s.stub), (std::vector<long>{101, 102, 103}));
    service_run second;  // the same folder for a second service
    spooled_make(second, true);
    second.spool = s.spool;
    EXPECT_FALSE(spooled_start(second));
    EXPECT_EQ(second.server.exit_status, 1);
    EXPECT_NE(server_stdout(second.server)
                  .find("Spool folder " + s.spool + " is in use by another service."),
              std::string::npos);
}

// Its folder is read at start, and its files carry the map id: a reload keeps both.
TEST(SpoolService, ReloadKeepsTheSpoolKeysAndItsMapIdUntilARestart) {
    service_run s;
    spooled_make(s, true);
    ASSERT_TRUE(spooled_start(s));
    std::string url = "https://127.0.0.1:" + std::to_string(s.stub_port) + "/points";
    file_write(s.dir + "/halvex_mapapi_server.ini",
               config_basic(s.sock, url, "spool_dir = " + s.spool + "\nspool_max_bytes = 2097152\n")
                   .replace(0, 17, "map_id = othermap"));
    kill(s.server.pid, SIGHUP);
    EXPECT_TRUE(printed(s, "map_id = othermap needs a restart; kept testmap1 until then."));
    EXPECT_TRUE(printed(s, "spool_max_bytes = 2097152 needs a restart; kept 1073741824"));
    ASSERT_EQ(points_send(s, 1, 1).size(), 1u);
    ASSERT_GE(map_stub_wait_posts(s.stub, 1, ARRIVE_MS), 1u);
    EXPECT_NE(map_stub_posts(s.stub).back().body.find("\"mapId\":\"testmap1\""), std::string::npos);
    EXPECT_TRUE(counters_show(s, "posted 1,"));
    EXPECT_EQ(service_stop(s), 0);
    EXPECT_TRUE(segment_files(s).empty()) << "a stop keeps no file that holds nothing";
}

// A file whose header is damaged is moved aside once, its points set aside once; a done file
// neither of whose copies can be read has every held point posted again, counted possibly
// duplicated.
TEST(SpoolService, DamagedHeaderIsMovedAsideOnceAndUnreadableMarksCountRepostsInDoubt) {
    service_run s;
    spooled_make(s, false);
    for (long first : {1, 51}) {
        ASSERT_TRUE(spooled_start(s));
        ASSERT_EQ(points_send(s, first, 50).size(), 50u);
        ASSERT_TRUE(spooled_stop(s, WAIT_MS));
    }
    std::vector<std::string> files = segment_files(s);
    ASSERT_EQ(files.size(), 2u);
    ASSERT_EQ(truncate((s.spool + "/done-746573746d617031").c_str(), 0), 0);
    file_write(s.spool + "/done-746573746d617031", std::string(64, 'x'));
    int fd = open((s.spool + "/" + files[0]).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "garbage!", 8, 0), 8);
    close(fd);
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(printed(s, files[0] + " has a damaged header: moved aside as aside-" + files[0] +
                               ", 50 points set aside, not posted."));
    EXPECT_TRUE(printed(s, "neither copy of this map's done marks can be read;"));
    std::set<long> second;
    for (long c = 51; c <= 100; c++)
        second.insert(c);
    EXPECT_TRUE(arrivals_check(s, second).empty());
    EXPECT_TRUE(counters_show(s,
                              "carried in 100, posted 50, refused 0, lost 0, expired 0, "
                              "unconfirmed 0, set aside 50, held 0;"));
    EXPECT_TRUE(counters_show(s, "possibly duplicated 50, replayed 50,"));
    EXPECT_EQ(service_stop(s), 0);
    ASSERT_TRUE(spooled_start(s));
    EXPECT_TRUE(printed(s, "holds 1 file moved aside by an earlier run, not read ("));
    EXPECT_EQ(server_stdout_count(s.server, "damaged header"), 0u);
}

// 4000 points held in files of about 900 records (spool_max_bytes 1 MiB), the map service
// down; the second and third files' first record numbers; codes are record numbers + 1.
static std::vector<std::string> spooled_files_of_4000(service_run &s, long *second, long *third) {
    spooled_make(s, false, "spool_max_bytes = 1048576\n");
    EXPECT_TRUE(spooled_start(s));
    EXPECT_EQ(points_send(s, 1, 4000).size(), 4000u);
    std::vector<std::string> files = segment_files(s);
    EXPECT_GE(files.size(), 4u);
    *second = files.size() > 2 ? strtol(files[1].c_str() + 4, NULL, 16) : 0;
    *third = files.size() > 2 ? strtol(files[2].c_str() + 4, NULL, 16) : 0;
    return files;
}

// Between runs one file is renamed past where numbers go and another replaced by a FIFO:
// the first is set aside, the FIFO's numbers counted lost, each said once, and every other
// point is posted.
TEST(SpoolService, RenamedFileAndFifoAmongTheFilesLeaveEveryOtherPointPosted) {
    service_run s;
    long second, third;
    std::vector<std::string> files = spooled_files_of_4000(s, &second, &third);
    ASSERT_TRUE(spooled_stop(s, WAIT_MS));
    long fourth = strtol(files[3].c_str() + 4, NULL, 16);
    std::string renamed = s.spool + "/seg-fffffffffffff000.spool", fifo = s.spool + "/" + files[2];
    ASSERT_EQ(rename((s.spool + "/" + files[1]).c_str(), renamed.c_str()), 0);
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(map_back(s));
    ASSERT_TRUE(spooled_start(s));
    std::set<long> ok;
    for (long code = 1; code <= 4000; code++)
        if (code <= second || code > fourth)
            ok.insert(code);
    EXPECT_TRUE(arrivals_check(s, ok).empty());
    EXPECT_EQ(map_stub_zipcodes(s.stub).size(), ok.size());
    std::string aside = std::to_string(third - second) + " points set aside";
    EXPECT_TRUE(printed_exactly(s.server, renamed + " numbers its first record ", 1));
    EXPECT_TRUE(printed_exactly(s.server, aside, 1));
    EXPECT_TRUE(printed_exactly(s.server, fifo + " is a FIFO, not a file of records", 1));
    EXPECT_TRUE(
        printed_exactly(s.server, "(" + std::to_string(fourth - third) + ") are in no file"));
    EXPECT_TRUE(counters_show(s, "carried in 4000, posted " + std::to_string(ok.size())));
}

// A file deleted while the service runs: its points are counted lost, said once, and every
// other point is posted.
TEST(SpoolService, FileRemovedWhileRunningLosesOnlyItsPoints) {
    service_run s;
    long second, third;
    std::vector<std::string> files = spooled_files_of_4000(s, &second, &third);
    ASSERT_EQ(unlink((s.spool + "/" + files[1]).c_str()), 0);
    ASSERT_TRUE(map_back(s));
    std::set<long> ok;
    for (long code = 1; code <= 4000; code++)
        if (code <= second || code > third)
            ok.insert(code);
    EXPECT_TRUE(arrivals_check(s, ok).empty());
    EXPECT_EQ(map_stub_zipcodes(s.stub).size(), ok.size());
    EXPECT_TRUE(printed_exactly(
        s.server, files[1] + " is gone: " + std::to_string(third - second) + " points lost."));
    EXPECT_TRUE(counters_show(s, "lost " + std::to_string(third - second) + ","));
}
