/* spool_format.h -- the spool's bytes on disk: a segment file's header and one fixed-size record
 * per point, each with a crc32 checksum. Pure functions: no file is touched here.
 *
 * A segment file is its header (SPOOL_HEADER_BYTES) followed by records (SPOOL_RECORD_BYTES
 * each), in the order their points were answered OK. Numbers are little-endian.
 *
 *   header:  0 magic "HXSPOOL\0" | 8 u32 format version | 12 u32 record size | 16 map id, 8
 *            bytes, NUL-padded | 24 u64 first record's number | 32 i64 created (unix usec) |
 *            40 zero | 60 u32 crc32 of bytes 0..59
 *   record:  0 marker A7 'H' 'X' 'R' | 4 u32 crc32 of bytes 8..55 | 8 u64 record number |
 *            16 i64 answered OK (unix usec) | 24 i16 location kind | 26 u8 colours present
 *            (bit 0: c, bit 1: c2) | 27 zero | 28 u32 lat bits or postal code | 32 f32 lng |
 *            36 i32 r | 40 u32 c | 44 u32 c2 | 48 u32 delay | 52 u32 visible_time
 *
 *   marks:   0 marker A7 'H' 'X' 'D' | 4 u32 crc32 of bytes 8..31 | 8 u64 generation |
 *            16 u64 first record not done | 24 u64 end of the records in doubt: those below
 *            it and not done were in a post that has not answered (older versions wrote the
 *            end of every record ever in a post there, which only counts more in doubt)
 *
 * Record numbers rise by one from record to record across the files of a folder, so the n-th
 * slot of a file holds number first + n unless bytes were damaged; a file's name gives the
 * number its header gives. The time of the OK is the run clock (clock_run_usec()). */
#ifndef SPOOL_FORMAT_H
#define SPOOL_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include "mapapi/halvex_mapapi.h"

/* The format this code writes and the only one it reads. */
#define SPOOL_FORMAT_VERSION 1
#define SPOOL_HEADER_BYTES 64
#define SPOOL_RECORD_BYTES 56
/* Bytes of the record marker, with which the reader finds the next record after damage. */
#define SPOOL_MARKER_BYTES 4
extern const uint8_t spool_record_marker[SPOOL_MARKER_BYTES];

/* A record's marker and checksum: stored after the rest of it, so that a record cut short
 * holds no marker. */
#define SPOOL_RECORD_HEAD_BYTES 8

/* Bytes of one copy of the marks; the done file holds two, which take turns. */
#define SPOOL_MARKS_BYTES 32

/* A segment file's header, as read or to be written. */
typedef struct spool_header {
    char map_id[HALVEX_MAPAPI_MAP_ID_MAX + 1]; /* NUL-terminated */
    uint64_t first_seq;                        /* number of the file's first record */
    int64_t created_unix_usec;
} spool_header;

/* One record, as read: the point with its colours by value. */
typedef struct spool_record {
    uint64_t seq;               /* its number */
    int64_t accepted_unix_usec; /* when its point was answered OK */
    halvex_mapapi_point point;  /* c and c2 are NULL here; the colours are below */
    int colours_present;        /* bit 0: c, bit 1: c2 */
    uint32_t c, c2;
} spool_record;

void spool_header_encode(const spool_header *h, uint8_t out[SPOOL_HEADER_BYTES]);

/* 0 when in[0..len) starts with a whole header of this format (magic, version, record size,
 * checksum); -1 otherwise. */
int spool_header_decode(const uint8_t *in, size_t len, spool_header *h);

/* What the done file of one map id says. */
typedef struct spool_marks {
    uint64_t generation; /* rises with every write; the higher of the two copies counts */
    uint64_t done_seq;   /* every record numbered below it is done */
    uint64_t doubt_seq;  /* records below it and not done were in a post not answered */
} spool_marks;

void spool_marks_encode(const spool_marks *m, uint8_t out[SPOOL_MARKS_BYTES]);

/* 0 when in[0..len) starts with whole marks whose checksum holds; -1 otherwise. */
int spool_marks_decode(const uint8_t *in, size_t len, spool_marks *m);

/* The record of point p (only read) numbered seq, answered OK at accepted_unix_usec. */
void spool_record_encode(uint64_t seq, int64_t accepted_unix_usec, const halvex_mapapi_point *p,
                         uint8_t out[SPOOL_RECORD_BYTES]);

/* 0 when in[0..len) starts with a whole record whose marker and checksum hold; -1 otherwise. */
int spool_record_decode(const uint8_t *in, size_t len, spool_record *r);

/* The offset of the first whole, good record in buf[from..len), or -1 when there is none; a
 * record cut off by len is not looked at. */
long spool_record_find(const uint8_t *buf, size_t len, size_t from);

/* r's point as the queue holds one: the colours in malloc()ed memory that *p then owns.
 * Returns 0, or -1 when memory runs out (nothing is then held). */
int spool_record_point(const spool_record *r, halvex_mapapi_point *p);

#endif
