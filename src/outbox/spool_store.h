/* spool_store.h -- the spool's shared record and the calls of its parts, which never call one
 * another: spool_recover.cpp (the one pass at start: the folder, its files, what was cut and
 * why), spool_write.cpp (the receiver's writes, the sync thread, the end of writing) and
 * spool_read.cpp (the sender's reads, done marks, files given back); spool.cpp makes the
 * outbox's kind of them. Nothing else includes it. */
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

struct spool_settings; /* outbox/spool.h */

/* One segment file of this map id, in the chain the sender reads. */
typedef struct spool_segment {
    uint64_t first_seq; /* its name, and the number of its first slot */
    uint64_t slots;     /* record slots published; the reader reads no further */
    int64_t bytes;      /* its size: header, slots and the room given ahead */
} spool_segment;

/* Where reading stands: a segment (by first_seq) and a byte offset in it. */
typedef struct spool_pos {
    uint64_t seg;
    int64_t off;
} spool_pos;

/* No segment: writing_first when the receiver has none open. */
#define SPOOL_NO_SEGMENT UINT64_MAX

/* Record numbers stay below this: a file that would number its records past it is set aside,
 * so that numbers never wrap (at a million points a second it lasts 146000 years). */
#define SPOOL_SEQ_MAX ((uint64_t)1 << 62)

/* spool.refusing: why new points are answered FAILED (0: they are not). */
#define SPOOL_REFUSING_FULL 1  /* the files would grow past spool_max_bytes */
#define SPOOL_REFUSING_SPACE 2 /* no room on the disk for a new file */
#define SPOOL_REFUSING_WRITE 3 /* a file cannot be made or synced (an error, a read-only disk) */

/* Locks: [I] set before the threads start, then only read; [A] atomic; [l] spool_lock;
 * [R] the receiver only after start; [S] the sender only after start. */
typedef struct spool_store {
    std::string dir;                           /* [I] its folder */
    int dir_fd;                                /* [I] the folder, open and locked */
    char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1]; /* [I] written into each header */
    uint64_t max_bytes;                        /* [I] spool_max_bytes */
    std::atomic<int64_t> max_age_usec;         /* [A] 0: no limit; a reload sets it */
    int64_t sync_usec;                         /* [I] 0: the receiver syncs before its OKs */
    int64_t segment_max;                       /* [I] a file takes no record beyond this */
    size_t take_max;                           /* [I] most points one take reads */
    int marks_fd;                              /* [I] the done file; written by [S] */
    uint64_t run_first_seq;                    /* [I] this run's first record number */
    int64_t run_start_usec;                    /* [I] clock_run_usec() at start */
    pthread_mutex_t lock;                      /* spool_lock */
    pthread_cond_t sync_cond;                  /* wakes the sync thread early */
    std::deque<spool_segment> segments;        /* [l] oldest first; written at the back */
    uint64_t writing_first;                    /* [l] the receiver's segment, or none */
    int write_fd;                              /* [l] its descriptor */
    int write_dirty, dir_dirty, marks_dirty;   /* [l] written since the last sync */
    std::vector<int> retired;                  /* [l] segments finished: to sync and close */
    int closed;                                /* [l] the stop: no more writes */
    int final_synced;                          /* [l] the stop's sync is done */
    std::atomic<int> refusing;                 /* [A] a SPOOL_REFUSING_* value, or 0 */
    std::atomic<int> sync_failed;              /* [A] a sync failed: the receiver leaves its
                                                  file and writes again only into a new one
                                                  whose sync succeeds */
    /* Set by the recovery at start, then the receiver's [R]: */
    uint64_t next_seq; /* the number the next record published gets */
    /* Set by the recovery at start, then the sender's [S]: */
    spool_marks marks;     /* as last written to the done file */
    uint64_t replay_below; /* records below this not done were, when the run before ended, in
                              a post that had not answered */
    spool_pos done_pos;    /* the first byte not done */
} spool_store;

extern spool_store spool;

/* ---- spool_store.cpp: shared by the parts ---------------------------------------------- */

/* Bytes that room for one more pass needs: a full stage and a new segment's header. */
uint64_t spool_pass_bytes(void);

/* New points are answered FAILED from now on, for why (a SPOOL_REFUSING_* value): one line
 * when that starts, naming file and err for a write that failed. Any thread. */
void spool_refusing_begin(int why, const std::string &file, int err);

/* New points are taken again: one line if they were refused. Any thread. */
void spool_refusing_end(void);

/* The ledger's held figure moves by n points (negative: fewer). Any thread. */
void spool_held_move(int64_t n);

/* Move the file name aside, to "aside-" and its name (or with ".N" after it when that is
 * taken), out of every later run's way. The new name, or "" when it could not be moved. */
std::string spool_set_aside(const std::string &name);

/* ---- spool_recover.cpp: the one pass at start ------------------------------------------ */

/* Open and lock the folder, read what earlier runs left, say what was cut, set aside or lost
 * and why, and fill the record for the writer and the reader. 0, or -1 after printing one
 * line (not a folder, cannot be written, in use by another service). */
int spool_recover(const struct spool_settings *s);

/* ---- spool_write.cpp: the receiver's side --------------------------------------------- */

int spool_put(const halvex_mapapi_point *p, bool *woke);
int spool_pass_end(bool *woke);
/* Start the sync thread (none when sync_usec is 0). */
void spool_sync_start(void);
/* The stop begins: writes are refused. */
void spool_write_close(void);
/* Once the receiver reads no more: its segment is left for good, cut to its records, or gone
 * when it holds none. */
void spool_write_leave(void);
/* The stop's last sync of what was written, waiting at most until until_usec. */
void spool_write_sync_final(int64_t until_usec);

/* ---- spool_read.cpp: the sender's side ------------------------------------------------- */

size_t spool_take(halvex_mapapi_point **batch, bool *more);
void spool_posting(size_t count);
uint64_t spool_settle(size_t count, bool accepted);
int spool_put_back(halvex_mapapi_point *batch, size_t count, size_t in_doubt);
/* At start, once the recovery is done, and at the stop: give back every file all done (but
 * the one being written) and say the expiry that is still due. */
void spool_read_tidy(void);

#endif
