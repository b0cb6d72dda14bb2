// The scan driver: checks, backend session, preloads, the walk, the summary
// and the scan-complete notification; and the cancel request.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/keys.h"
#include "match/http.h"
#include "match/matcher.h"
#include "match/notify.h"
#include "scan/scan.h"
#include "scan/walk.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// The configuration a scan checks and chooses its preloads by.
struct scan_snapshot {
  int32_t io_kind;
  int32_t have_vault;
  int32_t writes_armed;
  int32_t add_new_only;
  int32_t correct_mode;
  char matcher_host[256];
  char backend_id[64];
  char backend_config[512];
  bool have_walk_root;
};

void take_snapshot(scan_snapshot *s) {
  Guard g(g_st.lock);
  s->io_kind = g_st.io_kind;
  s->have_vault = g_st.have_vault;
  s->writes_armed = g_st.writes_armed;
  s->add_new_only = g_st.add_new_only;
  s->correct_mode = g_st.correct_mode;
  std::memcpy(s->matcher_host, g_st.matcher_host, sizeof s->matcher_host);
  std::memcpy(s->backend_id, g_st.backend_id, sizeof s->backend_id);
  std::memcpy(s->backend_config, g_st.backend_config, sizeof s->backend_config);
  s->have_walk_root = g_st.walk_root[0] != '\0';
}

void store_last_code(int32_t code) {
  Guard g(g_st.lock);
  g_st.last_code = code;
}

// The arguments: both ids present, and a user id short enough that every
// namespaced key of the user keeps its whole hash (a longer id would cut the
// keys and make all of the user's files share one record).
int32_t check_ids(const char *user, const char *config) {
  if (!user || !*user) {
    kel_set_error("null user id");
    return KELMCAT_ERR_ARG;
  }
  if (!config || !*config) {
    kel_set_error("null runtime config id");
    return KELMCAT_ERR_ARG;
  }
  return kel_check_user_id_length(user);
}

// What a scan needs installed before it starts, in the order checked.
int32_t check_setup(const scan_snapshot &s) {
  if (s.io_kind < 0) {
    kel_set_error("no io backend \xE2\x80\x94 call kelmcat_use_curl/use_fake/set_io first");
    return KELMCAT_ERR_NO_IO;
  }
  if (!s.matcher_host[0]) {
    kel_set_error("no matcher host \xE2\x80\x94 call kelmcat_set_matcher_host() (https only)");
    return KELMCAT_ERR_NO_IO;
  }
  if (!s.backend_id[0]) {
    kel_set_error("no storage backend \xE2\x80\x94 call kelmcat_set_backend()");
    return KELMCAT_ERR_NO_STORAGE;
  }
  if (!s.have_vault) {
    kel_set_error("no vault \xE2\x80\x94 call kelmcat_set_vault()");
    return KELMCAT_ERR_NO_VAULT;
  }
  if (!s.writes_armed) {
    kel_set_error("writes are not armed (call kelmcat_arm_writes(1)) \xE2\x80\x94 scan refuses");
    return KELMCAT_ERR_NOT_ARMED;
  }
  return 0;
}

int32_t open_backend(const scan_snapshot &s) {
  if (kelffa_open(s.backend_id, s.backend_config) == 0) return 0;
  const char *why = kelffa_last_error();
  kel_set_error("kelffa_open(%s) failed: %s", s.backend_id, why && *why ? why : "?");
  return KELMCAT_ERR_NO_STORAGE;
}

// Keeps the whole user id (the correction writer namespaces its keys with it,
// so it must be the one the walk reads under), clears the previous results and
// the matcher's per-scan tables, and logs the start.
int32_t begin_scan(const char *user, const char *config, const scan_snapshot &s,
                   const kel_scan_output *out) {
  char *scan_user = kel_strdup(user);
  if (!scan_user) return KELMCAT_ERR_OOM;
  {
    Guard g(g_st.lock);
    std::free(g_st.scan_user);
    g_st.scan_user = scan_user;
  }
  if (out && out->clear_results) out->clear_results();
  kel_matcher_state_reset();
  if (s.have_walk_root) {
    char root[sizeof g_st.walk_root];
    {
      Guard g(g_st.lock);
      std::memcpy(root, g_st.walk_root, sizeof root);
    }
    root[sizeof root - 1] = '\0';
    kel_log("scan start user=%s cfg=%s root=%s", user, config, root);
  } else {
    kel_log("scan start user=%s cfg=%s", user, config);
  }
  return 0;
}

// The user's corrections in correct mode, the indexed keys in add-new-only mode.
int32_t preload(const char *user, const char *config, const scan_snapshot &s) {
  if (s.correct_mode) {
    int32_t r = kel_corrections_load();
    if (r != 0) return r;
  }
  if (s.add_new_only) {
    int32_t r = kel_find_indexed(user, config);
    if (r != 0) return r;
  }
  return 0;
}

// The summary line, the last code and, after a whole walk, the notification,
// whose failure only adds a warning.
int32_t finish_scan(const char *user, const char *config, int32_t r, const kel_counters &c) {
  if (r != 0) {
    kel_log(
        "scan ended rc=%d (%s) walked=%lld considered=%lld added=%lld updated=%lld "
        "unchanged=%lld unmatched=%lld errors=%lld",
        r, kel_errstr(r), static_cast<long long>(c.walked), static_cast<long long>(c.considered),
        static_cast<long long>(c.added), static_cast<long long>(c.updated),
        static_cast<long long>(c.unchanged), static_cast<long long>(c.unmatched),
        static_cast<long long>(c.errors));
    store_last_code(r);
    return r;
  }
  kel_log(
      "scan done walked=%lld considered=%lld added=%lld updated=%lld unchanged=%lld "
      "unmatched=%lld errors=%lld depth_max=%d",
      static_cast<long long>(c.walked), static_cast<long long>(c.considered),
      static_cast<long long>(c.added), static_cast<long long>(c.updated),
      static_cast<long long>(c.unchanged), static_cast<long long>(c.unmatched),
      static_cast<long long>(c.errors), c.depth_max);
  store_last_code(0);
  int32_t n = kel_notify_scan_complete(user, config);
  if (n != 0) {
    kel_add_warning("scan-complete notification failed: %s", kel_errstr(n));
    kel_log("notify rc=%d (%s)", n, kel_errstr(n));
  }
  return 0;
}

int32_t scan(const char *user, const char *config, const kel_scan_output *out) {
  kel_scan_requests requests;  // a cancel also stops the built-in client's request in flight
  int32_t r = check_ids(user, config);
  if (r != 0) return r;
  scan_snapshot s;
  take_snapshot(&s);
  r = check_setup(s);
  if (r == 0) r = open_backend(s);
  if (r != 0) return r;
  // From here on the backend is open; every way out closes it.
  r = begin_scan(user, config, s, out);
  if (r == 0) r = preload(user, config, s);
  if (r != 0) {
    kelffa_close();
    return r;
  }
  kel_counters c{};
  r = kelmcat_run_walk(user, config, &c, out);
  kelffa_close();
  return finish_scan(user, config, r, c);
}

}  // namespace

int32_t kel_scan_run(const char *user_id, const char *runtime_config_id,
                     const kel_scan_output *out) noexcept {
  try {
    return scan(user_id, runtime_config_id, out);
  } catch (const std::bad_alloc &) {
    kelffa_close();
    return KELMCAT_ERR_OOM;
  }
}

extern "C" {

KELMCAT_API void kelmcat_cancel(void) noexcept {
  {
    Guard g(g_st.lock);
    g_st.cancel_requested = 1;
  }
  kelffa_cancel();
}

KELMCAT_API void kelmcat_clear_cancel(void) noexcept {
  Guard g(g_st.lock);
  g_st.cancel_requested = 0;
}

}  // extern "C"
