/* spool.h -- the spool on disk, the outbox's kind with spool_dir set: a point is answered OK
 * only once its record is in a file of the spool folder, and the sender posts from there, in
 * the order the points were answered OK, from one run of the service to the next.
 *
 * The receiver stores each accepted point's record into a shared mapping of the file being
 * written, where a kill cannot take it, and answers it OK at once; at the end of its pass it
 * hands the pass's records to the sender. With sync_usec 0 the pass is synced first and its
 * OKs wait for that; otherwise a thread of the spool syncs what was written at least every
 * sync_usec, and a file the receiver has finished at once. From the first sync that fails,
 * points are answered FAILED until a new file has been made and synced. Each file is given
 * its room on disk ahead (allocated, not only sized), so that a store into the mapping never
 * meets a full disk.
 *
 * The sender takes a post's worth of points back from the files, and settles them once the
 * map service has answered (done on disk, and a file all done is given back) or, when the
 * post failed in transit, has them read again by the next take. Memory holds at most the
 * points of one take. The format on disk is in spool_format.h; what the spool does with its
 * files at start, and when one cannot be read, is said in docs/spool.md. */
#ifndef SPOOL_H
#define SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "outbox/outbox.h"

/* spool_max_bytes: most bytes the spool's files may take. */
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
/* Points one pass of the receiver stages at most. */
#define SPOOL_STAGE_MAX OUTBOX_PASS_POINTS_MAX

/* What the spool is opened with: the keys as read. */
typedef struct spool_settings {
    std::string dir;     /* spool_dir */
    std::string map_id;  /* whose points these are; files of another map id are set aside */
    uint64_t max_bytes;  /* spool_max_bytes: every file of the folder counts */
    int64_t max_age_sec; /* spool_max_age_sec */
    int64_t sync_usec;   /* spool_sync_usec */
    size_t take_max;     /* most points one take reads into memory: max_queued_points */
} spool_settings;

/* Start-up, before the threads: open the folder (creating it owner-only when missing), lock
 * it, read what earlier runs left (one line for what is held, one for what is set aside, one
 * for each thing cut or moved aside, and why), and start the sync thread. Returns the kind,
 * its figures in counters; or NULL after printing one line (not a folder, cannot be written,
 * in use by another service). */
const outbox_kind *spool_store_open(const spool_settings *s);

#endif
