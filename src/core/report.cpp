// Result codes, the last error, warnings, the log hook and their accessors.
#include <cstdlib>
#include <cstring>

#include "core/core_internal.h"
#include "core/grow.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

void store_error(const char *msg) {
  std::free(g_st.last_error);
  g_st.last_error = kel_strdup(msg);
}

}  // namespace

const char *kel_errstr(int code) {
  switch (code) {
    case KELMCAT_OK:
      return "OK";
    case KELMCAT_ERR_TRANSPORT:
      return "transport failure";
    case KELMCAT_ERR_HTTP:
      return "HTTP error";
    case KELMCAT_ERR_MATCHER_DOWN:
      return "matcher unavailable (500-class) \xE2\x80\x94 scan halted, NOT unmatched";
    case KELMCAT_ERR_NO_MATCH:
      return "no IMDb match for this name";
    case KELMCAT_ERR_VAULT:
      return "vault backend failure";
    case KELMCAT_ERR_DEPTH:
      return "folder walk exceeded max depth";
    case KELMCAT_ERR_CYCLE:
      return "cycle detected in folder graph";
    case KELMCAT_ERR_CANCELLED:
      return "scan cancelled";
    case KELMCAT_ERR_NOT_ARMED:
      return "writes are not armed (call kelmcat_arm_writes(1))";
    case KELMCAT_ERR_NO_IO:
      return "no IO backend installed";
    case KELMCAT_ERR_NO_STORAGE:
      return "no storage backend installed";
    case KELMCAT_ERR_NO_VAULT:
      return "no metadata vault installed";
    case KELMCAT_ERR_ARG:
      return "invalid argument";
    case KELMCAT_ERR_OOM:
      return "out of memory";
    default:
      return "unknown error";
  }
}

void kel_set_error(const char *fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  kel_vformat(msg, sizeof msg, fmt, ap);
  va_end(ap);
  Guard g(g_st.lock);
  store_error(msg);
}

void kel_set_error_locked(const char *fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  kel_vformat(msg, sizeof msg, fmt, ap);
  va_end(ap);
  store_error(msg);
}

void kel_add_warning(const char *fmt, ...) {
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  kel_vformat(msg, sizeof msg, fmt, ap);
  va_end(ap);
  Guard g(g_st.lock);
  // The capacity stops doubling at 2^30, the last doubling an int32_t holds.
  if (!kel_grow(g_st.warnings, g_st.warning_count, g_st.warning_cap, 8, INT32_MAX / 2 + 1)) return;
  char *copy = kel_strdup(msg);
  if (!copy) return;
  g_st.warnings[g_st.warning_count++] = copy;
}

void kel_log(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  kel_vformat(line, sizeof line, fmt, ap);
  va_end(ap);
  kelmcat_log_fn fn;
  void *user;
  {
    Guard g(g_st.lock);
    fn = g_st.log_fn;
    user = g_st.log_user;
  }
  if (fn) fn(line, user);
}

extern "C" {

KELMCAT_API int32_t kelmcat_last_code(void) noexcept {
  Guard g(g_st.lock);
  return g_st.last_code;
}

KELMCAT_API const char *kelmcat_last_error(void) noexcept {
  Guard g(g_st.lock);
  return g_st.last_error ? g_st.last_error : kel_empty;
}

KELMCAT_API int32_t kelmcat_last_http_code(void) noexcept {
  Guard g(g_st.lock);
  return g_st.last_http_code;
}

KELMCAT_API int32_t kelmcat_warning_count(void) noexcept {
  Guard g(g_st.lock);
  return g_st.warning_count;
}

KELMCAT_API const char *kelmcat_warning(int32_t index) noexcept {
  Guard g(g_st.lock);
  if (index < 0 || index >= g_st.warning_count) return kel_empty;
  return g_st.warnings[index];
}

}  // extern "C"
