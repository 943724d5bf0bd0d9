// test_point_queue.cpp -- the point queue, the outbox's store in memory, between receiver and
// sender: order, readiness, ownership, its bound.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "base/counters.h"
#include "harness.h"
#include "outbox/point_queue.h"

// An outbox on a fresh queue of at most max points.
static void box_open(outbox *box, size_t max = POINT_QUEUE_DEFAULT_MAX_POINTS) {
    outbox_start(box, queue_store_open(max), POINT_QUEUE_DEFAULT_INTERVAL_USEC);
}

static size_t take(outbox *box, halvex_mapapi_point **batch) {
    bool more;
    return box->kind->take(batch, &more);
}

static halvex_mapapi_point point_numbered(int i) {
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    p.zipcode = i;
    return p;
}

TEST(PointQueue, RaisesReadyOnlyWhenGoingFromEmptyToOne) {
    outbox q;
    box_open(&q);
    EXPECT_EQ(q.points_ready, 0);
    EXPECT_EQ(q.send_interval_usec, 1000000);
    halvex_mapapi_point p = point_numbered(1);
    ASSERT_EQ(outbox_put(&q, &p), OUTBOX_HELD);
    EXPECT_EQ(q.points_ready, 1);
    outbox_wait(&q);  // lowers it
    EXPECT_EQ(q.points_ready, 0);
    for (int i = 2; i <= 5; i++) {
        p = point_numbered(i);
        outbox_put(&q, &p);
    }
    EXPECT_EQ(q.points_ready, 0) << "appends to a non-empty queue must not raise it again";
    EXPECT_EQ(outbox_pass_end(&q), OUTBOX_HELD);
    EXPECT_EQ(q.points_ready, 0) << "nor does the end of a pass";
    halvex_mapapi_point *batch;
    ASSERT_EQ(take(&q, &batch), 5u);
    points_release(batch, 5);
    p = point_numbered(6);
    outbox_put(&q, &p);
    EXPECT_EQ(q.points_ready, 1) << "the first append after a drain raises it";
    ASSERT_EQ(take(&q, &batch), 1u);
    points_release(batch, 1);
}

TEST(PointQueue, DrainKeepsArrivalOrderAndHandsOverColours) {
    outbox q;
    box_open(&q);
    const int n = 1000;  // more than one growth of the array
    for (int i = 0; i < n; i++) {
        halvex_mapapi_point p = point_numbered(i);
        p.c = (uint32_t *)malloc(sizeof *p.c);
        *p.c = (uint32_t)i;
        outbox_put(&q, &p);
    }
    halvex_mapapi_point *batch;
    ASSERT_EQ(take(&q, &batch), (size_t)n);
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(batch[i].zipcode, i);
        ASSERT_EQ(*batch[i].c, (uint32_t)i);
    }
    points_release(batch, n);  // under ASan, a double free or leak shows here
    EXPECT_EQ(take(&q, &batch), 0u);
}

TEST(PointQueue, EmptyDrainReturnsNothingAndLeavesReadyAlone) {
    outbox q;
    box_open(&q);
    halvex_mapapi_point *batch = (halvex_mapapi_point *)&q;  // must be overwritten
    EXPECT_EQ(take(&q, &batch), 0u);
    EXPECT_EQ(batch, nullptr);
    EXPECT_EQ(q.points_ready, 0);
    q.points_ready = 1;  // raised, as if a point had come and gone
    EXPECT_EQ(take(&q, &batch), 0u);
    EXPECT_EQ(q.points_ready, 1);
}

// The state letter of one of our threads: 'S' while it sleeps in a wait.
static char thread_state(pid_t tid) {
    std::string stat = file_read("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t end = stat.rfind(") ");  // after the name, which may hold anything
    return end == std::string::npos ? '?' : stat[end + 2];
}

TEST(PointQueue, WaitWakesWhenAnotherThreadAppends) {
    outbox q;
    box_open(&q);
    std::atomic<pid_t> tid{0};
    std::atomic<int> woke{-2};
    std::thread waiter([&] {
        tid = gettid();
        woke = outbox_wait(&q);
    });
    scope_exit release{[&] {
        outbox_close(&q);  // frees a waiter that missed the wake-up, so the join ends
        waiter.join();
    }};
    // Blocked in the wait before the append, so it is the append that must wake it.
    ASSERT_TRUE(wait_until([&] { return tid != 0 && thread_state(tid) == 'S'; }, WAIT_MS));
    EXPECT_EQ(woke, -2);
    halvex_mapapi_point p = point_numbered(7);
    outbox_put(&q, &p);
    EXPECT_TRUE(wait_until([&] { return woke == 0; }, WAIT_MS)) << "the raise was lost";
    halvex_mapapi_point *batch;
    ASSERT_EQ(take(&q, &batch), 1u);
    EXPECT_EQ(batch[0].zipcode, 7);
    points_release(batch, 1);
}

TEST(PointQueue, BoundCountsTheBatchInFlightAndARequeuedBatchGoesFirst) {
    outbox q;
    box_open(&q, 3);
    halvex_mapapi_point p[4] = {point_numbered(1), point_numbered(2), point_numbered(3),
                                point_numbered(4)},
                        *batch;
    outbox_put(&q, &p[0]);
    outbox_put(&q, &p[1]);
    ASSERT_EQ(take(&q, &batch), 2u);
    EXPECT_EQ(outbox_put(&q, &p[2]), OUTBOX_HELD);
    EXPECT_EQ(outbox_put(&q, &p[3]), OUTBOX_REFUSED) << "two in flight and one queued";
    EXPECT_STREQ(q.kind->refusing(), "the queue is full");
    ASSERT_EQ(q.kind->put_back(batch, 2, 0), 0);  // failed in transit: back at the head
    ASSERT_EQ(take(&q, &batch), 3u);
    EXPECT_EQ(batch[0].zipcode * 100 + batch[1].zipcode * 10 + batch[2].zipcode, 123);
    q.kind->settle(3, true);  // posted: room again
    EXPECT_EQ(counters_held(), 0u);
    EXPECT_EQ(outbox_put(&q, &p[3]), OUTBOX_HELD);
    points_release(batch, 3);
    outbox_close(&q);
    EXPECT_EQ(outbox_put(&q, &p[3]), OUTBOX_REFUSED);
    EXPECT_EQ(outbox_wait(&q) + outbox_sleep(&q, 60000000), -2) << "nor does the sender wait";
    ASSERT_EQ(take(&q, &batch), 1u);
    points_release(batch, 1);
}
