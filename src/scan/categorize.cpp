// Categorization of one listed file: candidate test and key, the add-new-only
// and correct-mode filters, the IMDb id from a correction or the matching
// service, season and episode for series, and the vault record with its
// outcome, result and counters.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "core/json.h"
#include "core/keys.h"
#include "match/matcher.h"
#include "match/season_episode.h"
#include "scan/filters.h"
#include "scan/mfile.h"
#include "scan/walk.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr size_t kKeyBuf = 4128;
constexpr size_t kVaultKeyBuf = 1200;

struct vault_view {
  bool have = false;
  void *ctx = nullptr;
  int32_t (*get)(void *, const char *, char **) = nullptr;
  int32_t (*set)(void *, const char *, const char *) = nullptr;
};

vault_view read_vault() {
  vault_view v;
  Guard g(g_st.lock);
  v.have = g_st.have_vault != 0;
  if (v.have) {
    v.ctx = g_st.vault.ctx;
    v.get = g_st.vault.get;
    v.set = g_st.vault.set;
  }
  return v;
}

int32_t read_flag(int32_t kelmcat_state::*field) {
  Guard g(g_st.lock);
  return g_st.*field;
}

void add_result(const char *key, const char *name, const char *imdb_id, int32_t outcome,
                int32_t season, int32_t episode) {
  kel_result r{};
  r.key = const_cast<char *>(key);
  r.path = const_cast<char *>(name);
  r.imdb_id = const_cast<char *>(imdb_id ? imdb_id : "");
  r.outcome = outcome;
  r.season = season;
  r.episode = episode;
  kel_result_add(&r);  // a result that cannot be stored is dropped; the counters still count it
}

// Owns the texts of one file's categorization, so that every return frees them.
struct file_work {
  mfile n{};
  mfile s{};
  char *stored = nullptr;  // from the vault's get (malloc'ed)
  char *json = nullptr;
  ~file_work() {
    mfile_free(&n);
    mfile_free(&s);
    std::free(stored);
    std::free(json);
  }
};

// What the stored text says about this file: whether it was written for
// another identity key (and which), and whether it is current.
struct stored_view {
  bool other_key = false;
  std::string key;  // the other identity key
  bool current = false;
};

// True when a member of the stored object is what writing the merged record
// would put there: both absent, or the same type and value.
bool same_int(kj::Val v, int64_t merged) {
  if (merged < 0) return !v.valid();
  return v.is_sint() && v.get_sint() == merged;
}

bool same_str(kj::Val v, const char *merged) {
  if (!merged) return !v.valid();
  return v.is_str() && v.str() == std::string_view(merged);
}

bool same_bool(kj::Val v, int32_t merged) {
  if (merged < 0) return !v.valid();
  return v.is_bool() && v.get_bool() == (merged == 1);
}

// Compares the stored "Key" with this file's key and decides whether writing
// the merged record m would leave the vault's size, IMDb id, season, episode,
// runtime configuration id and verification flag as they are. A text that is
// not a JSON object holds none of them, so it is never current (the merged
// record always carries a runtime configuration id).
void inspect_stored(kj::Val root, const char *key, const mfile &m, stored_view *out) {
  if (!root.is_obj()) return;
  kj::Val stored_key = root.get("Key");
  if (stored_key.is_str() && stored_key.str() != std::string_view(key)) {
    out->other_key = true;
    out->key.assign(stored_key.str());
    return;
  }
  out->current = same_int(root.get("Size"), m.size) && same_str(root.get("IMDbID"), m.imdb_id) &&
                 same_int(root.get("Season"), m.season) &&
                 same_int(root.get("Episode"), m.episode) &&
                 same_str(root.get("RuntimeConfigID"), m.runtime_config_id) &&
                 same_bool(root.get("RequiredVerify"), m.required_verify);
}

int32_t categorize(kel_walk *w, const kelffa_item *entry, const char *listing_path) {
  kel_counters *c = w->counters;

  // 1-2: name, size, metadata, extension; the candidate rule.
  const char *name = kelffa_item_name(entry);
  int64_t size = kelffa_item_size(entry);
  char ext[KEL_EXT_BUF];
  int has_ext = kel_file_extension(name, ext);
  if (!kel_is_candidate(entry)) return 0;

  // 3-4: the file's cleaned path and the path filter.
  kel_buf *fp = &w->file_path;
  if (kel_buf_add(fp, nullptr, 0) != 0 || kel_buf_adds(fp, listing_path) != 0)
    return KELMCAT_ERR_OOM;
  size_t lp_len = fp->len;
  if (lp_len > 0 && fp->data[lp_len - 1] != '/' && kel_buf_add(fp, "/", 1) != 0)
    return KELMCAT_ERR_OOM;
  if (kel_buf_add(fp, name, std::strlen(name)) != 0) return KELMCAT_ERR_OOM;
  if (kel_clean_path(fp->data, &w->clean_path) != 0) return KELMCAT_ERR_OOM;
  const char *clean = w->clean_path.data;
  if (!kel_path_included(clean, 0)) return 0;

  // 5: the identity key (cut without splitting a character).
  char key[kKeyBuf];
  const char *bid = kelffa_item_backend_id(entry);
  if (kelffa_item_has(entry, F_ID) && bid && *bid)
    kel_format(key, sizeof key, "%s", bid);
  else
    kel_format(key, sizeof key, "%s_%" PRId64, clean, size);

  // 6-8: counted as considered; the two modes' filters.
  c->considered++;
  if (read_flag(&kelmcat_state::add_new_only) && kel_indexed_has(key)) return 0;
  char hash[16];
  std::snprintf(hash, sizeof hash, "%d", kelmcat_stable_hash_utf8(key));
  if (read_flag(&kelmcat_state::correct_mode) && !kel_walk_has_correction_id(w, hash)) return 0;

  // 9: the new record and the vault keys.
  file_work fw;
  mfile &n = fw.n;
  mfile_init_new(&n, name, has_ext ? ext : nullptr, w->runtime_config_id, size);
  char corr_key[96], matched_key[96];
  std::snprintf(corr_key, sizeof corr_key, KEL_CORRECT_PREFIX "%s", hash);
  std::snprintf(matched_key, sizeof matched_key, KEL_MATCHED_PREFIX "%s", hash);
  char corr_vkey[kVaultKeyBuf], matched_vkey[kVaultKeyBuf];
  kel_vault_prefixed_key(corr_vkey, sizeof corr_vkey, w->user, corr_key);
  kel_vault_prefixed_key(matched_vkey, sizeof matched_vkey, w->user, matched_key);

  // 10: a stored correction (vault first), then the loaded corrections.
  bool corrected = false;
  {
    vault_view v = read_vault();
    if (v.have && v.get) {
      char *val = nullptr;
      int32_t g = v.get(v.ctx, corr_vkey, &val);
      if (g == 0 && val && *val) {
        n.imdb_id = kel_strdup(val);
        corrected = true;
      }
      std::free(val);
    }
    if (!corrected) {
      const char *loaded = kel_corrections_get(hash);
      if (loaded && *loaded) {
        n.imdb_id = kel_strdup(loaded);
        corrected = true;
      }
    }
    if (corrected) n.required_verify = 0;
  }

  // 11: the matching service.
  if (!corrected) {
    char lookup[1024];
    const char *title = kelffa_item_title(entry);
    int32_t year = kelffa_item_year(entry);
    if (kel_item_has_metadata(entry) && title && *title && kelffa_item_has(entry, F_YEAR) &&
        year > 0)
      kel_format(lookup, sizeof lookup, "%s %d", title, year);
    else
      kel_format(lookup, sizeof lookup, "%s", name);

    int32_t is_tv = -1;
    char *id = nullptr;
    int32_t r = kel_match_file(lookup, &is_tv, &id);
    c->matcher_calls++;
    if (r == KELMCAT_ERR_NO_MATCH) {
      std::free(id);
      c->unmatched++;
      add_result(key, name, nullptr, KELMCAT_OUTCOME_UNMATCHED, -1, -1);
      return 0;
    }
    if (r != 0) {
      std::free(id);
      c->errors++;
      add_result(key, name, nullptr, KELMCAT_OUTCOME_ERROR, -1, -1);
      return r;
    }
    c->matched++;
    n.imdb_id = id;

    bool series = is_tv == 1;
    if (!series) {
      int32_t movie = 1;
      r = kel_is_movie(n.imdb_id, &movie);
      c->matcher_calls++;
      if (r != 0) {
        c->errors++;
        add_result(key, name, n.imdb_id, KELMCAT_OUTCOME_ERROR, -1, -1);
        return r;
      }
      series = movie == 0;
    }
    if (series) {
      int32_t season = -1, episode = -1;
      if (kel_parse_season_episode(name, &season, &episode)) {
        n.season = season;
        n.episode = episode;
      }
    }
  }

  // 12: writes must still be armed.
  if (!read_flag(&kelmcat_state::writes_armed)) {
    kel_set_error("writes are not armed (call kelmcat_arm_writes(1))");
    return KELMCAT_ERR_NOT_ARMED;
  }

  // 13: read the stored record.
  vault_view v = read_vault();
  int32_t g = -1;
  if (v.have && v.get) g = v.get(v.ctx, matched_vkey, &fw.stored);
  if (!v.have || !v.get || g < 0) {
    c->errors++;
    add_result(key, name, n.imdb_id, KELMCAT_OUTCOME_ERROR, n.season, n.episode);
    return KELMCAT_ERR_VAULT;
  }

  if (g > 0 || !fw.stored || !*fw.stored) {
    // 13.2: a new record. The vault is looked up again for the write: the
    // table read for the get may have been replaced since.
    fw.json = mfile_json(&n, key);
    v = read_vault();
    if (fw.json && v.set && v.set(v.ctx, matched_vkey, fw.json) == 0) {
      c->added++;
      c->vault_writes++;
      add_result(key, name, n.imdb_id, KELMCAT_OUTCOME_ADDED, n.season, n.episode);
    } else {
      c->errors++;
      add_result(key, name, n.imdb_id, KELMCAT_OUTCOME_ERROR, n.season, n.episode);
    }
    return 0;
  }

  // 13.3: a stored record. One written for another identity key (its vault key
  // collides with this file's) is left alone.
  mfile &s = fw.s;
  kj::Doc stored_doc;
  stored_doc.parse(fw.stored, std::strlen(fw.stored));
  mfile_read_stored_root(&s, stored_doc.root());
  mfile_merge(&s, &n, w->runtime_config_id);
  stored_view sv;
  inspect_stored(stored_doc.root(), key, s, &sv);
  if (sv.other_key) {
    c->errors++;
    add_result(key, name, n.imdb_id, KELMCAT_OUTCOME_ERROR, n.season, n.episode);
    kel_add_warning("vault key collision: %.*s and %.*s", kel_cutw(key, 200), key,
                    kel_cutw(sv.key.c_str(), 200), sv.key.c_str());
    return 0;
  }
  if (sv.current) {
    c->unchanged++;
    add_result(key, name, s.imdb_id, KELMCAT_OUTCOME_UNCHANGED, s.season, s.episode);
    return 0;
  }
  fw.json = mfile_json(&s, key);
  v = read_vault();
  if (fw.json && v.set && v.set(v.ctx, matched_vkey, fw.json) == 0) {
    c->updated++;
    c->vault_writes++;
    add_result(key, name, s.imdb_id, KELMCAT_OUTCOME_UPDATED, s.season, s.episode);
  } else {
    c->errors++;
  }
  return 0;
}

}  // namespace

int32_t kel_categorize_file(kel_walk *w, const kelffa_item *entry, const char *listing_path) {
  try {
    return categorize(w, entry, listing_path);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}
