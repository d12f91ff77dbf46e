/* Arcsalve's C interface: one call repairs one archive.
 *
 * For C programs and foreign-function interfaces (Python ctypes, Go, Rust):
 * this header compiles as C99 and as C++, its function is exported under
 * its plain name, options and results are plain structs, every callback
 * gets the host's own pointer back, and nothing is kept from one call to
 * the next (passwords that opened entries are remembered within the call
 * only). It sits beside the C++ interface of arcsalve.h, which stays as it
 * is; the two share nothing but the library's temporary file (see below).
 *
 * One repair at a time per process, as with RepairFile: the library keeps
 * the data of the entry in hand in "arcsalve.tmp" of the temporary
 * directory (POSIX: $TMPDIR, else /tmp), so two processes repairing at once
 * need a TMPDIR each. A test-only run (ARCSALVE_TEST_ONLY) writes no file at
 * all. Callbacks are called synchronously on the caller's thread, from
 * inside arcsalve_repair; none may call arcsalve_repair again. */
#ifndef ARCSALVE_ARCSALVE_C_H
#define ARCSALVE_ARCSALVE_C_H

#include <stddef.h>

#if defined(_WIN32)
#  if defined(ARCSALVE_BUILDING_LIBRARY)
#    define ARCSALVE_C_API
#  else
#    define ARCSALVE_C_API __declspec(dllimport)
#  endif
#else
#  define ARCSALVE_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the structs below. A host sets `size` of each struct it
 * passes to sizeof that struct: a later library that finds a smaller size
 * reads and writes only the fields that size covers, so fields are only
 * ever added at the end. */
#define ARCSALVE_C_VERSION 2

/* --- Flags (arcsalve_options.flags) -------------------------------------- */

/* The answers to the questions a repair may raise; without the answer the
 * call returns ARCSALVE_STATUS_UNANSWERED and changes nothing. */
#define ARCSALVE_OVERWRITE 0x02u            /* replace an existing rebuilt archive */
#define ARCSALVE_ALLOW_BACKUP_INPUT 0x04u   /* the input NAME_BAK.ext is rebuilt as NAME.ext */
#define ARCSALVE_NO_BACKUP_NAME_CHECK 0x08u /* a name ending in _BAK is an ordinary name */
#define ARCSALVE_USE_EXISTING_BACKUP 0x10u  /* NAME_BAK.ext exists: salvage from it again */
/* Extensions of the salvage (see arcsalve.h): sizes from trailing data
 * descriptors, intact entries kept as they were, and files handled safely
 * (the rebuilt archive takes its name only once complete; a run that saves
 * nothing leaves no archive). */
#define ARCSALVE_TRAILING_DESCRIPTORS 0x20u
#define ARCSALVE_KEEP_INTACT 0x40u
#define ARCSALVE_SAFE_FILES 0x80u
/* Salvage into nothing: every entry is read, decoded and checked, and
 * reported as a repair would save it, but no file is written, moved or
 * created, not even a temporary one. The statuses are those of a repair. */
#define ARCSALVE_TEST_ONLY 0x100u
/* What a surviving central directory gives (see arcsalve.h): the host
 * system, attributes and comments of the entries it describes, and the
 * entries whose local header is lost, found where their record says and
 * saved only when their data decodes to its CRC-32 and size. */
#define ARCSALVE_DIRECTORY_METADATA 0x200u
#define ARCSALVE_DIRECTORY_RECOVERY 0x400u
/* Recovery past damage inside deflated and bzip2 data (see arcsalve.h): the
 * entry holds its good prefix, then every piece found after the damage, bytes
 * of unknown value written as 0; its map comes with the entry callback. */
#define ARCSALVE_RESYNC 0x1000u
/* What `options` NULL means, and what the command sets by default. */
#define ARCSALVE_DEFAULT_FLAGS                                                                  \
    (ARCSALVE_TRAILING_DESCRIPTORS | ARCSALVE_KEEP_INTACT | ARCSALVE_DIRECTORY_METADATA |      \
     ARCSALVE_DIRECTORY_RECOVERY | ARCSALVE_RESYNC | ARCSALVE_SAFE_FILES)

/* --- Statuses: the return value, the same as the command's exit status --- */

#define ARCSALVE_STATUS_INTACT 0     /* every entry found was saved intact (size and CRC-32 checked) */
#define ARCSALVE_STATUS_LOSSES 1     /* repaired, with damaged, unverified or lost entries, or stopped */
#define ARCSALVE_STATUS_BAD_CALL 2   /* archive is NULL, or a struct's size is too small */
#define ARCSALVE_STATUS_FILE_ERROR 3 /* an archive could not be read, written or backed up */
#define ARCSALVE_STATUS_NOTHING 4    /* nothing could be salvaged (with ARCSALVE_SAFE_FILES no file changed) */
#define ARCSALVE_STATUS_UNANSWERED 5 /* a question was raised: see arcsalve_result.code */

/* The codes of arcsalve_result.code. A question (status
 * ARCSALVE_STATUS_UNANSWERED) is answered by calling again with its flag;
 * the result's paths name the files in question. */
#define ARCSALVE_CODE_DONE 0               /* the salvage ran (whatever it found) */
#define ARCSALVE_CODE_FILE_ERROR 3         /* the input cannot be read, or the output created */
#define ARCSALVE_CODE_NO_INPUT 10          /* archive is NULL */
#define ARCSALVE_CODE_BACKUP_EXISTS 5001   /* answer: ARCSALVE_USE_EXISTING_BACKUP */
#define ARCSALVE_CODE_INPUT_IS_BACKUP 5002 /* answer: ARCSALVE_ALLOW_BACKUP_INPUT */
#define ARCSALVE_CODE_BACKUP_FAILED 5005   /* the input could not be moved to its backup name */
#define ARCSALVE_CODE_OUTPUT_EXISTS 5006   /* answer: ARCSALVE_OVERWRITE */

/* --- Message levels ---------------------------------------------------- */

#define ARCSALVE_LEVEL_FATAL (-1) /* the call ends before any salvage */
#define ARCSALVE_LEVEL_INFO 0
#define ARCSALVE_LEVEL_WARNING 1
#define ARCSALVE_LEVEL_ERROR 2

/* --- Per-entry reports ------------------------------------------------- */

/* What became of an entry. */
enum arcsalve_verdict {
    ARCSALVE_ENTRY_KEPT = 0,         /* intact, its compressed data copied as it was */
    ARCSALVE_ENTRY_RECOMPRESSED = 1, /* intact, compressed anew */
    ARCSALVE_ENTRY_PARTIAL = 2,      /* damaged: saved_size bytes were saved */
    ARCSALVE_ENTRY_LOST = 3,         /* nothing of it was saved */
    ARCSALVE_ENTRY_UNVERIFIED = 4    /* saved whole, but with no CRC-32 to check it against */
};

/* How an entry was found. */
enum arcsalve_found_by {
    ARCSALVE_FOUND_BY_LOCAL_HEADER = 0,
    ARCSALVE_FOUND_BY_CENTRAL_DIRECTORY = 1
};

/* One range of the map of an entry recovered past damage (ARCSALVE_RESYNC):
 * kind 0, bytes decoded, and kind 1, bytes of unknown value written as 0,
 * at offset in the salvaged data for length bytes; kind 2, a stretch of
 * unknown length lost at offset, length being the compressed bytes skipped. */
struct arcsalve_range {
    int kind;
    unsigned long long offset;
    unsigned long long length;
};

/* One entry found, as the archive recorded it and as it was salvaged. Valid
 * only during the entry callback; copy what must stay. */
struct arcsalve_entry {
    size_t size;                 /* sizeof(struct arcsalve_entry) of the library */
    const char *name;            /* the name's bytes as stored, NUL added (any bytes: see name_utf8) */
    size_t name_length;          /* bytes of name, without the NUL */
    int name_utf8;               /* 1 when the archive marks the name as UTF-8 (flag bit 11), else CP437 */
    /* The name as messages show it: host text (converted from CP437 unless
     * name_utf8), a long one cut to its first 270 bytes and "...". */
    const char *display_name;
    unsigned method;             /* compression method recorded (0 stored, 8 deflated ...) */
    int encrypted;               /* 1 when the entry is encrypted */
    unsigned long long offset;   /* where its local header starts in the damaged archive */
    unsigned long long compressed_size;   /* recorded (0 when the data is followed by a descriptor) */
    unsigned long long uncompressed_size; /* recorded, or taken from the data descriptor */
    enum arcsalve_verdict verdict;
    unsigned long long saved_size; /* bytes of data saved (what a test-only run would save) */
    /* Recovered past damage inside its data (ARCSALVE_RESYNC); pieces 0
     * otherwise. The prefix before the first damage counts as a piece. */
    unsigned pieces;
    unsigned long long unknown_bytes;        /* fill bytes among saved_size */
    size_t range_count;                      /* ranges in the map */
    size_t ranges_listed;                    /* the first ones, in `ranges` (at most 32) */
    const struct arcsalve_range *ranges;
    /* How the entry was found: by its local header, or (its local header
     * lost) through its record in the archive's surviving central directory
     * (ARCSALVE_DIRECTORY_RECOVERY). Present when `size` covers it. */
    enum arcsalve_found_by found_by;
};

/* --- Options --------------------------------------------------------------- */

/* Receives one line of text (UTF-8 on POSIX, the ANSI code page on
 * Windows; entry names converted), without a line end, valid during the
 * call only. */
typedef void (*arcsalve_message_fn)(void *user, int level, const char *text);
/* The percentage of the input read so far (1 to 100). Return nonzero to go
 * on, 0 to stop after the entry in hand. */
typedef int (*arcsalve_progress_fn)(void *user, unsigned percent);
/* The password of the encrypted entry `name` (text as in messages):
 * write it into `password` (ARCSALVE_PASSWORD_SIZE bytes, all zero on
 * entry; at most 39 bytes count) and return 1, or return 0 to skip the
 * entry. A wrong one brings the notice callback and this question again. */
#define ARCSALVE_PASSWORD_SIZE 40
typedef int (*arcsalve_password_fn)(void *user, const char *name, char *password);
/* The password just typed did not fit ("Incorrect Password"). */
typedef void (*arcsalve_notice_fn)(void *user, const char *text, const char *caption);
/* One entry's report, once its verdict is settled, in the order found. */
typedef void (*arcsalve_entry_fn)(void *user, const struct arcsalve_entry *entry);

struct arcsalve_options {
    size_t size;         /* sizeof(struct arcsalve_options) */
    unsigned long flags; /* ARCSALVE_* flags; ARCSALVE_DEFAULT_FLAGS for the command's defaults */
    /* Passwords tried on every encrypted entry, in order, before the
     * password callback is asked (a wrong one brings no notice). */
    const char *const *passwords;
    size_t password_count;
    void *user;          /* given back to every callback */
    arcsalve_message_fn on_message;   /* each may be NULL: not called */
    arcsalve_progress_fn on_progress;
    arcsalve_password_fn on_password; /* NULL: an entry no given password opens is skipped */
    arcsalve_notice_fn on_notice;
    arcsalve_entry_fn on_entry;
    /* Since version 2. Threads that verify intact entries (with
     * ARCSALVE_KEEP_INTACT), the caller's included: 0 or 1 verifies on the
     * caller's thread alone, ARCSALVE_ALL_CORES on every processor. The
     * outcome is the same whatever the number; callbacks are always called
     * on the caller's thread. */
    unsigned workers;
};
#define ARCSALVE_ALL_CORES 0xFFFFFFFFu

/* --- Result ---------------------------------------------------------------- */

/* Paths in the result hold up to this many bytes with their NUL. */
#define ARCSALVE_PATH_SIZE 4096

struct arcsalve_result {
    size_t size;                  /* set by the host: sizeof(struct arcsalve_result) */
    int status;                   /* the return value */
    /* What the status stands for, in RepairFile's terms: ARCSALVE_CODE_*. */
    unsigned long code;
    int stopped;                  /* 1 when the progress callback stopped the repair */
    long entries_found;
    long entries_intact;          /* kept or compressed anew */
    long entries_partial;         /* saved in part */
    long entries_lost;            /* found but nothing saved (undecryptable, unreadable) */
    long entries_unverified;      /* saved with no CRC-32 to check */
    unsigned long long bytes_saved; /* bytes of data in the saved entries */
    /* The archive read (the input, or its backup), and the rebuilt archive
     * (empty when none was made, and with ARCSALVE_TEST_ONLY). Owned by the
     * caller's struct; always NUL-terminated. */
    char source[ARCSALVE_PATH_SIZE];
    char output[ARCSALVE_PATH_SIZE];
};

/* Repairs `archive` into the directory `output_dir` (made beforehand by the
 * host), or in place when output_dir is NULL: the damaged file is then kept
 * as NAME_BAK.ext. `options` NULL means ARCSALVE_DEFAULT_FLAGS and no
 * callbacks. `result`, when not NULL, is filled in (its `size` set by the
 * host). Returns an ARCSALVE_STATUS_*. */
ARCSALVE_C_API int arcsalve_repair(const char *archive, const char *output_dir,
                                   const struct arcsalve_options *options, struct arcsalve_result *result);

#ifdef __cplusplus
}
#endif

#endif /* ARCSALVE_ARCSALVE_C_H */
