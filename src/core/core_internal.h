// Core state and reporting: what the other subsystems of the categorizer may call.
#ifndef KELMCAT_CORE_INTERNAL_H
#define KELMCAT_CORE_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "kelmcat.h"

#define KEL_PRINTF(f, a) __attribute__((format(printf, f, a)))

// ---- Growable text buffer --------------------------------------------------

// Always holds a NUL-terminated text once it has storage; a zeroed record is empty.
struct kel_buf {
  char *data;
  uint64_t len;
  uint64_t cap;
};

// Appends count bytes (NULL bytes or a count of 0 empties the buffer).
// Returns 0, or -1 when the buffer is null or cannot grow (then it is unchanged).
int kel_buf_add(kel_buf *b, const void *bytes, size_t count);
// Appends a text without its terminator; a NULL text empties the buffer.
int kel_buf_adds(kel_buf *b, const char *text);
void kel_buf_free(kel_buf *b);

// A malloc'ed copy, or NULL for a NULL text or when memory runs out.
char *kel_strdup(const char *s);
// A malloc'ed copy of exactly n bytes (which may be NULL when n is 0) and a
// terminator, or NULL when memory runs out.
char *kel_strndup(const char *s, size_t n);

// ---- UTF-8-safe cuts -------------------------------------------------------

// Length of the longest prefix of s[0..len) of at most max bytes that does not
// end inside a multi-byte UTF-8 sequence. Texts that fit are kept whole; ASCII
// is cut at exactly max bytes.
size_t kel_utf8_cut_len(const char *s, size_t len, size_t max);
// For "%.*s" arguments: the precision that shows at most max bytes of the
// NUL-terminated s (NULL counts as "") without splitting a character.
int kel_cutw(const char *s, size_t max);
// vsnprintf into out[size] and cut the result UTF-8-safely to size - 1 bytes.
void kel_vformat(char *out, size_t size, const char *fmt, va_list ap);
void kel_format(char *out, size_t size, const char *fmt, ...) KEL_PRINTF(3, 4);

// RFC 3629 well-formedness: no overlongs, no surrogates, nothing above U+10FFFF.
bool kel_utf8_valid(const char *s, size_t len);

// ---- Configuration state ---------------------------------------------------

// An owned list of owned texts.
struct kel_strlist {
  char **items;
  int32_t count;
};

// One per-file result of the last scan; the three texts are never null and
// share one heap block, owned through key (path and imdb_id point into it).
struct kel_result {
  char *key;
  char *path;
  char *imdb_id;
  int32_t outcome;
  int32_t season;
  int32_t episode;
};

struct kelmcat_state {
  std::mutex lock;
  int32_t io_kind = -1;  // -1 none, 0 host table, 1 built-in fake
  const kelmcat_io *io = nullptr;
  kelmcat_vault vault{};
  int32_t have_vault = 0;
  kelmcat_log_fn log_fn = nullptr;
  void *log_user = nullptr;
  char matcher_host[256] = {};
  char queue_credential[256] = {};
  int32_t max_depth = 32;
  kel_strlist include_paths{};
  kel_strlist exclude_paths{};
  kel_strlist video_extensions{};
  int32_t add_new_only = 0;
  int32_t correct_mode = 0;
  int32_t writes_armed = 0;
  int32_t cancel_requested = 0;
  int32_t last_code = 0;
  // User id of the last scan that opened its backend, kept whole so that the
  // correction writer builds the same namespaced keys the walk reads.
  char *scan_user = nullptr;
  char backend_id[64] = {};
  char backend_config[512] = {};
  char walk_root[512] = {};
  int32_t last_http_code = 0;
  char *last_url = nullptr;
  char *last_error = nullptr;
  kel_result *results = nullptr;
  int32_t result_count = 0;
  int32_t result_cap = 0;
  char **warnings = nullptr;
  int32_t warning_count = 0;
  int32_t warning_cap = 0;
};

extern kelmcat_state g_st;

// The default video extension table (17 entries).
extern const char *const s_video_types[17];

// ---- Errors, warnings and log ----------------------------------------------

const char *kel_errstr(int code);
// Records the last error (cut to 1023 bytes). Takes the state lock.
void kel_set_error(const char *fmt, ...) KEL_PRINTF(1, 2);
// The same for a caller that already holds the state lock.
void kel_set_error_locked(const char *fmt, ...) KEL_PRINTF(1, 2);
// Appends a warning (cut to 511 bytes); dropped silently when memory runs out.
void kel_add_warning(const char *fmt, ...) KEL_PRINTF(1, 2);
// Formats a line (cut to 511 bytes) and passes it to the log hook, if any,
// outside the lock.
void kel_log(const char *fmt, ...) KEL_PRINTF(1, 2);

// The constant empty text returned for "none".
extern const char kel_empty[1];

#endif
