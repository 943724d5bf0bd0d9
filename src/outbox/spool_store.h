/* spool_store.h -- the spool's shared record and the helpers of its two sides: spool.cpp (open,
 * the receiver's writes, syncing, the stop) and spool_take.cpp (the sender's reads and done
 * marks). Nothing else includes it. */
#ifndef SPOOL_STORE_H
#define SPOOL_STORE_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "mapapi/halvex_mapapi.h"
#include "outbox/spool_file.h"

/* One segment file of this map id. */
typedef struct spool_segment {
    uint64_t first_seq; /* its name, and the number of its first slot */
    uint64_t slots;     /* record slots written; the reader reads no further */
    int64_t bytes;      /* its size: header and slots */
} spool_segment;

/* Where a segment's reading stands: the segment (by first_seq) and a byte offset in it. */
typedef struct spool_pos {
    uint64_t seg;
    int64_t off;
} spool_pos;

/* No segment: writing_first when the receiver has none open. */
#define SPOOL_NO_SEGMENT UINT64_MAX

/* Locks: [I] set by spool_open() before the threads start, then only read; [A] atomic;
 * [l] spool_lock; [R] the receiver only; [S] the sender only. */
typedef struct spool_store {
    int on;                                    /* [I] a spool is in use */
    std::string dir;                           /* [I] its folder */
    int dir_fd;                                /* [I] the folder, open */
    char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1]; /* [I] written into each header */
    uint64_t max_bytes;                        /* [I] spool_max_bytes */
    std::atomic<int64_t> max_age_usec;         /* [A] 0: no limit; a reload sets it */
    int64_t sync_usec;                         /* [I] 0: the receiver syncs before its OKs */
    int64_t segment_max;                       /* [I] a file takes no record beyond this */
    int marks_fd;                              /* [I] the done file; written by [S] */
    pthread_mutex_t lock;                      /* spool_lock */
    pthread_cond_t sync_cond;                  /* wakes the sync thread early at the stop */
    std::deque<spool_segment> segments;        /* [l] oldest first; written at the back */
    uint64_t writing_first;                    /* [l] the receiver's segment, or none */
    int write_fd;                              /* [l] its descriptor, for the sync thread */
    int write_dirty, dir_dirty, marks_dirty;   /* [l] written since the last sync */
    std::vector<int> retired;                  /* [l] segments left: to sync and close */
    int closed;                                /* [l] the stop: no more writes */
    int final_synced;                          /* [l] the stop's sync is done */
} spool_store;

extern spool_store spool;

/* Bytes that room for one more pass needs: a full stage and a new segment's header. */
uint64_t spool_pass_bytes(void);

/* New points are taken again: one line if they were refused. Any thread. */
void spool_refusing_end(void);

/* At open, once the segments are known (spool_take.cpp): read the done file and find where
 * posting resumes; give back files all done. Sets *held to the points held and *seq_floor to
 * the lowest number new records may take. 0, or -1 (errno) when the done file cannot be
 * opened. */
int spool_reader_open(uint64_t *held, uint64_t *seq_floor);

#endif
