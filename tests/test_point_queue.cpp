// test_point_queue.cpp -- the queue between receiver and sender: order, readiness, ownership.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "harness.h"
#include "outbox/point_queue.h"

static halvex_mapapi_point point_numbered(int i) {
    halvex_mapapi_point p{};
    p.loc_type = HALVEX_MAPAPI_LOC_ZIPCODE;
    p.zipcode = i;
    return p;
}

TEST(PointQueue, RaisesReadyOnlyWhenGoingFromEmptyToOne) {
    point_queue q;
    queue_create(&q);
    EXPECT_EQ(q.points_ready, 0);
    EXPECT_EQ(q.send_interval_usec, 1000000);
    halvex_mapapi_point p = point_numbered(1);
    ASSERT_EQ(queue_append(&q, &p), 0);
    EXPECT_EQ(q.points_ready, 1);
    queue_wait(&q);  // lowers it
    EXPECT_EQ(q.points_ready, 0);
    for (int i = 2; i <= 5; i++) {
        p = point_numbered(i);
        queue_append(&q, &p);
    }
    EXPECT_EQ(q.points_ready, 0) << "appends to a non-empty queue must not raise it again";
    halvex_mapapi_point *batch;
    ASSERT_EQ(queue_drain(&q, &batch), 5u);
    points_release(batch, 5);
    p = point_numbered(6);
    queue_append(&q, &p);
    EXPECT_EQ(q.points_ready, 1) << "the first append after a drain raises it";
    ASSERT_EQ(queue_drain(&q, &batch), 1u);
    points_release(batch, 1);
}

TEST(PointQueue, DrainKeepsArrivalOrderAndHandsOverColours) {
    point_queue q;
    queue_create(&q);
    const int n = 1000;  // more than one growth of the array
    for (int i = 0; i < n; i++) {
        halvex_mapapi_point p = point_numbered(i);
        p.c = (uint32_t *)malloc(sizeof *p.c);
        *p.c = (uint32_t)i;
        queue_append(&q, &p);
    }
    halvex_mapapi_point *batch;
    ASSERT_EQ(queue_drain(&q, &batch), (size_t)n);
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(batch[i].zipcode, i);
        ASSERT_EQ(*batch[i].c, (uint32_t)i);
    }
    points_release(batch, n);  // under ASan, a double free or leak shows here
    EXPECT_EQ(q.count, 0u);
}

TEST(PointQueue, EmptyDrainReturnsNothingAndLeavesReadyAlone) {
    point_queue q;
    queue_create(&q);
    halvex_mapapi_point *batch = (halvex_mapapi_point *)&q;  // must be overwritten
    EXPECT_EQ(queue_drain(&q, &batch), 0u);
    EXPECT_EQ(batch, nullptr);
    EXPECT_EQ(q.points_ready, 0);
    q.points_ready = 1;  // raised, as if a point had come and gone
    EXPECT_EQ(queue_drain(&q, &batch), 0u);
    EXPECT_EQ(q.points_ready, 1);
}

// The state letter of one of our threads: 'S' while it sleeps in a wait.
static char thread_state(pid_t tid) {
    std::string stat = file_read("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t end = stat.rfind(") ");  // after the name, which may hold anything
    return end == std::string::npos ? '?' : stat[end + 2];
}

TEST(PointQueue, WaitWakesWhenAnotherThreadAppends) {
    point_queue q;
    queue_create(&q);
    std::atomic<pid_t> tid{0};
    std::atomic<int> woke{-2};
    std::thread waiter([&] {
        tid = gettid();
        woke = queue_wait(&q);
    });
    scope_exit release{[&] {
        queue_close(&q);  // frees a waiter that missed the wake-up, so the join ends
        waiter.join();
    }};
    // Blocked in the wait before the append, so it is the append that must wake it.
    ASSERT_TRUE(wait_until([&] { return tid != 0 && thread_state(tid) == 'S'; }, WAIT_MS));
    EXPECT_EQ(woke, -2);
    halvex_mapapi_point p = point_numbered(7);
    queue_append(&q, &p);
    EXPECT_TRUE(wait_until([&] { return woke == 0; }, WAIT_MS)) << "the raise was lost";
    halvex_mapapi_point *batch;
    ASSERT_EQ(queue_drain(&q, &batch), 1u);
    EXPECT_EQ(batch[0].zipcode, 7);
    points_release(batch, 1);
}

TEST(PointQueue, BoundCountsTheBatchInFlightAndARequeuedBatchGoesFirst) {
    point_queue q;
    queue_create(&q);
    q.max_points = 3;
    halvex_mapapi_point p[4] = {point_numbered(1), point_numbered(2), point_numbered(3),
                                point_numbered(4)},
                        *batch;
    queue_append(&q, &p[0]);
    queue_append(&q, &p[1]);
    ASSERT_EQ(queue_drain(&q, &batch), 2u);
    EXPECT_EQ(queue_append(&q, &p[2]), QUEUE_APPEND_OK);
    EXPECT_EQ(queue_append(&q, &p[3]), QUEUE_APPEND_FULL) << "two in flight and one queued";
    ASSERT_EQ(queue_requeue(&q, batch, 2), 0);  // failed in transit: back at the head
    ASSERT_EQ(queue_drain(&q, &batch), 3u);
    EXPECT_EQ(batch[0].zipcode * 100 + batch[1].zipcode * 10 + batch[2].zipcode, 123);
    queue_settle(&q, 3);  // posted: room again
    EXPECT_EQ(queue_append(&q, &p[3]), QUEUE_APPEND_OK);
    points_release(batch, 3);
    queue_close(&q);
    EXPECT_EQ(queue_append(&q, &p[3]), QUEUE_APPEND_CLOSED);
    EXPECT_EQ(queue_wait(&q) + queue_sleep(&q, 60000000), -2) << "nor does the sender wait";
    ASSERT_EQ(queue_drain(&q, &batch), 1u);
    points_release(batch, 1);
}
