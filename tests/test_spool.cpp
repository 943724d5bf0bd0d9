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
#include "outbox/point_queue.h"
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
    std::vector<spool_found> found = spool_dir_list(dir_fd);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].file_bytes, room);
    EXPECT_EQ(found[0].bytes, SLOT0 + 3 * SPOOL_RECORD_BYTES);
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

static spool_settings settings(const std::string &dir) {
    return {dir, "mapA", SPOOL_MAX_BYTES_MIN, 0, 0};
}

TEST(SpoolStore, NextRunPostsWhatIsNotDoneInOrderCountsTheReplayAndGivesFilesBack) {
    std::string dir = tempdir_make() + "/spool";  // created by the first run
    spool_settings s = settings(dir);
    std::string first = run([&] {
        if (spool_open(&s) != 0)
            return std::string("not open");
        for (int i = 0; i < 300; i++) {
            halvex_mapapi_point p = zip_point(i);
            spool_stage(&p);
            if (i % 100 == 99 && spool_stage_write() != SPOOL_OK)
                return std::string("not written");
        }
        halvex_mapapi_point *batch;
        size_t n = spool_take(&batch, 100);
        spool_settle(60);  // the rest of the post in flight when the run ends
        points_release(batch, n);
        return "took " + std::to_string(n);
    });
    EXPECT_EQ(first, "took 100");
    std::string second = run([&] {
        if (spool_open(&s) != 0)
            return std::string("not open");
        int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        bool locked = spool_dir_lock(dir_fd, dir) != 0;  // one service per folder
        halvex_mapapi_point *batch;
        size_t n = spool_take(&batch, 1000);
        bool in_order = true;
        for (size_t i = 0; i < n; i++)
            in_order &= batch[i].zipcode == (int)(60 + i);
        spool_settle(n);
        points_release(batch, n);
        return "took " + std::to_string(n) + (in_order ? " in order" : " out of order") +
               (locked ? " locked" : " not locked") + ", replayed " +
               std::to_string(counter_get(counters.points_replayed)) + ", held " +
               std::to_string(counters.spool_points.load()) + ", " +
               std::to_string(spool_dir_list(dir_fd).size()) + " files";
    });
    EXPECT_EQ(second, "took 240 in order locked, replayed 40, held 0, 0 files");
    tempdir_remove(dir.substr(0, dir.size() - 6));
}
