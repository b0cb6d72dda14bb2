// The scan-complete notification: one GET on the catalogue's SendMessageQueue
// endpoint carrying {"UserId":...,"Payload":...} and the queue credential.
#include "match/notify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/json.h"
#include "match/http.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// The message value as compact JSON, or null (no memory, or an id that is not
// valid UTF-8).
char *message_json(const char *user_id, const char *runtime_id) {
  try {
    kj::Writer w;
    w.start_obj();
    w.key("UserId");
    w.str(user_id ? user_id : "");
    w.key("Payload");
    w.str(runtime_id ? runtime_id : "");
    w.end_obj();
    if (!w.ok()) return nullptr;
    return kel_strndup(w.text().data(), w.text().size());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

// A heap copy of the stored credential (null when memory runs out).
char *credential_copy() {
  Guard g(g_st.lock);
  return kel_strdup(g_st.queue_credential);
}

}  // namespace

int32_t kel_notify_scan_complete(const char *user_id, const char *runtime_id) {
  bool have_credential;
  {
    Guard g(g_st.lock);
    have_credential = g_st.queue_credential[0] != '\0';
  }
  if (!have_credential) {
    kel_set_error("no queue credential \xE2\x80\x94 call kelmcat_set_queue_credential()");
    return KELMCAT_ERR_ARG;
  }

  char *json = message_json(user_id, runtime_id);
  if (!json) return KELMCAT_ERR_OOM;
  char *value = kel_query_escape(json);
  std::free(json);
  char *credential = credential_copy();
  // The credential is a query value like any other: escaped, so that "&" or
  // "=" in it cannot change the shape of the query.
  char *password = kel_query_escape(credential);
  std::free(credential);
  if (!value || !password) {
    std::free(value);
    std::free(password);
    return KELMCAT_ERR_OOM;
  }

  char base[KEL_BASE_SIZE];
  kel_catalogue_base(base);
  char url[1024];
  int n = std::snprintf(
      url, sizeof url, "%s/api/AAA/SendMessageQueue?queue=mediaindexcompleted&value=%s&password=%s",
      base, value, password);
  std::free(value);
  std::free(password);
  // A cut URL would send a cut credential (or none) to the queue.
  if (n < 0 || static_cast<size_t>(n) >= sizeof url) {
    kel_set_error("scan-complete notification too long: ids and credential exceed the URL buffer");
    return KELMCAT_ERR_ARG;
  }

  kel_buf scratch{};
  int32_t rc = kel_http_get(url, &scratch);
  kel_buf_free(&scratch);
  return rc;
}

extern "C" KELMCAT_API int32_t
kelmcat_notify_scan_complete(const char *user_id, const char *runtime_config_id) noexcept {
  try {
    if (!user_id || !*user_id || !runtime_config_id || !*runtime_config_id) {
      kel_set_error("null user/config id");
      return KELMCAT_ERR_ARG;
    }
    bool armed;
    {
      Guard g(g_st.lock);
      armed = g_st.writes_armed != 0;
    }
    if (!armed) {
      kel_set_error("writes are not armed (call kelmcat_arm_writes(1))");
      return KELMCAT_ERR_NOT_ARMED;
    }
    return kel_notify_scan_complete(user_id, runtime_config_id);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}
