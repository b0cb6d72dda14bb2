// Writing a user's correction of a file's IMDb id into the vault.
#include <cstring>
#include <string>

#include "core/core_internal.h"
#include "core/keys.h"

namespace {

// Writes the correction for the given user, or for the last scan's user when
// given_user is null (the scan keeps its user id whole, so the key built here
// is the one the scan reads).
int32_t write_correction(const char *given_user, const char *item_key, const char *imdb_id) {
  try {
    if (!item_key || !*item_key) {
      kel_set_error("null item key");
      return KELMCAT_ERR_ARG;
    }
    if (!imdb_id || !*imdb_id) {
      kel_set_error("null imdb id");
      return KELMCAT_ERR_ARG;
    }
    int32_t armed;
    {
      std::lock_guard<std::mutex> g(g_st.lock);
      armed = g_st.writes_armed;
    }
    if (!armed) {
      kel_set_error("%s", kel_errstr(KELMCAT_ERR_NOT_ARMED));
      return KELMCAT_ERR_NOT_ARMED;
    }
    char ckey[96];
    if (kelmcat_correction_key(item_key, ckey, sizeof ckey) != KELMCAT_OK) return KELMCAT_ERR_ARG;
    std::string user;
    if (given_user) {
      if (!*given_user) {
        kel_set_error("null user id");
        return KELMCAT_ERR_ARG;
      }
      if (kel_check_user_id_length(given_user) != KELMCAT_OK) return KELMCAT_ERR_ARG;
      user = given_user;
    } else {
      {
        std::lock_guard<std::mutex> g(g_st.lock);
        if (g_st.scan_user) user = g_st.scan_user;
      }
      if (user.empty()) {
        kel_set_error("no scan user \xE2\x80\x94 set_correction writes into a user's vault");
        return KELMCAT_ERR_ARG;
      }
    }
    char key[1200];
    // A cut key would drop the correction key's hash, so every file of this
    // user would share one vault entry: refuse rather than overwrite.
    if (kel_vault_prefixed_key(key, sizeof key, user.c_str(), ckey) >=
        static_cast<int>(sizeof key)) {
      kel_set_error("user id too long for a vault key");
      return KELMCAT_ERR_ARG;
    }
    int32_t (*set)(void *, const char *, const char *);
    void *ctx;
    {
      std::lock_guard<std::mutex> g(g_st.lock);
      set = g_st.vault.set;
      ctx = g_st.vault.ctx;
    }
    if (!set) {
      kel_set_error("no vault installed");
      return KELMCAT_ERR_NO_VAULT;
    }
    if (set(ctx, key, imdb_id) != 0) {
      kel_set_error("vault refused the correction write");
      return KELMCAT_ERR_VAULT;
    }
    kel_log("correction written %s -> %s", ckey, imdb_id);
    return KELMCAT_OK;
  } catch (const std::bad_alloc &) {
    kel_set_error("%s", kel_errstr(KELMCAT_ERR_OOM));
    return KELMCAT_ERR_OOM;
  }
}

}  // namespace

extern "C" {

KELMCAT_API int32_t kelmcat_set_correction(const char *item_key, const char *imdb_id) noexcept {
  return write_correction(nullptr, item_key, imdb_id);
}

KELMCAT_API int32_t kelmcat_set_correction_for(const char *user_id, const char *item_key,
                                               const char *imdb_id) noexcept {
  // A null user id is the caller's mistake here, not "the last scan's user".
  return write_correction(user_id ? user_id : "", item_key, imdb_id);
}

}  // extern "C"
