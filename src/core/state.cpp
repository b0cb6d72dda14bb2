// The configuration record, its load-time values and its reset.
#include <cstdlib>
#include <cstring>

#include "core/core_internal.h"

kelmcat_state g_st;

const char *const s_video_types[17] = {".m4v",  ".mp4", ".mkv",  ".avi", ".rmvb", ".webm",
                                       ".m2ts", ".ogv", ".webm", ".flv", ".mpg",  ".m3u",
                                       ".mov",  ".vob", ".mpeg", ".f4v", ".rm"};

void kel_strlist_free(kel_strlist *l) {
  for (int32_t i = 0; i < l->count; ++i) std::free(l->items[i]);
  std::free(l->items);
  l->items = nullptr;
  l->count = 0;
}

void kel_state_reset_locked() {
  g_st.io_kind = -1;
  g_st.io = nullptr;
  kel_request_config_changed_locked();
  g_st.vault = kelmcat_vault{};
  g_st.have_vault = 0;
  g_st.log_fn = nullptr;
  g_st.log_user = nullptr;
  g_st.progress_fn = nullptr;
  g_st.progress_user = nullptr;
  g_st.matcher_host[0] = '\0';
  g_st.queue_credential[0] = '\0';
  std::free(g_st.scan_user);
  g_st.scan_user = nullptr;
  g_st.backend_id[0] = '\0';
  g_st.backend_config[0] = '\0';
  g_st.walk_root[0] = '\0';
  g_st.max_depth = 32;
  kel_strlist_free(&g_st.include_paths);
  kel_strlist_free(&g_st.exclude_paths);
  kel_strlist_free(&g_st.video_extensions);
  g_st.add_new_only = 0;
  g_st.correct_mode = 0;
  g_st.writes_armed = 0;
  g_st.cancel_requested = 0;
  g_st.last_code = 0;
  g_st.last_http_code = 0;
  std::free(g_st.last_url_sent);
  g_st.last_url_sent = nullptr;
  g_st.last_url_sent_cap = 0;
  std::free(g_st.last_url);
  g_st.last_url = nullptr;
  g_st.last_url_cap = 0;
  g_st.last_url_shown = false;
  std::free(g_st.last_error);
  g_st.last_error = nullptr;
  for (int32_t i = 0; i < g_st.warning_count; ++i) std::free(g_st.warnings[i]);
  std::free(g_st.warnings);
  g_st.warnings = nullptr;
  g_st.warning_count = 0;
  g_st.warning_cap = 0;
}

extern "C" KELMCAT_API const char *const *kelmcat_default_video_extensions(
    int32_t *count) noexcept {
  if (count) *count = 17;
  return s_video_types;
}
