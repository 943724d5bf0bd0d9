// point_queue.cpp -- accepted points wait here, in arrival order, until the sender drains them.
#include "point_queue.h"

#include <stdlib.h>
#include <string.h>

// Room for this many records when the first point arrives after a drain; grows by doubling.
static const size_t QUEUE_FIRST_CAPACITY = 64;

void queue_create(point_queue *q) {
    pthread_mutex_init(&q->queue_lock, NULL);
    pthread_cond_init(&q->ready_cond, NULL);
    q->points = NULL;
    q->count = 0;
    q->capacity = 0;
    q->points_ready = 0;
    q->send_interval_usec = POINT_QUEUE_DEFAULT_INTERVAL_USEC;
}

// Make room for one more record. Called with queue_lock held.
static int queue_grow(point_queue *q) {
    if (q->count < q->capacity)
        return 0;
    size_t cap = q->capacity ? q->capacity * 2 : QUEUE_FIRST_CAPACITY;
    void *grown = realloc(q->points, cap * sizeof *q->points);
    if (!grown)
        return -1;
    q->points = (halvex_mapapi_point *)grown;
    q->capacity = cap;
    return 0;
}

int queue_append(point_queue *q, const halvex_mapapi_point *p) {
    pthread_mutex_lock(&q->queue_lock);
    int rc = queue_grow(q);
    if (rc == 0) {
        q->points[q->count++] = *p;
        if (q->count == 1) {
            q->points_ready = 1;
            pthread_cond_signal(&q->ready_cond);
        }
    }
    pthread_mutex_unlock(&q->queue_lock);
    return rc;
}

void queue_wait(point_queue *q) {
    pthread_mutex_lock(&q->queue_lock);
    while (!q->points_ready)
        pthread_cond_wait(&q->ready_cond, &q->queue_lock);
    q->points_ready = 0;
    pthread_mutex_unlock(&q->queue_lock);
}

// The array itself changes hands, so a drain moves no record and the queue keeps no memory
// between batches: an idle queue holds nothing.
size_t queue_drain(point_queue *q, halvex_mapapi_point **batch) {
    pthread_mutex_lock(&q->queue_lock);
    size_t n = q->count;
    *batch = n ? q->points : NULL;
    if (n) {
        q->points = NULL;
        q->count = 0;
        q->capacity = 0;
    }
    pthread_mutex_unlock(&q->queue_lock);
    return n;
}

void point_colours_release(halvex_mapapi_point *p) {
    free(p->c);
    free(p->c2);
    p->c = NULL;
    p->c2 = NULL;
}

void points_release(halvex_mapapi_point *points, size_t count) {
    for (size_t i = 0; i < count; i++)
        point_colours_release(&points[i]);
    free(points);
}
