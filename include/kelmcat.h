/*
 * kelmcat: media categorizer library.
 *
 * The one public header (it includes kelmcat_version.h, generated with the
 * build, for the KELMCAT_VERSION_* macros). Three families of exported
 * functions:
 *   - the categorizer (kelmcat_*): configuration, scans, results and reporting;
 *   - folder access (kelffa_*): storage-backend registry, listings, stat;
 *   - the built-in fakes (kel_fake_*, kelffa_fake_*, kelmcat_use_fake, ...).
 *
 * Texts are NUL-terminated UTF-8. Returned texts are owned by the library and
 * are never null; each declaration says how long they stay valid.
 * Categorizer functions return 0 or a negative KELMCAT_ERR_* code and record a
 * message readable with kelmcat_last_error(); folder-access functions return 0
 * or a positive KELFFA_ERR_* code and record their own last error.
 *
 * Threads. A scan runs on the thread that calls kelmcat_scan, and so does every
 * callback it causes: the log and progress hooks, the IO and vault tables and
 * the storage backends. Each declaration below says where it may be called:
 *   - "Any thread": also while a scan runs on another thread (the setters,
 *     kelmcat_cancel, kelmcat_clear_cancel, kelmcat_shutdown, the reporting,
 *     result and key functions, kelmcat_set_correction*);
 *   - "No scan running": only while no scan runs, one call at a time (kelffa_*
 *     apart from kelffa_cancel, the fake controls, kelmcat_use_fake and
 *     kelmcat_fake_load_tree), since they share the scan's unlocked state.
 * A text returned by a "any thread" accessor may be replaced, and its memory
 * freed, as soon as another thread records a newer value (a new error, a new
 * request, a new result document, a scan clearing the results, a shutdown); a
 * host that reads them while a scan runs on another thread copies them at once.
 *
 * Callbacks (log, progress, IO, vault, backends) must not let a C++ exception
 * escape and must not call kelmcat_scan again; kelmcat_shutdown called from
 * one of them returns without doing anything.
 */
#ifndef KELMCAT_H
#define KELMCAT_H

#include <stddef.h>
#include <stdint.h>

#include "kelmcat_version.h"

/* KELMCAT_BUILDING is defined only while the library itself is compiled; a
 * Windows consumer linking a static build defines KELMCAT_STATIC. */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KELMCAT_BUILDING)
#define KELMCAT_API __declspec(dllexport)
#elif defined(KELMCAT_STATIC)
#define KELMCAT_API
#else
#define KELMCAT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KELMCAT_API __attribute__((visibility("default")))
#else
#define KELMCAT_API
#endif

#ifdef __cplusplus
#define KELMCAT_NOEXCEPT noexcept
extern "C" {
#else
#define KELMCAT_NOEXCEPT
#endif

/* ======================================================================
 * Categorizer
 * ====================================================================== */

/* ---- Result codes ---------------------------------------------------- */

#define KELMCAT_OK 0
#define KELMCAT_ERR_TRANSPORT (-1)
#define KELMCAT_ERR_HTTP (-2)
#define KELMCAT_ERR_MATCHER_DOWN (-3)
#define KELMCAT_ERR_NO_MATCH (-4)
#define KELMCAT_ERR_VAULT (-5)
#define KELMCAT_ERR_DEPTH (-6)
#define KELMCAT_ERR_CYCLE (-7)
#define KELMCAT_ERR_CANCELLED (-8)
#define KELMCAT_ERR_NOT_ARMED (-9)
#define KELMCAT_ERR_NO_IO (-10)
#define KELMCAT_ERR_NO_STORAGE (-11)
#define KELMCAT_ERR_NO_VAULT (-12)
#define KELMCAT_ERR_ARG (-13)
#define KELMCAT_ERR_OOM (-14)

/* ---- Host tables: IO and metadata vault -------------------------------- */

/* One HTTP GET. The library sets *body and *error to NULL and *status to 0
 * before the call. Return 0 when a response was received (whatever its
 * status), non-zero on a transport failure. The table keeps ownership of the
 * texts it stores; the library hands each back through release (also NULL). */
typedef struct kelmcat_io {
  void *ctx;
  int32_t (*http_get)(void *ctx, const char *url, char **body, int32_t *status, char **error);
  void *reserved2;
  void (*release)(void *ctx, void *ptr);
} kelmcat_io;

/* The user's key/value store. get: 0 = found (*value malloc'ed, freed by the
 * library), > 0 = no such key, < 0 = vault failure. set: 0 = stored. search_keys:
 * 0 = success with *count malloc'ed keys in a malloc'ed array (the library
 * frees the first *count texts and the array whenever the array is not NULL). */
typedef struct kelmcat_vault {
  void *reserved0;
  void *ctx;
  int32_t (*get)(void *ctx, const char *key, char **value);
  int32_t (*set)(void *ctx, const char *key, const char *value);
  int32_t (*search_keys)(void *ctx, const char *prefix, char ***keys, size_t *count);
  void *reserved5;
} kelmcat_vault;

/* Log hook: receives one progress line, valid only during the call, on the
 * thread that logs; never called with the library's lock held. It may call any
 * "any thread" function. */
typedef void (*kelmcat_log_fn)(const char *line, void *user);

/* What the progress hook receives: the running scan's counters (never
 * decreasing within a scan) and where the walk is. struct_size is
 * sizeof(kelmcat_progress) of this version; later versions only append
 * members. folder is the folder being walked, valid only during the call;
 * depth is its level (the walk root is 0). The last call of a scan, made once
 * the walk has ended (however it ended), has depth -1 and folder "". */
typedef struct kelmcat_progress {
  uint32_t struct_size;
  int32_t depth;
  const char *folder;
  int64_t walked, considered, matched, unmatched, added, updated, unchanged, errors, vault_writes,
      matcher_calls;
} kelmcat_progress;

/* Progress hook: called on the scanning thread, never with the library's lock
 * held, when the walk enters a folder, after every 256 files it categorizes,
 * and once when the walk ends. It may call any "any thread" function. */
typedef void (*kelmcat_progress_fn)(const kelmcat_progress *progress, void *user);

/* ---- Version ------------------------------------------------------------ */

/* Constant text of the library's version, KELMCAT_VERSION_STRING of the
 * header it was built with ("1.0.0" for this release). A program compiled
 * against one header may load a later library of the same major version.
 * Any thread. */
KELMCAT_API const char *kelmcat_version(void) KELMCAT_NOEXCEPT;

/* ---- Configuration ---------------------------------------------------- */

/* Every setter copies its arguments; the caller may release them on return.
 * A rejected value returns KELMCAT_ERR_ARG, records a message and leaves the
 * stored value unchanged. Any thread: a running scan reads the depth, the
 * modes, the armed flag, the vault table, the filter lists and the hooks
 * afresh whenever it needs them. */
KELMCAT_API void kelmcat_set_logger(kelmcat_log_fn hook, void *user) KELMCAT_NOEXCEPT;
/* Installs the progress hook (NULL removes it). Once this returns, a removed
 * or replaced hook is not called again, apart from a call already running on
 * the scanning thread. Without a hook a scan does no progress work at all. */
KELMCAT_API void kelmcat_set_progress(kelmcat_progress_fn hook, void *user) KELMCAT_NOEXCEPT;
/* Base URL of the matching service; must begin with "https://", at most 255 bytes. */
KELMCAT_API int32_t kelmcat_set_matcher_host(const char *base_url) KELMCAT_NOEXCEPT;
/* Credential sent with the scan-complete notification; at most 255 bytes. */
KELMCAT_API int32_t kelmcat_set_queue_credential(const char *credential) KELMCAT_NOEXCEPT;
/* Deepest folder level the walk may enter (the walk root is level 0): 1..4096. */
KELMCAT_API int32_t kelmcat_set_max_depth(int32_t level) KELMCAT_NOEXCEPT;
/* Replace a list with copies of the first count texts; count 0 clears it. */
KELMCAT_API int32_t kelmcat_set_include_paths(const char *const *paths,
                                              int32_t count) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelmcat_set_exclude_paths(const char *const *paths,
                                              int32_t count) KELMCAT_NOEXCEPT;
/* Replaces the default table; entries are stored as given. */
KELMCAT_API int32_t kelmcat_set_video_extensions(const char *const *extensions,
                                                 int32_t count) KELMCAT_NOEXCEPT;
/* Boolean modes: any non-zero value stores 1. Always return 0. */
KELMCAT_API int32_t kelmcat_set_add_new_only(int32_t on) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelmcat_set_correct_mode(int32_t on) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelmcat_arm_writes(int32_t on) KELMCAT_NOEXCEPT;
/* Folder where the walk starts; "" means "/". At most 511 bytes. */
KELMCAT_API int32_t kelmcat_set_walk_root(const char *root) KELMCAT_NOEXCEPT;
/* Storage backend the scan opens: id of 1..63 bytes, JSON configuration of at
 * most 511 bytes (NULL means "{}"). Checked and parsed only when a scan opens it. */
KELMCAT_API int32_t kelmcat_set_backend(const char *backend_id,
                                        const char *config_json) KELMCAT_NOEXCEPT;
/* Returns the whole library to its load-time state (configuration, reports,
 * results, installed tables, fakes, registered backends). Any thread: while a
 * scan runs on another thread it cancels the scan, waits until kelmcat_scan
 * has returned, and then resets (no scan starts in between). Called from a
 * callback of a running scan, it does nothing. */
KELMCAT_API void kelmcat_shutdown(void) KELMCAT_NOEXCEPT;
/* The built-in video extension table (17 entries); *count receives the number
 * when count is not NULL. Constant: do not modify or free. Any thread. */
KELMCAT_API const char *const *kelmcat_default_video_extensions(int32_t *count) KELMCAT_NOEXCEPT;

/* ---- Reporting -------------------------------------------------------- */

/* Any thread; each reads under the library's lock. */

/* Code of the last scan that reached its walk (0 until then). */
KELMCAT_API int32_t kelmcat_last_code(void) KELMCAT_NOEXCEPT;
/* Last error message; "" when none. Valid until the next message is recorded
 * (by any thread: the text returned before is then freed) or
 * kelmcat_shutdown(). A scan whose folder listing fails records why:
 * "list '<folder>' failed: <code name>: <folder-access message>" for the first
 * page, "list '<folder>' next page failed: <code name>: <message>" for a later
 * one (the scan returns KELMCAT_ERR_NO_STORAGE; a cancellation or memory
 * exhaustion during a listing returns KELMCAT_ERR_CANCELLED or KELMCAT_ERR_OOM
 * with those codes' messages instead). */
KELMCAT_API const char *kelmcat_last_error(void) KELMCAT_NOEXCEPT;
/* HTTP status of the last request that reached an IO table; 0 until then. */
KELMCAT_API int32_t kelmcat_last_http_code(void) KELMCAT_NOEXCEPT;
/* Redacted URL of the last request; "" when none. Valid until the next request. */
KELMCAT_API const char *kelmcat_last_url(void) KELMCAT_NOEXCEPT;
/* Warnings accumulate across scans until kelmcat_shutdown(); a warning text
 * stays valid until then (new warnings do not move it). Out of range gives "".
 * A folder listing that rejected entries adds one warning, "listing '<folder>'
 * rejected <n> entry|entries; first: <reason>: '<name>'", with folder and name
 * cut UTF-8-safely and every byte that is not valid UTF-8 written as \xHH. */
KELMCAT_API int32_t kelmcat_warning_count(void) KELMCAT_NOEXCEPT;
KELMCAT_API const char *kelmcat_warning(int32_t index) KELMCAT_NOEXCEPT;

/* ---- Keys -------------------------------------------------------------- */

/* Key derivation, for a host that reads or writes the same vault entries as
 * the library. Each writes a NUL-terminated text into out[out_size] and returns
 * KELMCAT_OK, or KELMCAT_ERR_ARG with a message when an argument is null or the
 * text does not fit (out may then hold a cut text that must not be used).
 * Any thread. */

/* Identity key of a file: "<path>_<size>", path used exactly as given
 * (size -1 when unknown). */
KELMCAT_API int32_t kelmcat_derive_key(const char *path, int64_t size, char *out,
                                       uint64_t out_size) KELMCAT_NOEXCEPT;
/* "MatchedIMDbId_<hash>" of an identity key; 25 bytes always suffice. */
KELMCAT_API int32_t kelmcat_vault_key(const char *item_key, char *out,
                                      uint64_t out_size) KELMCAT_NOEXCEPT;
/* "CorrectIMDbId_<hash>" of an identity key; 25 bytes always suffice. */
KELMCAT_API int32_t kelmcat_correction_key(const char *item_key, char *out,
                                           uint64_t out_size) KELMCAT_NOEXCEPT;
/* The keys a scan of user_id actually reads and writes in the vault:
 * "TALMERON_IMediaKeyVault_<user_id>_MatchedIMDbId_<hash>" and
 * "TALMERON_IMediaKeyVault_<user_id>_CorrectIMDbId_<hash>" (user_id byte for
 * byte). The un-namespaced keys above are only their last part. A null or
 * empty user_id counts as a null argument; a user id longer than a scan
 * accepts fails with "user id too long (<length> > <limit>)". A buffer of the
 * user id's length plus 50 bytes always suffices. */
KELMCAT_API int32_t kelmcat_user_vault_key(const char *user_id, const char *item_key, char *out,
                                           uint64_t out_size) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelmcat_user_correction_key(const char *user_id, const char *item_key,
                                                char *out, uint64_t out_size) KELMCAT_NOEXCEPT;

/* ---- IO and vault tables ------------------------------------------------ */

/* Any thread for the three calls below. */

/* Installs the host's IO table by reference: the table and its ctx must stay
 * valid (and unchanged while a request may be in flight) until another table
 * is installed or kelmcat_shutdown(). A non-NULL table selects it (also when
 * the built-in fake IO was selected); NULL clears the stored pointer only. */
KELMCAT_API void kelmcat_set_io(const kelmcat_io *table) KELMCAT_NOEXCEPT;
/* Selects the built-in HTTPS client (libcurl) for every request; returns 0.
 * A non-NULL kelmcat_set_io table or kelmcat_use_fake switches away again.
 * It verifies the server's certificate and host name (against the system's CA
 * store unless "ca_file" is set), follows no redirect (a 3xx answer fails as
 * KELMCAT_ERR_HTTP), uses no proxy unless "proxy" is set, and reports a failed
 * exchange as KELMCAT_ERR_TRANSPORT with "transport: " and libcurl's reason.
 * Connections are kept and reused across requests for the whole process.
 * A scan keeps several requests in flight ("max_concurrent" below).
 * kelmcat_cancel stops a scan's requests in flight within about 100 ms; the
 * scan then ends with KELMCAT_ERR_CANCELLED and the file it was at gets no
 * result.
 * A library built without the client (KELMCAT_NO_CURL) records "this build has
 * no libcurl backend (KELMCAT_NO_CURL)" and returns KELMCAT_ERR_NO_IO, leaving
 * the IO selection as it was. */
KELMCAT_API int32_t kelmcat_use_curl(void) KELMCAT_NOEXCEPT;
/* Base URLs of the media-index service (Corrections, Find) and of the catalogue
 * service (IsMovie, the scan-complete queue), for every IO kind. Each must
 * begin with "https://" and hold at most 255 bytes; the request paths, which
 * begin with "/", are appended to them as given. A rejected value leaves both
 * unchanged (KELMCAT_ERR_ARG). kelmcat_shutdown() restores the built-in ones.
 * May be called from any thread; a request in flight keeps the base it had. */
KELMCAT_API int32_t kelmcat_set_service_bases(const char *media_index_base,
                                              const char *catalogue_base) KELMCAT_NOEXCEPT;
/* Options of the built-in client, as one JSON object; each call replaces all
 * of them, and a member left out takes its default:
 *   "ca_file"            PEM bundle to verify servers with; "" (default) for
 *                        the system's CA store. At most 4095 bytes.
 *   "connect_timeout_ms" time to connect, 1..2147483647 (default 10000).
 *   "timeout_ms"         time for the whole request, 1..2147483647 (60000).
 *   "max_body_bytes"     largest answer accepted, from 1 (default 268435456);
 *                        a larger one fails as "transport: response larger
 *                        than N bytes", never as a partial body.
 *   "user_agent"         at most 255 bytes (default "kelmcat/<version>").
 *   "proxy"              proxy URL, at most 1023 bytes; "" (default) for none.
 *   "max_concurrent"     requests a scan keeps in flight, 1..256 (default 16).
 *                        While a folder's files are categorized, the client
 *                        asks ahead for the title lookups of the next files
 *                        that need one (files that the path filters, the
 *                        add-new-only set or correct mode skip, or whose
 *                        correction supplies the id, need none; their
 *                        correction is read from the vault then, once), and
 *                        for the movie checks the answers call for. Answers
 *                        are taken in the order the scan needs them, so
 *                        results, counters, warnings, the result document,
 *                        the last error, HTTP code and URL, and the vault's
 *                        contents and order of writes are those of a scan
 *                        making one request at a time, and each request is
 *                        made as often. Exceptions: requests already in
 *                        flight when a scan stops early (a failing service,
 *                        kelmcat_cancel, disarmed writes) and the corrections
 *                        read for their files; and, when another thread's
 *                        setter changes the filters, modes, matcher host,
 *                        vault or a correction during a scan, files looked
 *                        at ahead before the change (which may cause a
 *                        request or read the scan then does not use). Over
 *                        HTTP/2 the requests share one connection per host;
 *                        otherwise up to this many connections per host are
 *                        opened and kept for later requests. A request's
 *                        timeout counts from when it is sent. Read when a
 *                        scan starts; 1 makes every request when the scan
 *                        needs it, one at a time. Only the built-in client
 *                        asks ahead: with a host IO table or the fake IO
 *                        scans make each request when they need it.
 * Texts must not hold control characters (ca_file: no NUL). An unknown or
 * repeated member, a wrong type or an out-of-range value is rejected with a
 * message naming the member (KELMCAT_ERR_ARG) and nothing changes.
 * kelmcat_shutdown() restores the defaults. May be called from any thread; a
 * request in flight keeps the options it started with. Accepted (and kept) in
 * a build without the client too. */
KELMCAT_API int32_t kelmcat_set_http_options(const char *json) KELMCAT_NOEXCEPT;
/* Copies the vault table (get, set and search_keys are required; else
 * KELMCAT_ERR_ARG). The host may discard its record on return but keeps ctx
 * valid until kelmcat_shutdown(). A second call replaces the first. */
KELMCAT_API int32_t kelmcat_set_vault(const kelmcat_vault *table) KELMCAT_NOEXCEPT;

/* ---- Scan and scan-complete notification --------------------------------- */

/* Categorizes the video files of user_id for runtime_config_id: opens the
 * configured storage backend, walks it from the walk root, records each file
 * in the vault and one result per file, then tells the catalogue's queue that
 * the scan is complete (a failed notification only adds a warning). Runs on the
 * calling thread, which also runs every host callback it causes; one scan at a
 * time. Needs an IO table (or the fake), a matcher host, a backend, a vault and
 * armed writes. Returns 0 or a negative code; the last error says why.
 * Any thread, but one scan at a time in the whole process; never from inside a
 * callback of a scan. */
KELMCAT_API int32_t kelmcat_scan(const char *user_id,
                                 const char *runtime_config_id) KELMCAT_NOEXCEPT;
/* Stops a running scan at its next check (KELMCAT_ERR_CANCELLED). May be called
 * from any thread. The request stays until kelmcat_clear_cancel() or
 * kelmcat_shutdown(): every scan started before then ends at once as
 * cancelled. A request of the scan that the built-in HTTP client has in flight
 * is abandoned within about 100 ms; the file it was for gets no result and
 * counts no error. Requests made outside a scan (kelmcat_notify_scan_complete)
 * are not affected. */
KELMCAT_API void kelmcat_cancel(void) KELMCAT_NOEXCEPT;
/* Withdraws a cancel request, so that the next scan runs without
 * kelmcat_shutdown() (which also drops the whole configuration). A running
 * scan that has already seen the request still ends as cancelled. May be
 * called from any thread. */
KELMCAT_API void kelmcat_clear_cancel(void) KELMCAT_NOEXCEPT;
/* Sends the scan-complete message for user_id / runtime_config_id on its own
 * (kelmcat_scan sends it after every successful scan). Needs both ids, armed
 * writes and a queue credential (KELMCAT_ERR_ARG, KELMCAT_ERR_NOT_ARMED); a
 * message whose request would exceed 1023 bytes is refused (KELMCAT_ERR_ARG),
 * never sent cut. Otherwise returns the request's code (0 for a 2xx answer).
 * Any thread when the installed IO table may be called from two threads at
 * once, and with the built-in HTTP client, also while a scan runs on another
 * one; with the built-in fake IO, no scan running. */
KELMCAT_API int32_t kelmcat_notify_scan_complete(const char *user_id,
                                                 const char *runtime_config_id) KELMCAT_NOEXCEPT;

/* ---- Results and statistics ------------------------------------------- */

/* What a scan decided about one file (kelmcat_result_outcome). */
#define KELMCAT_OUTCOME_ADDED 1     /* no vault record yet; a new one was written */
#define KELMCAT_OUTCOME_UPDATED 2   /* the stored record was out of date and rewritten */
#define KELMCAT_OUTCOME_UNCHANGED 3 /* the stored record was current; nothing written */
#define KELMCAT_OUTCOME_UNMATCHED 4 /* the title matcher found no title */
#define KELMCAT_OUTCOME_ERROR 5     /* lookup, movie check, vault read or write failed */

/* The host's statistics record, filled by kelmcat_stats. */
typedef struct kelmcat_scan_stats {
  uint64_t host_word; /* the host's own; never read or written by the library */
  int64_t walked;     /* entries looked at, files and folders */
  int64_t considered; /* candidate files that passed the path filter */
  int64_t matched;
  int64_t unmatched;
  int64_t added;
  int64_t updated;
  int64_t unchanged;
  int64_t errors;
  int32_t depth_max; /* deepest folder level entered */
  int64_t vault_writes;
  int64_t matcher_calls;
} kelmcat_scan_stats;

/* Results of the last scan, one per file decision, in the order they were
 * made. Texts stay valid until the next scan clears the list (once it has
 * passed its checks and opened its backend) or kelmcat_shutdown(); later
 * results do not move them. Out of range: "", outcome 0, season/episode -1.
 * Any thread (a text read while a scan runs on another thread is freed when
 * that scan clears the list). */
KELMCAT_API int32_t kelmcat_result_count(void) KELMCAT_NOEXCEPT;
/* The file's identity key. */
KELMCAT_API const char *kelmcat_result_key(int32_t index) KELMCAT_NOEXCEPT;
/* The file's name as its backend listed it. */
KELMCAT_API const char *kelmcat_result_path(int32_t index) KELMCAT_NOEXCEPT;
/* IMDb id the file is recorded with; "" when none. */
KELMCAT_API const char *kelmcat_result_imdb_id(int32_t index) KELMCAT_NOEXCEPT;
/* One of KELMCAT_OUTCOME_*. */
KELMCAT_API int32_t kelmcat_result_outcome(int32_t index) KELMCAT_NOEXCEPT;
/* Season / episode number, -1 when none. */
KELMCAT_API int32_t kelmcat_result_season(int32_t index) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelmcat_result_episode(int32_t index) KELMCAT_NOEXCEPT;
/* Number of results with KELMCAT_OUTCOME_UNMATCHED. */
KELMCAT_API int32_t kelmcat_unmatched_count(void) KELMCAT_NOEXCEPT;
/* Name (after the last '/') of the n-th unmatched result, counting from 0 in
 * list order; "" when there is none. Valid as long as the result's texts. */
KELMCAT_API const char *kelmcat_unmatched_name(int32_t n) KELMCAT_NOEXCEPT;
/* Copies the counters of the last scan that reached its walk (all 0 before)
 * into *stats, leaving host_word untouched. KELMCAT_ERR_ARG for NULL. Call it
 * after the scan has returned. */
KELMCAT_API int32_t kelmcat_stats(kelmcat_scan_stats *stats) KELMCAT_NOEXCEPT;

/* ---- Result document and corrections ---------------------------------- */

/* The results, the last scan's counters and the warnings as one compact JSON
 * object {"results":[...],"stats":{...},"warnings":[...]}; "" when it cannot
 * be written (also while a stored text is not valid UTF-8). Valid until the
 * next call of kelmcat_result_json (from any thread, which frees the text
 * returned before). Any thread. */
KELMCAT_API const char *kelmcat_result_json(void) KELMCAT_NOEXCEPT;
/* Stores the user's choice of IMDb id for a file (item_key as reported by
 * kelmcat_result_key or kelmcat_derive_key) in the vault, under the correction
 * key of the last scan's user; the next scan reads it before asking the
 * matcher. Needs armed writes, a scan since load, and a vault. Any thread,
 * also during a scan (files the scan reads afterwards see the correction). */
KELMCAT_API int32_t kelmcat_set_correction(const char *item_key,
                                           const char *imdb_id) KELMCAT_NOEXCEPT;
/* The same for a given user, so that a process that has not scanned can record
 * a user's correction: the same checks, messages and vault write, with user_id
 * in place of the last scan's user (NULL or empty: "null user id",
 * KELMCAT_ERR_ARG). Writes under kelmcat_user_correction_key(user_id, ...).
 * Any thread. */
KELMCAT_API int32_t kelmcat_set_correction_for(const char *user_id, const char *item_key,
                                               const char *imdb_id) KELMCAT_NOEXCEPT;

/* ======================================================================
 * Folder access
 * ====================================================================== */

/* ---- Result codes ------------------------------------------------------ */

/* Folder-access functions return 0 or one of these positive codes (only
 * kelffa_list_next returns a failure negated). kelffa_strerror names them.
 * No scan running, for every kelffa_* function except kelffa_cancel (any
 * thread) and the constant kelffa_strerror and kelffa_version: the layer has
 * one session and one listing, which a scan uses without a lock. Backends are
 * called on the thread that calls the layer. */
#define KELFFA_OK 0
#define KELFFA_ERR_NO_BACKEND 1
#define KELFFA_ERR_NOT_OPEN 2
#define KELFFA_ERR_NOT_FOUND 3
#define KELFFA_ERR_ACCESS 4
#define KELFFA_ERR_TRANSPORT 5
#define KELFFA_ERR_UNSUPPORTED 6
#define KELFFA_ERR_CANCELLED 7
#define KELFFA_ERR_BAD_CONFIG 8
#define KELFFA_ERR_INVALID_ARG 9
#define KELFFA_ERR_OOM 10

/* ---- Items ------------------------------------------------------------- */

/* Presence bits of kelffa_item.fields: each vouches for one field. */
#define F_SIZE 0x01u
#define F_MTIME 0x02u
#define F_TITLE 0x04u
#define F_YEAR 0x08u
#define F_ID 0x10u
#define F_LOCATOR 0x20u

/* One folder entry (72 bytes on a 64-bit target, the value struct_size
 * carries). name, path and is_folder are always present; the other fields only
 * with their F_* bit. A fresh record: struct_size 72, everything else 0/NULL
 * except size and mtime_ms, which are -1. In a record a backend fills, the
 * strings belong to the backend and need stay valid only until the layer next
 * calls into it; the layer keeps its own copies. */
typedef struct kelffa_item {
  uint32_t struct_size;
  uint32_t fields;
  const char *name;    /* one path segment */
  const char *path;    /* full path in the backend's namespace */
  int32_t is_folder;   /* 1 folder, 0 anything else */
  int32_t year;        /* F_YEAR */
  int64_t size;        /* F_SIZE; bytes */
  int64_t mtime_ms;    /* F_MTIME; milliseconds */
  const char *title;   /* F_TITLE */
  const char *id;      /* F_ID; the backend's own id of the entry */
  const char *locator; /* F_LOCATOR */
} kelffa_item;

/* ---- Backends ---------------------------------------------------------- */

/* Capability bits of kelffa_backend.caps (0x01 and 0x10 are accepted and carry
 * no meaning; anything above 0x10 is refused). */
#define CAP_STAT 0x02u /* offers stat; required for kelffa_get */
#define CAP_META 0x04u /* reports titles and years */
#define CAP_IDS 0x08u  /* reports its own entry ids */

/* The page a backend's list operation fills (64 bytes on a 64-bit target).
 * items holds cap fresh records for the backend to fill from index 0, followed
 * by 16 guard records it must not touch. */
typedef struct kelffa_page {
  uint32_t struct_size;           /* in: 64 */
  const char *cursor;             /* in: NULL on a first page, else the previous next_cursor */
  kelffa_item *items;             /* in */
  uint64_t cap;                   /* in: most records the backend may fill */
  uint64_t count;                 /* out: records filled */
  int32_t more;                   /* out: non-zero when entries follow */
  const char *next_cursor;        /* out: non-empty when more is set; owned by the backend */
  const volatile int32_t *cancel; /* in: non-zero once cancellation is requested */
} kelffa_page;

/* A storage backend (72 bytes on a 64-bit target). Every operation receives ctx
 * first and returns a KELFFA_* code (0 = success); a failing operation may
 * record its own message with the same code first (internal backends only).
 * open receives the session's JSON object text ("{}" when none was given). */
typedef struct kelffa_backend {
  uint32_t struct_size; /* at least 72 */
  const char *id;       /* [a-z0-9][a-z0-9-]{0,31} */
  uint32_t caps;        /* CAP_* bits */
  void *ctx;
  int32_t (*open)(void *ctx, const char *config_json);
  int32_t (*list)(void *ctx, const char *folder, kelffa_page *page);
  int32_t (*stat)(void *ctx, const char *path, kelffa_item *item); /* exactly with CAP_STAT */
  int32_t (*locator)(void *ctx, const char *path, char *buf, uint64_t size);
  void (*close)(void *ctx);
} kelffa_backend;

/* ---- Registry, session and last error ------------------------------------ */

/* Validates the table and stores a copy of its first 72 bytes and of its id;
 * the host's table is not referenced afterwards. At most 64 backends. */
KELMCAT_API int32_t kelffa_register(const kelffa_backend *backend) KELMCAT_NOEXCEPT;
/* Number of registered backends. */
KELMCAT_API int32_t kelffa_backend_count(void) KELMCAT_NOEXCEPT;
/* Id of the backend in that slot ("" out of range); valid until that backend is
 * unregistered or kelffa_reset(). */
KELMCAT_API const char *kelffa_backend_id(int32_t index) KELMCAT_NOEXCEPT;
/* Capability bits of the backend in that slot, or -1 out of range. */
KELMCAT_API int32_t kelffa_backend_caps(int32_t index) KELMCAT_NOEXCEPT;
/* Ends the current session, then opens the backend registered under id with a
 * JSON object configuration (NULL means "{}"). */
KELMCAT_API int32_t kelffa_open(const char *id, const char *config_json) KELMCAT_NOEXCEPT;
/* Ends the session, if any, and drops the listing and the stat result. */
KELMCAT_API void kelffa_close(void) KELMCAT_NOEXCEPT;
/* Closes the session, empties the registry and returns the layer to its load
 * state (the cancel flag is left as it is). */
KELMCAT_API void kelffa_reset(void) KELMCAT_NOEXCEPT;
/* The layer's last error ("" when clear; a message with code 0 is a warning).
 * Always the same buffer; its content changes with the next recorded error. */
KELMCAT_API const char *kelffa_last_error(void) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_last_code(void) KELMCAT_NOEXCEPT;
/* Constant name of a code ("cancelled" for 7 and -7), "unknown" outside -10..10. */
KELMCAT_API const char *kelffa_strerror(int32_t code) KELMCAT_NOEXCEPT;
/* Constant "1.0.0". */
KELMCAT_API const char *kelffa_version(void) KELMCAT_NOEXCEPT;

/* ---- Item accessors ------------------------------------------------------ */

/* Each accepts NULL and any record (fields read as stored). Texts point into
 * the record or at a constant "" and live as long as the record's strings. */
KELMCAT_API const char *kelffa_item_name(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API const char *kelffa_item_path(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_item_is_folder(const kelffa_item *item) KELMCAT_NOEXCEPT;
/* size / mtime_ms when their bit is set, else -1. */
KELMCAT_API int64_t kelffa_item_size(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API int64_t kelffa_item_mtime_ms(const kelffa_item *item) KELMCAT_NOEXCEPT;
/* 1 when mask is non-zero and every bit of it is set in fields. */
KELMCAT_API int32_t kelffa_item_has(const kelffa_item *item, uint32_t mask) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_item_fields(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API const char *kelffa_item_title(const kelffa_item *item) KELMCAT_NOEXCEPT;
/* year when F_YEAR is set, else 0. */
KELMCAT_API int32_t kelffa_item_year(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API const char *kelffa_item_backend_id(const kelffa_item *item) KELMCAT_NOEXCEPT;
KELMCAT_API const char *kelffa_item_locator(const kelffa_item *item) KELMCAT_NOEXCEPT;
/* Checks a record as a listing entry of folder (NULL: no self-loop test).
 * 0 when it passes (last error untouched), else KELFFA_ERR_INVALID_ARG with
 * "item rejected: <reason>". */
KELMCAT_API int32_t kelffa_validate_item(const kelffa_item *item,
                                         const char *folder) KELMCAT_NOEXCEPT;

/* ---- Listing ------------------------------------------------------------- */

/* Drops the current listing and fetches the first page of folder (at most
 * 4096 bytes) from the open backend. Invalid entries are skipped and counted
 * (kelffa_rejected), each leaving a warning with code 0. */
KELMCAT_API int32_t kelffa_list(const char *folder) KELMCAT_NOEXCEPT;
/* Fetches the next page: 1 when more follow, 0 when nothing (more) to fetch,
 * the negated code on failure (a later call retries the same page). */
KELMCAT_API int32_t kelffa_list_next(void) KELMCAT_NOEXCEPT;
/* kelffa_list, then every further page; 0 or a positive code. */
KELMCAT_API int32_t kelffa_list_all(const char *folder) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_more(void) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_count(void) KELMCAT_NOEXCEPT;
/* Entry at index, or NULL out of range. The record and its texts stay valid
 * until the listing next changes (a page fetch, kelffa_list, kelffa_list_all,
 * kelffa_decode, kelffa_close, kelffa_open, kelffa_reset). */
KELMCAT_API const kelffa_item *kelffa_item_at(int32_t index) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kelffa_rejected(void) KELMCAT_NOEXCEPT;
/* Requests cancellation; the only function that may be called from another
 * thread while a listing runs. Cleared by kelffa_open, kelffa_list, kelffa_get. */
KELMCAT_API void kelffa_cancel(void) KELMCAT_NOEXCEPT;
/* Entries asked for per page: 1..65536 (256 at load). */
KELMCAT_API int32_t kelffa_set_page_size(int32_t size) KELMCAT_NOEXCEPT;

/* ---- Listing JSON ------------------------------------------------------- */

/* The current result as compact JSON: the listing document ("backend", "path",
 * "count", "more", "rejected", "items") or, after kelffa_get, the stat document
 * ("backend", "item"). Never NULL; owned by the layer and valid until the next
 * kelffa_result_json or kelffa_reset ("{}" when it cannot be written). */
KELMCAT_API const char *kelffa_result_json(void) KELMCAT_NOEXCEPT;
/* Replaces the listing with the entries of a listing document (its "items"
 * array, with "path" as the listed folder) or of a bare array; no session is
 * needed. Entries of bad shape or failing validation are counted as rejected
 * with a warning. 0, KELFFA_ERR_INVALID_ARG or KELFFA_ERR_OOM. The decoded
 * listing (label "decoded") cannot be continued with kelffa_list_next. */
KELMCAT_API int32_t kelffa_decode(const char *json) KELMCAT_NOEXCEPT;

/* ---- Stat, locator, path join -------------------------------------------- */

/* Stats path through the open backend (needs CAP_STAT) and keeps the result.
 * When out is not NULL, copies min(out->struct_size, 72) bytes of it (72 when
 * struct_size is 0) into *out; its strings are the layer's. The result and its
 * texts stay valid until the next kelffa_get, kelffa_close, kelffa_open or
 * kelffa_reset. */
KELMCAT_API int32_t kelffa_get(const char *path, kelffa_item *out) KELMCAT_NOEXCEPT;
/* The stored stat result, or NULL when the last kelffa_get failed. */
KELMCAT_API const kelffa_item *kelffa_got(void) KELMCAT_NOEXCEPT;
/* The open backend's locator text for path, or NULL on failure (code in
 * kelffa_last_code). Valid until the next kelffa_locator call. */
KELMCAT_API const char *kelffa_locator(const char *path) KELMCAT_NOEXCEPT;
/* folder (trailing slashes dropped) + "/" + name, at most 4096 bytes; name must
 * be one segment. NULL on failure. Valid until the next kelffa_path_join call. */
KELMCAT_API const char *kelffa_path_join(const char *folder, const char *name) KELMCAT_NOEXCEPT;

/* ======================================================================
 * Built-in fakes
 * ====================================================================== */

/* ---- Fake IO and fake vault --------------------------------------------- */

/* Fake IO (selected with kelmcat_use_fake): scripted answers of the remote
 * services. The fakes are not locked: no scan running, for every kel_fake_*
 * and kelffa_fake_* function and the two kelmcat_* calls at the end.
 * Every text is copied; tables only grow until kel_fake_reset(). */

/* Lookup route for a name (the first route added for a name answers). Status 0
 * or 200 answers the IMDb id; another status is answered as it is. Returns
 * KELMCAT_ERR_ARG for a NULL name or a NULL id with a status of 1..399 (except
 * for the name "*"), KELMCAT_ERR_OOM when 256 routes exist or memory runs out. */
KELMCAT_API int32_t kel_fake_set_matcher(const char *name, const char *imdb_id,
                                         int32_t status) KELMCAT_NOEXCEPT;
/* Lookup route answering a TV show (NULL id counts as ""); the name must not
 * be empty. Codes as for kel_fake_set_matcher. */
KELMCAT_API int32_t kel_fake_set_tvshow(const char *name, const char *imdb_id) KELMCAT_NOEXCEPT;
/* Is-movie answer for an id (non-empty); at most 256 answers. Unknown ids
 * starting with "tt" are movies, other unknown ids are not found. */
KELMCAT_API int32_t kel_fake_set_ismovie(const char *imdb_id, int32_t is_movie) KELMCAT_NOEXCEPT;
/* Arms a fault for every later request until kel_fake_reset(): "transport"
 * fails the transport, a positive decimal number answers that status with the
 * body "error", any other text is an unknown IO failure. 1..255 bytes. */
KELMCAT_API int32_t kel_fake_fail_matcher(const char *fault) KELMCAT_NOEXCEPT;
/* Canned Corrections / Find bodies (at most 8191 bytes; "" gives "{}" / "[]"). */
KELMCAT_API int32_t kel_fake_set_corrections(const char *json) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kel_fake_set_indexed(const char *json) KELMCAT_NOEXCEPT;
/* Requests answered by the fake IO, and SendMessageQueue requests among them. */
KELMCAT_API int32_t kel_fake_matcher_calls(void) KELMCAT_NOEXCEPT;
KELMCAT_API int32_t kel_fake_queue_calls(void) KELMCAT_NOEXCEPT;
/* Fake store counters: index 0 reads, 1 writes, 2 prefix searches; else -1. */
KELMCAT_API int32_t kel_fake_vault_calls(int32_t index) KELMCAT_NOEXCEPT;
/* Stores a pair in the fake store (NULL value counts as ""), replacing the
 * value of an equal key; counted as a write. KELMCAT_ERR_ARG for a NULL key,
 * -1 when 4096 keys are stored or memory runs out. */
KELMCAT_API int32_t kel_fake_vault_seed(const char *key, const char *value) KELMCAT_NOEXCEPT;
/* A complete vault table over the fake store, for kelmcat_set_vault(). Static:
 * valid for the life of the library; do not modify. Its get and search_keys
 * hand over malloc'ed copies, as the vault contract requires. */
KELMCAT_API const kelmcat_vault *kel_fake_vault(void) KELMCAT_NOEXCEPT;
/* Empties every scripted table, the fault, the canned bodies and the fake
 * store, and sets every counter to 0 (kelmcat_shutdown() does the same). */
KELMCAT_API void kel_fake_reset(void) KELMCAT_NOEXCEPT;

/* ---- Fake tree backend ("fake") -------------------------------------------- */

/* Replaces the in-memory fake tree with the one described by tree_json (a node
 * object; strings may hold invalid UTF-8, kept byte for byte). 0 on success.
 * A NULL text (KELFFA_ERR_INVALID_ARG) or one that is not JSON
 * (KELFFA_ERR_BAD_CONFIG) keeps the current tree; any later failure leaves no
 * tree. The tree lives until the next load: closing, re-registering,
 * kelffa_reset and kelmcat_shutdown keep it. */
KELMCAT_API int32_t kelffa_fake_load_tree(const char *tree_json) KELMCAT_NOEXCEPT;
/* (Re-)registers the fake tree backend under the id "fake" with the current
 * capability bits (an open fake session is closed first). Returns the code of
 * kelffa_register. */
KELMCAT_API int32_t kelffa_fake_register(void) KELMCAT_NOEXCEPT;
/* Capability bits the fake registers and honours (0x0F at load; at most 0x1F,
 * else KELFFA_ERR_INVALID_ARG). Re-registers the fake when it is registered and
 * returns that code. */
KELMCAT_API int32_t kelffa_fake_set_caps(uint32_t caps) KELMCAT_NOEXCEPT;
/* Fault injection. op 1 open, 2 first-page list, 3 continuation list, 4 stat,
 * 5 locator: a non-zero code is returned by every such call until disarmed
 * with 0. op 6: a count N > 0 raises the cancel flag once a list call has
 * filled N entries (then disarms itself). op 0 clears every fault and counter.
 * Another op: KELFFA_ERR_INVALID_ARG. */
KELMCAT_API int32_t kelffa_fake_set_fault(int32_t op, int32_t code) KELMCAT_NOEXCEPT;
/* Calls of an operation (1 open, 2 every list, 3 continuation lists, 4 stat,
 * 5 locator; 6 is always 0) since the last kelffa_fake_set_fault(0, ...);
 * -1 for another op. */
KELMCAT_API int32_t kelffa_fake_calls(int32_t op) KELMCAT_NOEXCEPT;

/* Registers the fake backend and loads a tree in one call (closes an open fake
 * session). KELMCAT_ERR_ARG for a NULL or empty text or a rejected tree,
 * KELMCAT_ERR_OOM when the tree does not fit in memory, KELMCAT_ERR_NO_STORAGE
 * when registering fails; the message quotes the folder-access error. */
KELMCAT_API int32_t kelmcat_fake_load_tree(const char *tree_json) KELMCAT_NOEXCEPT;
/* Registers the fake backend and sends every request to the built-in fake IO
 * (a later kelmcat_set_io with a table switches back). Scans still use the
 * backend named with kelmcat_set_backend. KELMCAT_ERR_NO_STORAGE when
 * registering fails (the IO choice is then unchanged). */
KELMCAT_API int32_t kelmcat_use_fake(void) KELMCAT_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELMCAT_H */
