// Installation of the host's IO and vault tables.
#include <mutex>

#include "match/http.h"

extern "C" {

KELMCAT_API void kelmcat_set_io(const kelmcat_io *table) noexcept {
  std::lock_guard<std::mutex> g(g_st.lock);
  g_st.io = table;
  if (table) g_st.io_kind = KEL_IO_HOST;
  kel_request_config_changed_locked();
}

KELMCAT_API int32_t kelmcat_use_curl(void) noexcept {
#ifdef KELMCAT_NO_CURL
  // Built with KELMCAT_NO_CURL: there is no built-in HTTP client to select.
  kel_set_error("this build has no libcurl backend (KELMCAT_NO_CURL)");
  return KELMCAT_ERR_NO_IO;
#else
  if (!kel_curl_init()) return KELMCAT_ERR_NO_IO;
  std::lock_guard<std::mutex> g(g_st.lock);
  g_st.io_kind = KEL_IO_CURL;
  kel_request_config_changed_locked();
  return KELMCAT_OK;
#endif
}

KELMCAT_API int32_t kelmcat_set_vault(const kelmcat_vault *table) noexcept {
  if (!table) {
    kel_set_error("null vault");
    return KELMCAT_ERR_ARG;
  }
  if (!table->get || !table->set || !table->search_keys) {
    kel_set_error("vault vtable incomplete (get/set/search_keys all required)");
    return KELMCAT_ERR_ARG;
  }
  std::lock_guard<std::mutex> g(g_st.lock);
  g_st.vault = *table;
  g_st.have_vault = 1;
  return KELMCAT_OK;
}

}  // extern "C"

void kel_select_fake_io(void) {
  std::lock_guard<std::mutex> g(g_st.lock);
  g_st.io_kind = KEL_IO_FAKE;
  kel_request_config_changed_locked();
}
