// Core state and reporting: what the other subsystems of the categorizer may
// call. The text buffer and the UTF-8 helpers come with it.
#ifndef KELMCAT_CORE_INTERNAL_H
#define KELMCAT_CORE_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "core/buf.h"
#include "core/utf8.h"
#include "kelmcat.h"

// ---- Configuration state ---------------------------------------------------

// An owned list of owned texts.
struct kel_strlist {
  char **items;
  int32_t count;
};

// One per-file result of the last scan as the list keeps it, defined by the
// results subsystem (results/results_internal.h); the list itself lives in the
// record below.
struct kel_stored_result;

struct kelmcat_state {
  std::mutex lock;
  int32_t io_kind = -1;  // -1 none, 0 host table, 1 built-in fake, 2 built-in client
  const kelmcat_io *io = nullptr;
  // Moves on (kel_request_config_changed_locked) whenever io_kind, io,
  // matcher_host or a service base changes: a thread that keeps its own copy
  // of them for its requests reads them again, under the lock, only when this
  // has moved. 0 is never a value of it.
  std::atomic<uint64_t> request_config_gen{1};
  kelmcat_vault vault{};
  int32_t have_vault = 0;
  kelmcat_log_fn log_fn = nullptr;
  void *log_user = nullptr;
  kelmcat_progress_fn progress_fn = nullptr;
  void *progress_user = nullptr;
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
  // The last request's URL as it was sent, in a block of last_url_sent_cap
  // bytes that the next request reuses when it is large enough; null when none
  // was recorded (or memory ran out for it).
  char *last_url_sent = nullptr;
  size_t last_url_sent_cap = 0;
  // Its redacted form, made when it is first read after the request (the
  // block of last_url_cap bytes is reused too); last_url_shown tells whether
  // last_url already shows the last request's URL.
  char *last_url = nullptr;
  size_t last_url_cap = 0;
  bool last_url_shown = false;
  char *last_error = nullptr;
  kel_stored_result *results = nullptr;
  int32_t result_count = 0;
  int32_t result_cap = 0;
  char **warnings = nullptr;
  int32_t warning_count = 0;
  int32_t warning_cap = 0;
};

extern kelmcat_state g_st;

// The default video extension table (17 entries).
extern const char *const s_video_types[17];

// Frees the texts of a list and empties it.
void kel_strlist_free(kel_strlist *l);

// Returns every field of the record that the configuration and the reporting
// keep to its load-time value (the result list is the results subsystem's).
// The caller holds the lock.
void kel_state_reset_locked();

// To be called, with the lock held, by whatever changes io_kind, io,
// matcher_host or a service base.
inline void kel_request_config_changed_locked() {
  g_st.request_config_gen.fetch_add(1, std::memory_order_release);
}

// The rule for a service base URL: present ("null_text" otherwise), beginning
// with "https://" and at most 255 bytes; false with the error recorded, the
// messages naming the value as "name".
bool kel_https_base_ok(const char *value, const char *name, const char *null_text);

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

#endif
