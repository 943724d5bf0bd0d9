// test_spool.cpp -- the spool's files: reading back past damage, and one run taking up where the
// one before stopped (each run a child process, as a restart is).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/counters.h"
#include "base/fd_write.h"
#include "harness.h"
#include "outbox/spool.h"
#include "outbox/spool_file.h"

static const int64_t SLOT0 = SPOOL_HEADER_BYTES;

static halvex_mapapi_point zip_point(int code) {
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    p.zipcode = code;
    return p;
}

TEST(SpoolFile, DamagedAndCutRecordsArePassedOverAndTheRestReadInOrder) {
    std::string dir = tempdir_make();
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    int64_t room = 0;
    int fd = spool_segment_create(dir_fd, "map", 1, 0, SLOT0, SLOT0, &room);
    ASSERT_GE(fd, 0);
    for (int i = 1; i <= 10; i++) {
        uint8_t rec[SPOOL_RECORD_BYTES];
        halvex_mapapi_point p = zip_point(i);
        spool_record_encode((uint64_t)i, 0, &p, rec);
        ASSERT_EQ(fd_write_all(fd, rec, sizeof rec), 0);
    }
    int64_t size = SLOT0 + 10 * SPOOL_RECORD_BYTES - 20;             // the tenth record cut short
    int rd = openat(dir_fd, spool_segment_name(1).c_str(), O_RDWR);  // fd appends, whatever
    ASSERT_EQ(pwrite(rd, "\x01\x02\x03", 3, SLOT0 + 3 * SPOOL_RECORD_BYTES + 30), 3);
    ASSERT_EQ(ftruncate(rd, size), 0);
    static spool_cursor c;
    spool_cursor_start(&c, rd, SLOT0, size);
    c.chunk = 100;  // records and damage across the reader's windows
    std::string seen;
    spool_record rec;
    int64_t at, next;
    for (int r; (r = spool_cursor_next(&c, &rec, &at, &next)) != SPOOL_READ_END;)
        seen += r == SPOOL_READ_RECORD
                    ? std::to_string(rec.point.zipcode) + " "
                    : "[" + std::to_string(at) + "," + std::to_string(next) + ") ";
    EXPECT_EQ(seen, "1 2 3 [232,288) 5 6 7 8 9 [568,604) ");
    close(rd);
    close(fd);
    close(dir_fd);
    tempdir_remove(dir);
}

// A file given room ahead ends where its records do: after the last record whose marker is
// there; a last slot stored without its marker was cut short before its OK.
TEST(SpoolFile, RecordsEndBeforeTheRoomAheadAndASlotWithoutItsMarker) {
    std::string dir = tempdir_make();
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    const int64_t room = 256 * 1024;  // more than the reader's window
    int64_t given = 0;
    int fd = spool_segment_create(dir_fd, "map", 1, 0, room, room, &given);
    ASSERT_EQ(given, room);
    uint8_t rec[SPOOL_RECORD_BYTES];
    for (int i = 1; i <= 4; i++) {
        halvex_mapapi_point p = zip_point(0);  // records ending in zero bytes
        spool_record_encode((uint64_t)i, 0, &p, rec);
        int64_t at = SLOT0 + (i - 1) * SPOOL_RECORD_BYTES,
                from = i == 4 ? SPOOL_RECORD_HEAD_BYTES : 0;
        ASSERT_EQ(pwrite(fd, rec + from, sizeof rec - from, at + from),
                  (ssize_t)(sizeof rec - from));
    }
    bool torn;
    int64_t stray;
    EXPECT_EQ(spool_records_end(fd, room, &torn, &stray), SLOT0 + 3 * SPOOL_RECORD_BYTES);
    EXPECT_TRUE(torn);
    EXPECT_EQ(stray, -1);
    ASSERT_EQ(pwrite(fd, "x", 1, room - 100), 1);  // a stray byte far in the room ahead
    EXPECT_EQ(spool_records_end(fd, room, &torn, &stray), SLOT0 + 3 * SPOOL_RECORD_BYTES);
    EXPECT_EQ(stray, room - 100);
    close(fd);
    close(dir_fd);
    tempdir_remove(dir);
}

// Run body in a child process, as one run of the service; its report comes back as text.
static std::string run(const std::function<std::string()> &body) {
    int out[2];
    if (pipe(out) != 0)
        return "no pipe";
    pid_t pid = fork();
    if (pid == 0) {
        std::string report = body();
        ssize_t w = write(out[1], report.data(), report.size());
        _exit(w == (ssize_t)report.size() ? 0 : 1);  // no clean-up: as if killed
    }
    close(out[1]);
    std::string report;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        report.append(buf, (size_t)n);
    close(out[0]);
    waitpid(pid, NULL, 0);
    return report;
}

static spool_settings settings(const std::string &dir, size_t take_max) {
    return {dir, "mapA", SPOOL_MAX_BYTES_MIN, 0, 0, take_max};
}

TEST(SpoolStore, NextRunPostsWhatIsNotDoneInOrderCountsTheReplayAndGivesFilesBack) {
    std::string dir = tempdir_make() + "/spool";  // created by the first run
    spool_settings s = settings(dir, 100), again = settings(dir, 1000);
    std::string first = run([&] {
        const outbox_kind *k = spool_store_open(&s);
        if (!k)
            return std::string("not open");
        bool woke, more;
        for (int i = 0; i < 300; i++) {
            halvex_mapapi_point p = zip_point(i);
            k->put(&p, &woke);
            if (i % 100 == 99 && k->pass_end(&woke) != OUTBOX_HELD)
                return std::string("not written");
        }
        halvex_mapapi_point *batch;
        size_t n = k->take(&batch, &more);
        k->posting(100);
        k->settle(60, true);  // the rest of the post in flight when the run ends
        points_release(batch, n);
        return "took " + std::to_string(n);
    });
    EXPECT_EQ(first, "took 100");
    std::string second = run([&] {
        const outbox_kind *k = spool_store_open(&again);
        if (!k)
            return std::string("not open");
        bool locked = spool_dir_open(dir) < 0;  // one service per folder
        halvex_mapapi_point *batch;
        bool more;
        size_t n = k->take(&batch, &more);
        bool in_order = true;
        for (size_t i = 0; i < n; i++)
            in_order &= batch[i].zipcode == (int)(60 + i);
        k->posting(n);
        uint64_t replayed = k->settle(n, true);
        points_release(batch, n);
        std::vector<std::string> files, aside;
        spool_dir_names(open(dir.c_str(), O_RDONLY | O_DIRECTORY), &files, &aside);
        return "took " + std::to_string(n) + (in_order ? " in order" : " out of order") +
               (locked ? " locked" : " not locked") + ", replayed " + std::to_string(replayed) +
               ", carried in " + std::to_string(counter_get(counters.points_carried_in)) +
               ", held " + std::to_string(counters_held()) + ", " + std::to_string(files.size()) +
               " files";
    });
    EXPECT_EQ(second, "took 240 in order locked, replayed 40, carried in 240, held 0, 0 files");
    tempdir_remove(dir.substr(0, dir.size() - 6));
}
