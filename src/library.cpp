// Library-wide entry points that span the subsystems: the scan entry point,
// which connects the scan engine to the result list, shutdown, and the
// switches onto the built-in fakes.
#include <condition_variable>
#include <mutex>

#include "core/core_internal.h"
#include "match/http.h"
#include "results/results_internal.h"
#include "scan/scan.h"

namespace {

// The result list and the counters copy the scan engine reports to.
const kel_scan_output s_scan_output = {kel_results_clear, kel_result_add_fields,
                                       kel_last_counters_set};

// Scans in progress, so that a shutdown on another thread can wait for them:
// it holds s_scans_lock from its wait to the end of the reset, so no scan
// starts in between.
std::mutex s_scans_lock;
std::condition_variable s_scans_done;
int32_t s_scans_running = 0;
// Set on a thread while it runs a scan: a shutdown from one of the scan's own
// callbacks cannot wait for the scan it is part of.
thread_local bool t_scanning = false;
// Set on the thread that is resetting the library.
thread_local bool t_shutting_down = false;

struct scan_mark {
  scan_mark() {
    std::lock_guard<std::mutex> g(s_scans_lock);
    ++s_scans_running;
    t_scanning = true;
  }
  ~scan_mark() {
    t_scanning = false;
    std::lock_guard<std::mutex> g(s_scans_lock);
    --s_scans_running;
    s_scans_done.notify_all();
  }
  scan_mark(const scan_mark &) = delete;
  scan_mark &operator=(const scan_mark &) = delete;
};

}  // namespace

extern "C" {

KELMCAT_API int32_t kelmcat_scan(const char *user_id, const char *runtime_config_id) noexcept {
  scan_mark running;
  return kel_scan_run(user_id, runtime_config_id, &s_scan_output);
}

KELMCAT_API void kelmcat_shutdown(void) noexcept {
  // From inside a scan's own callbacks there is no scan to wait for but the
  // caller's; from a backend's close during the reset below, the reset runs.
  if (t_scanning || t_shutting_down) return;
  std::unique_lock<std::mutex> scans(s_scans_lock);
  if (s_scans_running > 0) {
    kelmcat_cancel();
    s_scans_done.wait(scans, [] { return s_scans_running == 0; });
  }
  t_shutting_down = true;
  {
    // The configuration, the reporting and the result list go back in one step.
    std::lock_guard<std::mutex> g(g_st.lock);
    kel_state_reset_locked();
    kel_results_reset_locked();
  }
  // The fakes, the service bases and client options, the built-in client's
  // idle connections and the folder-access layer keep their own state,
  // outside the lock.
  kel_fake_state_clear();
  kel_http_config_reset();
#ifndef KELMCAT_NO_CURL
  kel_curl_reset();
#endif
  kelffa_reset();
  t_shutting_down = false;
}

KELMCAT_API int32_t kelmcat_fake_load_tree(const char *tree_json) noexcept {
  if (!tree_json || !*tree_json) {
    kel_set_error("null tree json");
    return KELMCAT_ERR_ARG;
  }
  if (kelffa_fake_register() != 0) {
    kel_set_error("kelffa_fake_register failed: %s", kelffa_last_error());
    return KELMCAT_ERR_NO_STORAGE;
  }
  int32_t rc = kelffa_fake_load_tree(tree_json);
  if (rc != 0) {
    kel_set_error("kelffa_fake_load_tree failed: %s", kelffa_last_error());
    // A valid text that memory could not hold is not the caller's mistake.
    return rc == KELFFA_ERR_OOM ? KELMCAT_ERR_OOM : KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_use_fake(void) noexcept {
  if (kelffa_fake_register() != 0) {
    const char *e = kelffa_last_error();
    kel_set_error("kelffa_fake_register failed: %s", e ? e : "?");
    return KELMCAT_ERR_NO_STORAGE;
  }
  kel_select_fake_io();
  return KELMCAT_OK;
}

}  // extern "C"
