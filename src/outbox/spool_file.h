/* spool_file.h -- the spool's files: reading a segment back record by record past damage, the
 * folder and its lock, the list of segment files, and the file that says what is done. */
#ifndef SPOOL_FILE_H
#define SPOOL_FILE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "outbox/spool_format.h"

/* Bytes the reader takes from a file at a time: one read per this many. */
#define SPOOL_READ_CHUNK (64 * 1024)

/* What spool_cursor_next() found. */
#define SPOOL_READ_END 0      /* nothing more before the cursor's end */
#define SPOOL_READ_RECORD 1   /* a good record, at *at */
#define SPOOL_READ_DAMAGE 2   /* bytes [*at, *next) hold no good record: skip them */
#define SPOOL_READ_ERROR (-1) /* the file could not be read (errno says why) */

/* Reads a segment from pos up to end through a window of the file. Locks: none; one thread. */
typedef struct spool_cursor {
    int fd;
    int64_t pos;    /* the next byte to look at */
    int64_t end;    /* nothing at or after this is read */
    size_t chunk;   /* bytes read at a time, at most SPOOL_READ_CHUNK, more than a record */
    int64_t buf_at; /* file offset of buf[0] */
    size_t buf_len; /* bytes in buf */
    uint8_t buf[SPOOL_READ_CHUNK];
} spool_cursor;

/* A cursor on fd from pos to end, reading SPOOL_READ_CHUNK at a time. */
void spool_cursor_start(spool_cursor *c, int fd, int64_t pos, int64_t end);

/* The next record at the cursor, into *rec with its offset in *at; or the damaged stretch
 * before the next good record (or before the end, or before a file that ends early), as
 * [*at, *next). Moves the cursor past what it returns. */
int spool_cursor_next(spool_cursor *c, spool_record *rec, int64_t *at, int64_t *next);

/* Records a damaged stretch of bytes may have held: every slot it touches. */
uint64_t spool_damaged_records(int64_t bytes);

/* Create the folder owner-only when it is missing (its parent must exist), and check that it
 * is a folder this process can write. Returns an open descriptor of it, or -1 after printing
 * one line that names it and says what is wrong. */
int spool_dir_open(const std::string &dir);

/* Take the folder's lock for this process's life: 0, or -1 after printing one line (another
 * service holds it, or the lock file cannot be opened). */
int spool_dir_lock(int dir_fd, const std::string &dir);

/* One segment file found in the folder. */
typedef struct spool_found {
    std::string name;  /* file name in the folder */
    uint64_t name_seq; /* the first record's number, as the name says */
    int header_good;   /* its header was read and holds */
    spool_header header;
    int64_t bytes;      /* where its records end: its size without the room never written */
    int64_t file_bytes; /* its size */
} spool_found;

/* Every segment file of the folder (by name), oldest first. */
std::vector<spool_found> spool_dir_list(int dir_fd);

/* The name of the segment file whose first record is first_seq. */
std::string spool_segment_name(uint64_t first_seq);

/* Record slots of a segment file of this size: a slot cut short counts, so that the reader
 * meets it and reports it. */
uint64_t spool_segment_slots(int64_t bytes);


/* Create segment first_seq of map_id in the folder, write its header and give the file room
 * ahead: room bytes in all (halved while the disk has less, never below room_min), zero-filled
 * and allocated, so that records stored into a shared mapping of it never meet a full disk.
 * Sets *room_given to the file's size. A descriptor open for reading and writing, at the end
 * of the header; or -1 (errno says why, ENOSPC when not even room_min fits; no file is left
 * behind). */
int spool_segment_create(int dir_fd, const char *map_id, uint64_t first_seq,
                         int64_t created_unix_usec, int64_t room, int64_t room_min,
                         int64_t *room_given);

/* Open (creating it owner-only) the done file of map_id and read its marks (all zero for a new
 * one): a descriptor, or -1 (errno says why). */
int spool_marks_open(int dir_fd, const char *map_id, spool_marks *m);

/* Write the marks in the slot their next generation takes (two slots take turns, so a torn
 * write leaves the other one whole). 0, or -1 (errno). */
int spool_marks_write(int fd, spool_marks *m);

#endif
