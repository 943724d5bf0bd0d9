/* lock_rank.h -- the service's locks, taken and given back through these two calls so that a
 * debug build checks the lock order at every lock: a thread takes a lock only while every
 * lock it holds ranks lower. A release build calls the mutex directly. */
#ifndef LOCK_RANK_H
#define LOCK_RANK_H

#include <assert.h>
#include <pthread.h>

/* The order: conn_lock -> queue_lock -> log_lock; conn_lock -> spool_lock -> log_lock (never
 * with queue_lock); conn_lock -> ready_lock, alone beside those two; stop_report_lock ->
 * log_lock; stop_lock is taken alone; settings_lock ->
 * log_lock. Nothing is taken inside log_lock. */
enum lock_rank {
    LOCK_RANK_CONN = 1,        /* conn_lock: the connection list */
    LOCK_RANK_STOP_REPORT = 1, /* stop_report_lock: the stop and counters lines, printed once */
    LOCK_RANK_QUEUE = 2,       /* queue_lock: the point queue */
    LOCK_RANK_SPOOL = 2,       /* spool_lock: the spool's files; one rank with queue_lock, so
                                  that a debug build stops a thread that would hold both */
    LOCK_RANK_READY = 2,       /* ready_lock: the outbox's handshake, never with either store's */
    LOCK_RANK_STOP = 3,        /* stop_lock: the drain's end */
    LOCK_RANK_SETTINGS = 3,    /* settings_lock: the map client's settings offered at a reload */
    LOCK_RANK_LOG = 4,         /* log_lock: the log's buffer, always last */
};

#ifdef NDEBUG
inline void lock_take(pthread_mutex_t *m, int) {
    pthread_mutex_lock(m);
}
inline void lock_give(pthread_mutex_t *m, int) {
    pthread_mutex_unlock(m);
}
#else
/* One bit per rank held by this thread. */
inline thread_local unsigned lock_ranks_held;

inline void lock_take(pthread_mutex_t *m, int rank) {
    assert((lock_ranks_held >> rank) == 0 && "a lock taken out of order");
    pthread_mutex_lock(m);
    lock_ranks_held |= 1u << rank;
}
inline void lock_give(pthread_mutex_t *m, int rank) {
    lock_ranks_held &= ~(1u << rank);
    pthread_mutex_unlock(m);
}
#endif

#endif
