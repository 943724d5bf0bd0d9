/* spool.h -- the spool on disk: with spool_dir set, a point is answered OK only once its record
 * is written to a file of the spool folder, and the sender posts from there, in the order the
 * points were answered OK, from one run of the service to the next.
 *
 * The receiver stores each accepted point's record into a shared mapping of the file being
 * written (spool_stage), where a kill cannot take it, and answers it OK at once; at the end of
 * its pass it hands the pass's records to the sender (spool_stage_write). With sync_usec 0
 * the pass is synced first and its OKs wait for that; otherwise a thread of the spool syncs
 * what was written at least every sync_usec. Each file is given its room on disk ahead
 * (allocated, not only sized), so that a store into the mapping never meets a full disk.
 *
 * The sender takes a post's worth of points back from the files (spool_take), and settles
 * them once the map service has answered (spool_settle: done on disk, and a file all done is
 * given back) or, when the post failed in transit, has them read again by the next take
 * (spool_rewind). Memory holds at most the points of one take. */
#ifndef SPOOL_H
#define SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "mapapi/halvex_mapapi.h"

/* spool_max_bytes: most bytes the spool's files of this map may take. */
#define SPOOL_MAX_BYTES_MIN 1048576ULL
#define SPOOL_MAX_BYTES_MAX 1099511627776ULL
#define SPOOL_MAX_BYTES_DEFAULT 1073741824ULL
/* spool_max_age_sec: a point held longer than this since its OK is not posted (0: no limit);
 * a live map shows where things are now, and an hour-old point shown as new misleads. */
#define SPOOL_MAX_AGE_SEC_DEFAULT 3600
/* A longer limit than ten years would keep every point; 0 says that. */
#define SPOOL_MAX_AGE_SEC_MAX 315360000
/* spool_sync_usec: what is written reaches the disk at least this often (0: before each OK). */
#define SPOOL_SYNC_USEC_DEFAULT 1000000
/* An hour: what a power cut may take is bounded by it, and beyond it the window means nothing. */
#define SPOOL_SYNC_USEC_MAX 3600000000LL
/* Points one pass of the receiver stages at most: one per event of its wait. */
#define SPOOL_STAGE_MAX 256

/* spool_stage() and spool_stage_write() results. */
#define SPOOL_OK 0
#define SPOOL_STAGED 1     /* in the file; answer once spool_stage_write() has synced it */
#define SPOOL_REFUSED (-1) /* full, a file that cannot be made or synced, or stopping: FAILED */

/* figures.spool_refusing: why new points are answered FAILED (0: they are not). */
#define SPOOL_REFUSING_FULL 1  /* the files would grow past spool_max_bytes */
#define SPOOL_REFUSING_WRITE 2 /* a write failed (a full disk, an error) */

/* What spool_open() is given: the keys as read. */
typedef struct spool_settings {
    std::string dir;     /* spool_dir; "": no spool */
    std::string map_id;  /* whose points these are; files of another map id are left alone */
    uint64_t max_bytes;  /* spool_max_bytes */
    int64_t max_age_sec; /* spool_max_age_sec */
    int64_t sync_usec;   /* spool_sync_usec */
} spool_settings;

/* Start-up, before the threads: open the folder (creating it owner-only when missing), take its
 * lock, find the files held from an earlier run of this map id (warning once about files of
 * another map id, and about a file whose header is damaged) and where posting resumes. Returns
 * 0, or -1 after printing one line (not a folder, cannot be written, locked by another
 * service). Prints how many points are held when some are. */
int spool_open(const spool_settings *s);

/* Any thread: the age limit, spool_max_age_sec (0: none), from the next take on. */
void spool_max_age_set(int64_t sec);

/* Whether spool_open() succeeded: the service runs with a spool. */
int spool_on(void);

/* Start the thread that syncs what was written every sync_usec (none when sync_usec is 0). */
void spool_sync_start(void);

/* Receiver thread only. Store the record of p (only read: its colours stay the caller's) into
 * the file being written, through a shared mapping: SPOOL_OK when it is there and p may be
 * answered OK at once; SPOOL_STAGED (sync_usec 0) when p may be answered OK only once
 * spool_stage_write() has synced the pass; SPOOL_REFUSED when the spool takes no point now
 * (full: one line when that starts; a file that cannot be made; stopping), and then for the
 * rest of the pass. */
int spool_stage(const halvex_mapapi_point *p);

/* Receiver thread only, at the end of every pass: publish the pass's records to the sender
 * (synced first when sync_usec is 0): SPOOL_OK, or SPOOL_REFUSED when the sync failed and
 * none of them is kept (one line when that starts). Points stored were not counted held
 * before this. */
int spool_stage_write(void);

/* Sender thread only. Read up to max points, oldest first, into a malloc()ed batch that the
 * caller owns with its colours (points_release()); returns the count, 0 with *batch NULL
 * when nothing is waiting. Points held longer than max_age_sec and damaged records are passed
 * over (counted once they are done; damage is reported once, naming the file and offset).
 * Call only when the previous take is all settled or rewound. */
size_t spool_take(halvex_mapapi_point **batch, size_t max);

/* Sender thread only. The next count points of the take have left for good (posted or
 * refused): marked done on disk, and files all done are given back. */
void spool_settle(size_t count);

/* Sender thread only. The take's points not settled failed in transit: the next take reads
 * them again. */
void spool_rewind(void);

/* Sender thread only: whether the last take stopped at its most, so that more points may wait
 * behind it now. */
int spool_backlog(void);

/* The stop: refuse further writes and sync what was written and the done marks, waiting at
 * most until until_usec (clock_now_usec()). */
void spool_close(int64_t until_usec);

#endif
