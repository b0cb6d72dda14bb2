/*
 * kelmcat host kit: what a host of libkelmcat needs to scan real folders
 * without writing its own tables. A separate library (libkelmcathost.so) on
 * top of the public interface of libkelmcat; the categorizer itself does no
 * file or database I/O. Three parts:
 *   - the disk backend: a kelffa_backend over a folder of the local file system;
 *   - the SQLite vault: a kelmcat_vault kept in one SQLite database file;
 *   - the answers IO: a kelmcat_io that answers the services' requests from a
 *     JSON file, for trying the library and for tests without a service.
 *
 * Functions return KELHOST_OK (0) or a negative KELHOST_ERR_* code and then
 * record a message readable with kelhost_last_error() on the calling thread.
 * Texts are NUL-terminated UTF-8 unless said otherwise; returned texts are
 * owned by the kit and never null.
 */
#ifndef KELMCAT_HOST_H
#define KELMCAT_HOST_H

#include <stddef.h>
#include <stdint.h>

#include "kelmcat.h"

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KELHOST_BUILDING)
#define KELHOST_API __declspec(dllexport)
#elif defined(KELMCAT_STATIC)
#define KELHOST_API
#else
#define KELHOST_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KELHOST_API __attribute__((visibility("default")))
#else
#define KELHOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KELHOST_OK 0
#define KELHOST_ERR_ARG (-1)    /* a NULL or malformed argument */
#define KELHOST_ERR_IO (-2)     /* a file could not be opened, read or written */
#define KELHOST_ERR_FORMAT (-3) /* a file is not what it should be (not a vault, bad JSON) */
#define KELHOST_ERR_OOM (-4)    /* out of memory */

/* Message of the last failed kelhost_* call on this thread; "" when none.
 * Valid until the next kelhost_* call on this thread. */
KELHOST_API const char *kelhost_last_error(void) KELMCAT_NOEXCEPT;

/* ---- Disk backend -------------------------------------------------------- */

/* Registers the disk backend under the id "disk" (kelffa_register); when a
 * backend "disk" is registered already, nothing changes and KELHOST_OK is
 * returned. Its configuration, given to kelmcat_set_backend or kelffa_open, is
 * {"root":"/absolute/folder"} with an optional "follow_symlinks":true|false; a
 * missing, relative or non-folder root, a wrong type or any other member fails
 * the open with KELFFA_ERR_BAD_CONFIG, the reason in kelhost_last_error(). The
 * root folder is "/" of the backend's namespace: a path that does not start
 * with "/" or holds a ".." segment is refused (KELFFA_ERR_INVALID_ARG), a path
 * that does not exist is KELFFA_ERR_NOT_FOUND. Folders list in byte order of
 * the names; files carry F_SIZE and F_MTIME, entries that are neither files
 * nor folders are left out. Without follow_symlinks a symbolic link is not
 * listed; with it, a link is listed as what it points to (a dangling one not
 * at all) and a folder reached a second time (same device and inode) through
 * another path lists as empty. A folder that cannot be read lists as empty
 * and is remembered (see below). Locators are "file://" and the absolute path,
 * every byte but unreserved characters and "/" written as %XX (RFC 8089). No
 * scan running, like every kelffa_* call. */
KELHOST_API int32_t kelhost_disk_register(void) KELMCAT_NOEXCEPT;

/* Folders of the disk backend's current session that could not be read, in
 * the order they were met, as namespace paths ("/a/b"); the list is emptied
 * when the backend is opened. Texts stay valid until the next open. Call
 * while no scan is running. */
KELHOST_API int32_t kelhost_disk_unreadable_count(void) KELMCAT_NOEXCEPT;
KELHOST_API const char *kelhost_disk_unreadable(int32_t index) KELMCAT_NOEXCEPT;

/* ---- SQLite vault -------------------------------------------------------- */

typedef struct kelhost_vault kelhost_vault;

/* Opens (creating when absent) the vault database at path and stores a handle
 * in *out. A file that is not a vault database, or is corrupt, fails with
 * KELHOST_ERR_FORMAT and a message naming the file. */
KELHOST_API int32_t kelhost_vault_open(const char *path, kelhost_vault **out) KELMCAT_NOEXCEPT;

/* The vault's table for kelmcat_set_vault; valid while the vault is open.
 * Values are handed over malloc'ed, as the vault contract requires. */
KELHOST_API const kelmcat_vault *kelhost_vault_table(kelhost_vault *vault) KELMCAT_NOEXCEPT;

/* Batches: between begin and end, writes are committed together, at the
 * latest after 1,000 writes or one second, and at end. Outside a batch every
 * write is committed before set returns. A batch belongs to the thread that
 * began it: a write from another thread (a user's correction during a scan) is
 * committed, with what is pending, before its set returns. When a commit of
 * the batch fails (a full disk), the writes it held are lost: that set and
 * every later one of the batch fail, and end returns KELHOST_ERR_IO saying how
 * many written values were lost. One batch at a time. */
KELHOST_API int32_t kelhost_vault_begin_batch(kelhost_vault *vault) KELMCAT_NOEXCEPT;
KELHOST_API int32_t kelhost_vault_end_batch(kelhost_vault *vault) KELMCAT_NOEXCEPT;

/* Number of set calls that stored a value since the vault was opened (less
 * the writes of a batch lost by a failed commit). */
KELHOST_API int64_t kelhost_vault_writes(const kelhost_vault *vault) KELMCAT_NOEXCEPT;

/* Commits what is pending and closes the database; NULL is ignored. */
KELHOST_API void kelhost_vault_close(kelhost_vault *vault) KELMCAT_NOEXCEPT;

/* ---- Answers IO ---------------------------------------------------------- */

typedef struct kelhost_answers kelhost_answers;

/* Reads the answers from a JSON file (kelhost_answers_load) or text:
 *   {"lookup": {"<lookup name>": "tt..." | {"id": "tt...", "tv": true|false} | null},
 *    "movie": {"tt...": true|false}, "corrections": {...}, "indexed": [...]}
 * A lookup name that is absent or null is not found (404); an id absent from
 * "movie" is a movie; "corrections" and "indexed" are the Corrections and Find
 * answers (default {} and []); the scan-complete notification is answered 200.
 * Every member is optional; any other member, or a value of another type, is
 * refused with KELHOST_ERR_FORMAT and a message saying where (as is text that
 * is not JSON: line and column). Names are matched byte for byte against the
 * decoded lookup request; the first of repeated names counts. */
KELHOST_API int32_t kelhost_answers_load(const char *path, kelhost_answers **out) KELMCAT_NOEXCEPT;
KELHOST_API int32_t kelhost_answers_parse(const char *json, size_t len,
                                          kelhost_answers **out) KELMCAT_NOEXCEPT;

/* The IO table for kelmcat_set_io; valid until kelhost_answers_free. It may be
 * called from several threads at once. */
KELHOST_API const kelmcat_io *kelhost_answers_io(kelhost_answers *answers) KELMCAT_NOEXCEPT;

/* Number of requests the table has answered. */
KELHOST_API int64_t kelhost_answers_requests(const kelhost_answers *answers) KELMCAT_NOEXCEPT;

/* NULL is ignored. */
KELHOST_API void kelhost_answers_free(kelhost_answers *answers) KELMCAT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
