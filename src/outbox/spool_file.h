/* spool_file.h -- the spool's files: the folder and its lock, names, looking at a file before
 * opening it, where a segment's records end, reading a segment back record by record past
 * damage, making a segment, and the file that says what is done. */
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
 * before the next good record (or before the end), as [*at, *next). A file that ends before
 * the cursor's end moves that end to where the file ends. Moves the cursor past what it
 * returns. */
int spool_cursor_next(spool_cursor *c, spool_record *rec, int64_t *at, int64_t *next);

/* Records a stretch of bytes may have held: every slot it touches. */
uint64_t spool_damaged_records(int64_t bytes);

/* Create the folder owner-only when it is missing (its parent must exist), check that it is a
 * folder this process can write, and lock it, the folder itself (flock() on its descriptor),
 * for this process's life: one service per folder, and no file in it can undo that. Returns
 * its descriptor, or -1 after printing one line that names it and says what is wrong. */
int spool_dir_open(const std::string &dir);

/* The names of the folder's segment files ("seg-" and 16 hex digits, ".spool") and of the
 * files earlier runs moved aside ("aside-..."), each sorted. */
void spool_dir_names(int dir_fd, std::vector<std::string> *segments,
                     std::vector<std::string> *aside);

/* The name of the segment file whose first record is first_seq, and the number a segment's
 * name gives. */
std::string spool_segment_name(uint64_t first_seq);
uint64_t spool_segment_name_seq(const std::string &name);

/* Open name in the folder for reading without waiting (O_NONBLOCK, no symbolic link
 * followed), and only when it is a regular file: a FIFO's open could wait for good. Returns
 * the descriptor with its size in *size; or -1 with errno, and *what saying what else it is
 * ("a FIFO", "a directory", "a symbolic link", "a device" or "a socket") when it is no
 * regular file (errno is then EINVAL), else NULL. */
int spool_file_open(int dir_fd, const char *name, int64_t *size, const char **what);

/* Record slots of a segment whose records end at byte end: a slot cut short counts, so that
 * the reader meets it and reports it. */
uint64_t spool_segment_slots(int64_t end);

/* Where the records of a segment file end, read from its end backwards: just after the last
 * slot that holds a good record (the header's end when none does). Each file is given its
 * room ahead, zero-filled, and a record's marker and checksum are stored last. *torn is set
 * when the slot right after that holds bytes but no good record: a record cut short as it was
 * written; *stray to the offset of the last byte further on that is not zero (-1: none),
 * which no record of ours can be. A file that cannot be read ends where it is (size). */
int64_t spool_records_end(int fd, int64_t size, bool *torn, int64_t *stray);

/* Create segment first_seq of map_id in the folder, write its header and give the file room
 * ahead: room bytes in all (halved while the disk has less, never below room_min), zero-filled
 * and allocated, so that records stored into a shared mapping of it never meet a full disk.
 * Sets *room_given to the file's size. A descriptor open for reading and writing; or -1
 * (errno says why, ENOSPC when not even room_min fits; no file is left behind). */
int spool_segment_create(int dir_fd, const char *map_id, uint64_t first_seq,
                         int64_t created_unix_usec, int64_t room, int64_t room_min,
                         int64_t *room_given);

/* The done file of map_id: opened for reading and writing, created owner-only when create and
 * it is missing, and its marks read into *m (all zero for a new one). Returns the descriptor,
 * or -1 (errno; ENOENT when it is missing and not created). *unreadable is set when the file
 * holds bytes but neither copy of the marks decodes. */
int spool_marks_open(int dir_fd, const char *map_id, bool create, spool_marks *m, bool *unreadable);

/* Write the marks in the slot their next generation takes (two slots take turns, so a torn
 * write leaves the other one whole). 0, or -1 (errno). */
int spool_marks_write(int fd, spool_marks *m);

#endif
