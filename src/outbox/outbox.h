/* outbox.h -- where accepted points wait for the sender: one store of two kinds, chosen once at
 * start (in memory, outbox/point_queue.h, or the spool's files, outbox/spool.h), and the handshake
 * of the receiver, which puts points, with the sender, which takes them.
 *
 * A kind is a record of functions. The receiver, the sender, the stop, a reload and the
 * metrics use a store only through it, and never ask which kind it is. Each kind keeps the
 * ledger's held figure (counters.points_held) true, and counts the states it moves points to
 * itself (expired, set aside, and lost records); the sender counts posted and refused. */
#ifndef OUTBOX_H
#define OUTBOX_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "mapapi/halvex_mapapi.h"
#include "outbox/points.h"

/* Points one pass of the receiver puts at most (one per event of its wait): each kind takes
 * that many in a pass. */
#define OUTBOX_PASS_POINTS_MAX 256

/* What a put did with its point, and what the end of a pass did with the points it staged. */
#define OUTBOX_HELD 0   /* held: answer OK */
#define OUTBOX_STAGED 1 /* stored: answer OK only if the pass's end returns OUTBOX_HELD */
#define OUTBOX_REFUSED                                                          \
    (-1) /* not held (full, cannot be written, stopping, out of memory): answer \
            FAILED; the store has said why, once per spell */

typedef struct outbox_kind {
    /* Receiver thread. Hold *p, taking over its colours whatever the outcome: OUTBOX_HELD,
     * OUTBOX_STAGED or OUTBOX_REFUSED. *woke is set when the sender is to be woken now. */
    int (*put)(const halvex_mapapi_point *p, bool *woke);
    /* Receiver thread, once at the end of every pass: the pass's points become the sender's.
     * OUTBOX_HELD, or OUTBOX_REFUSED when the points it staged are not kept (answer them
     * FAILED). *woke is set when new points are ready for the sender. */
    int (*pass_end)(bool *woke);
    /* Sender thread. The oldest points held, at most the kind's most for one take, into a
     * malloc()ed batch the caller owns with its colours (points_release()); returns the count,
     * 0 with *batch NULL when none waits. *more: points wait behind the take, to be posted at
     * once. Call only when the previous take is all settled or put back. */
    size_t (*take)(halvex_mapapi_point **batch, bool *more);
    /* Sender thread. The next count points of the take go out in a post now: until it is
     * answered, they may reach the map service. */
    void (*posting)(size_t count);
    /* Sender thread. The next count points of the take have left for good: the map service
     * accepted them (accepted) or refused them. Returns how many of them an earlier run had
     * in a post that had not answered when that run ended: possibly duplicated. */
    uint64_t (*settle)(size_t count, bool accepted);
    /* Sender thread. The take's points not settled, batch[0..count), failed in transit; the
     * first in_doubt of them may have reached the map service. They come first in the next
     * take; the kind takes over batch. 0, or -1 when memory ran out: they are released and
     * no longer held, and the caller counts them. */
    int (*put_back)(halvex_mapapi_point *batch, size_t count, size_t in_doubt);
    /* The stop begins: new points are refused from now on. Any thread. */
    void (*close)(void);
    /* The stop, once the sender's drain is over and the receiver reads no more: what is held
     * is made durable by until_usec (clock_now_usec()), and room not needed is given back. */
    void (*finish)(int64_t until_usec);
    /* The stop's count, once: what is still held is given up, counted lost or, as far as
     * in_doubt goes, unconfirmed (*lost, *unconfirmed), or kept for the next start (*kept). */
    void (*end)(uint64_t in_doubt, uint64_t *lost, uint64_t *unconfirmed, uint64_t *kept);
    /* Any thread, never waiting on a lock the receiver or the sender holds: why a new point
     * would be answered FAILED now, as /health says it; NULL when it would be held. */
    const char *(*refusing)(void);
    /* Any thread: points held longer than sec seconds are not posted (0: no limit). */
    void (*age_limit_set)(int64_t sec);
    /* Where held points stay at a stop, as the stop line says it ("in the spool"); NULL when
     * they live in memory and a stop posts or gives them up. */
    const char *kept_where;
} outbox_kind;

/* Locks: [I] set before the threads start; [r] ready_lock; [A] atomic, set at start and at a
 * reload. */
typedef struct outbox {
    const outbox_kind *kind; /* [I] the store */
    pthread_mutex_t ready_lock;
    pthread_cond_t ready_cond; /* signalled when points_ready is raised or at the close */
    int points_ready;          /* [r] raised when points wait that the sender has not seen */
    int closed;                /* [r] stopping: the sender drains and waits no more */
    /* [A] least spacing of two posts' starts */
    std::atomic<int64_t> send_interval_usec;
} outbox;

/* Start box on the store kind, with that send interval, open. When kind keeps
 * what it holds at a stop, the stop keeps it (stop_keep_held()); points carried in from an
 * earlier run raise points_ready, so that they go first. Start-up, before the threads. */
void outbox_start(outbox *box, const outbox_kind *kind, int64_t interval_usec);

/* Receiver thread: kind->put(p), waking the sender when the store says so. */
int outbox_put(outbox *box, const halvex_mapapi_point *p);

/* Receiver thread, at the end of every pass: kind->pass_end(), waking the sender when new
 * points are ready. Returns OUTBOX_HELD or OUTBOX_REFUSED for the points the pass staged. */
int outbox_pass_end(outbox *box);

/* Block until points_ready is raised, then lower it, and return 0; or return -1 at once when
 * the outbox is closed. Takes ready_lock. */
int outbox_wait(outbox *box);

/* Sleep usec microseconds and return 0, or return -1 as soon as the outbox is closed. */
int outbox_sleep(outbox *box, int64_t usec);

/* The stop: the store refuses new points (kind->close()), and from now on outbox_wait() and
 * outbox_sleep() return -1, those waiting at once. Takes ready_lock. */
void outbox_close(outbox *box);

#endif
