// The exported setters of the configuration record.
#include <cstdlib>
#include <cstring>

#include "core/core_internal.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// Replaces a list with copies; called with the lock held. Running out of
// memory leaves the list empty and records a message, but is not a failure.
void str_set(kel_strlist *l, const char *const *entries, int32_t count) {
  kel_strlist_free(l);
  if (!entries || count <= 0) return;
  char **items = static_cast<char **>(std::calloc(static_cast<size_t>(count), sizeof(char *)));
  if (!items) {
    kel_set_error_locked("oom copying list");
    return;
  }
  for (int32_t i = 0; i < count; ++i) {
    items[i] = kel_strdup(entries[i] ? entries[i] : "");
    if (!items[i]) {
      for (int32_t k = 0; k < i; ++k) std::free(items[k]);
      std::free(items);
      kel_set_error_locked("oom copying list");
      return;
    }
  }
  l->items = items;
  l->count = count;
}

int32_t set_list(kel_strlist kelmcat_state::*field, const char *const *entries, int32_t count) {
  if (count < 0) {
    kel_set_error("count < 0");
    return KELMCAT_ERR_ARG;
  }
  if (count > 0 && !entries) {
    kel_set_error("null list");
    return KELMCAT_ERR_ARG;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (!entries[i]) {
      kel_set_error("NULL in list at %d", i);
      return KELMCAT_ERR_ARG;
    }
  }
  Guard g(g_st.lock);
  str_set(&(g_st.*field), entries, count);
  return KELMCAT_OK;
}

int32_t set_flag(int32_t kelmcat_state::*field, int32_t on) {
  Guard g(g_st.lock);
  g_st.*field = on ? 1 : 0;
  return KELMCAT_OK;
}

template <size_t N>
void store_text(char (&dst)[N], const char *src) {
  size_t n = std::strlen(src);
  if (n >= N) n = N - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

}  // namespace

bool kel_https_base_ok(const char *value, const char *name, const char *null_text) {
  if (!value) {
    kel_set_error("%s", null_text);
    return false;
  }
  if (std::strncmp(value, "https://", 8) != 0) {
    kel_set_error("%s must be https:// (no http, no host-only) \xE2\x80\x94 got %.*s", name,
                  kel_cutw(value, 40), value);
    return false;
  }
  if (std::strlen(value) > 255) {
    kel_set_error("%s too long", name);
    return false;
  }
  return true;
}

extern "C" {

KELMCAT_API void kelmcat_set_logger(kelmcat_log_fn hook, void *user) noexcept {
  Guard g(g_st.lock);
  g_st.log_fn = hook;
  g_st.log_user = user;
}

KELMCAT_API void kelmcat_set_progress(kelmcat_progress_fn hook, void *user) noexcept {
  Guard g(g_st.lock);
  g_st.progress_fn = hook;
  g_st.progress_user = user;
}

KELMCAT_API int32_t kelmcat_set_matcher_host(const char *base_url) noexcept {
  if (!kel_https_base_ok(base_url, "matcher host", "null host")) return KELMCAT_ERR_ARG;
  Guard g(g_st.lock);
  store_text(g_st.matcher_host, base_url);
  kel_request_config_changed_locked();
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_set_queue_credential(const char *credential) noexcept {
  if (!credential) {
    kel_set_error("null secret");
    return KELMCAT_ERR_ARG;
  }
  if (std::strlen(credential) > 255) {
    kel_set_error("queue credential too long");
    return KELMCAT_ERR_ARG;
  }
  Guard g(g_st.lock);
  store_text(g_st.queue_credential, credential);
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_set_max_depth(int32_t level) noexcept {
  if (level < 1 || level > 4096) {
    kel_set_error("max depth must be 1..4096 (got %d)", level);
    return KELMCAT_ERR_ARG;
  }
  Guard g(g_st.lock);
  g_st.max_depth = level;
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_set_include_paths(const char *const *paths, int32_t count) noexcept {
  return set_list(&kelmcat_state::include_paths, paths, count);
}

KELMCAT_API int32_t kelmcat_set_exclude_paths(const char *const *paths, int32_t count) noexcept {
  return set_list(&kelmcat_state::exclude_paths, paths, count);
}

KELMCAT_API int32_t kelmcat_set_video_extensions(const char *const *extensions,
                                                 int32_t count) noexcept {
  return set_list(&kelmcat_state::video_extensions, extensions, count);
}

KELMCAT_API int32_t kelmcat_set_add_new_only(int32_t on) noexcept {
  return set_flag(&kelmcat_state::add_new_only, on);
}

KELMCAT_API int32_t kelmcat_set_correct_mode(int32_t on) noexcept {
  return set_flag(&kelmcat_state::correct_mode, on);
}

KELMCAT_API int32_t kelmcat_arm_writes(int32_t on) noexcept {
  return set_flag(&kelmcat_state::writes_armed, on);
}

KELMCAT_API int32_t kelmcat_set_walk_root(const char *root) noexcept {
  if (!root) {
    kel_set_error("null root");
    return KELMCAT_ERR_ARG;
  }
  if (std::strlen(root) > 511) {
    kel_set_error("walk root too long");
    return KELMCAT_ERR_ARG;
  }
  Guard g(g_st.lock);
  store_text(g_st.walk_root, root);
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_set_backend(const char *backend_id, const char *config_json) noexcept {
  if (!backend_id || !*backend_id) {
    kel_set_error("null backend id");
    return KELMCAT_ERR_ARG;
  }
  if (std::strlen(backend_id) >= sizeof g_st.backend_id) {
    kel_set_error("backend id too long");
    return KELMCAT_ERR_ARG;
  }
  if (!config_json) config_json = "{}";
  size_t clen = std::strlen(config_json);
  if (clen >= sizeof g_st.backend_config) {
    kel_set_error("backend config too long (%zu > %zu)", clen, sizeof g_st.backend_config - 1);
    return KELMCAT_ERR_ARG;
  }
  Guard g(g_st.lock);
  store_text(g_st.backend_id, backend_id);
  store_text(g_st.backend_config, config_json);
  return KELMCAT_OK;
}

}  // extern "C"
