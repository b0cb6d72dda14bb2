// Categorization of one listed file: candidate test and key, the add-new-only
// and correct-mode filters, the IMDb id from a correction or the matching
// service, season and episode for series, and the vault record with its
// outcome, result and counters.
#include "scan/categorize.h"

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
#include "scan/lookahead.h"
#include "scan/mfile.h"
#include "scan/walk_context.h"

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

// One file's categorization: the entry, its key and vault keys, and the texts
// it owns, which are freed however it ends.
struct file_work {
  kel_walk *w;
  kel_counters *c;
  const kelffa_item *entry;
  const char *name;
  int64_t size;
  char key[kKeyBuf];
  char hash[16];
  char corr_vkey[kVaultKeyBuf];
  char matched_vkey[kVaultKeyBuf];
  mfile n{};               // the new record
  mfile s{};               // the stored record, once there is one to merge with
  char *stored = nullptr;  // from the vault's get (malloc'ed)
  char *json = nullptr;

  file_work(kel_walk *walk, const kelffa_item *item)
      : w(walk),
        c(walk->counters),
        entry(item),
        name(kelffa_item_name(item)),
        size(kelffa_item_size(item)) {}
  file_work(const file_work &) = delete;
  file_work &operator=(const file_work &) = delete;
  ~file_work() {
    mfile_free(&n);
    mfile_free(&s);
    std::free(stored);
    std::free(json);
  }
};

// Adds this file's result with the given id, outcome, season and episode.
void add_result(const file_work &f, const char *imdb_id, int32_t outcome, int32_t season,
                int32_t episode) {
  kel_walk_add_result(f.w, f.key, f.name, imdb_id, outcome, season, episode);
}

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
  static constexpr std::string_view names[] = {
      "Key", "Size", "IMDbID", "Season", "Episode", "RuntimeConfigID", "RequiredVerify"};
  kj::Val v[7];
  root.get_many(names, 7, v);
  kj::Val stored_key = v[0];
  if (stored_key.is_str() && stored_key.str() != std::string_view(key)) {
    out->other_key = true;
    out->key.assign(stored_key.str());
    return;
  }
  out->current = same_int(v[1], m.size) && same_str(v[2], m.imdb_id) && same_int(v[3], m.season) &&
                 same_int(v[4], m.episode) && same_str(v[5], m.runtime_config_id) &&
                 same_bool(v[6], m.required_verify);
}

// A step's answer when the categorization goes on with the next step; any
// other answer (0 or a negative code) is what the categorization returns.
constexpr int32_t kGoOn = 1;

// Its candidate test, cleaned path and path filter, and its identity key (the
// backend's id, else cleaned path and size; cut without splitting a character).
int32_t file_key(file_work &f, const char *listing_path) {
  kel_walk *w = f.w;
  if (!kel_is_candidate(f.entry)) return 0;
  kel_buf *fp = &w->file_path;
  if (kel_buf_add(fp, nullptr, 0) != 0 || kel_buf_adds(fp, listing_path) != 0)
    return KELMCAT_ERR_OOM;
  size_t lp_len = fp->len;
  if (lp_len > 0 && fp->data[lp_len - 1] != '/' && kel_buf_add(fp, "/", 1) != 0)
    return KELMCAT_ERR_OOM;
  if (kel_buf_add(fp, f.name, std::strlen(f.name)) != 0) return KELMCAT_ERR_OOM;
  if (kel_clean_path(fp->data, &w->clean_path) != 0) return KELMCAT_ERR_OOM;
  const char *clean = w->clean_path.data;
  if (!kel_path_included(clean, 0)) return 0;

  const char *bid = kelffa_item_backend_id(f.entry);
  kel_cat key(f.key, sizeof f.key);
  if (kelffa_item_has(f.entry, F_ID) && bid && *bid) {
    key.add(bid);
  } else {
    key.add(clean);
    key.add("_", 1);
    key.add_int(f.size);
  }
  key.end_utf8();
  return kGoOn;
}

// Counts the file as considered, then the add-new-only and correct-mode
// filters; leaves the key's hash text in f.hash.
int32_t mode_filters(file_work &f) {
  f.c->considered++;
  if (read_flag(&kelmcat_state::add_new_only) && kel_indexed_has(f.key)) return 0;
  char digits[24];
  size_t n = kel_int_text(kelmcat_stable_hash_utf8(f.key), digits);
  std::memcpy(f.hash, digits, n);  // a 32-bit value: at most 11 bytes
  f.hash[n] = '\0';
  if (read_flag(&kelmcat_state::correct_mode) && !kel_walk_has_correction_id(f.w, f.hash)) return 0;
  return kGoOn;
}

// The new record and the file's two vault keys.
void start_record(file_work &f) {
  char ext[KEL_EXT_BUF];
  int has_ext = kel_file_extension(f.name, ext);
  // A record missing one of its texts would be stored without that member.
  if (!mfile_init_new(&f.n, f.name, has_ext ? ext : nullptr, f.w->runtime_config_id, f.size))
    throw std::bad_alloc();
  // "<namespace>_<user>_<prefix><hash>"; a bounded user id always fits.
  const char *user = f.w->user ? f.w->user : "";
  for (int k = 0; k < 2; ++k) {
    kel_cat c(k == 0 ? f.corr_vkey : f.matched_vkey, kVaultKeyBuf);
    c.add(KEL_VAULT_NAMESPACE "_", sizeof KEL_VAULT_NAMESPACE);
    c.add(user);
    c.add("_", 1);
    if (k == 0)
      c.add(KEL_CORRECT_PREFIX, sizeof KEL_CORRECT_PREFIX - 1);
    else
      c.add(KEL_MATCHED_PREFIX, sizeof KEL_MATCHED_PREFIX - 1);
    c.add(f.hash);
    c.end();
  }
}

// The id of a stored correction (the vault first), then of the loaded
// corrections. True when one was found; a corrected id needs no verification.
bool id_from_correction(file_work &f) {
  bool corrected = false;
  vault_view v = read_vault();
  if (v.have && v.get) {
    char *val = nullptr;
    int32_t answer;
    // Read ahead already when the look-ahead got to this file first.
    if (!kel_lookahead_correction(f.w, f.corr_vkey, &answer, &val))
      answer = v.get(v.ctx, f.corr_vkey, &val);
    if (answer == 0 && val && *val) {
      f.n.imdb_id = kel_strdup(val);
      corrected = true;
    }
    std::free(val);
  }
  if (!corrected) {
    const char *loaded = kel_corrections_get(f.hash);
    if (loaded && *loaded) {
      f.n.imdb_id = kel_strdup(loaded);
      corrected = true;
    }
  }
  if (corrected) f.n.required_verify = 0;
  return corrected;
}

// The name the matching service is asked for: the backend's title and year
// when it reports both, else the listed name.
void lookup_name(const file_work &f, char (&out)[1024]) {
  const char *title = kelffa_item_title(f.entry);
  int32_t year = kelffa_item_year(f.entry);
  kel_cat c(out, sizeof out);
  if (kel_item_has_metadata(f.entry) && title && *title && kelffa_item_has(f.entry, F_YEAR) &&
      year > 0) {
    c.add(title);
    c.add(" ", 1);
    c.add_int(year);
  } else {
    c.add(f.name);
  }
  c.end_utf8();
}

// Season and episode from the name, for a series.
void season_episode(file_work &f) {
  int32_t season = -1, episode = -1;
  if (kel_parse_season_episode(f.name, &season, &episode)) {
    f.n.season = season;
    f.n.episode = episode;
  }
}

// The id from the matching service, then the movie check unless the service
// said it is a series, and season and episode for a series.
int32_t id_from_matcher(file_work &f) {
  char lookup[1024];
  lookup_name(f, lookup);
  int32_t is_tv = -1;
  char *id = nullptr;
  int32_t r = kel_match_file(lookup, &is_tv, &id);
  f.c->matcher_calls++;
  if (r == KELMCAT_ERR_NO_MATCH) {
    std::free(id);
    f.c->unmatched++;
    add_result(f, nullptr, KELMCAT_OUTCOME_UNMATCHED, -1, -1);
    return 0;
  }
  // A request given up for a cancel is no fault of this file: no result.
  if (r == KELMCAT_ERR_CANCELLED) return r;
  if (r != 0) {
    std::free(id);
    f.c->errors++;
    add_result(f, nullptr, KELMCAT_OUTCOME_ERROR, -1, -1);
    return r;
  }
  f.c->matched++;
  f.n.imdb_id = id;
  bool series = is_tv == 1;
  if (!series) {
    int32_t movie = 1;
    r = kel_is_movie(f.n.imdb_id, &movie);
    f.c->matcher_calls++;
    if (r == KELMCAT_ERR_CANCELLED) return r;
    if (r != 0) {
      f.c->errors++;
      add_result(f, f.n.imdb_id, KELMCAT_OUTCOME_ERROR, -1, -1);
      return r;
    }
    series = movie == 0;
  }
  if (series) season_episode(f);
  return kGoOn;
}

int32_t pick_imdb_id(file_work &f) {
  if (!id_from_correction(f)) return id_from_matcher(f);
  // A corrected file whose id could not be copied would be recorded without it.
  if (!f.n.imdb_id) {
    f.c->errors++;
    add_result(f, nullptr, KELMCAT_OUTCOME_ERROR, -1, -1);
    return 0;
  }
  return kGoOn;
}

// Writes a record text under the matched-id key; true when it was written.
// The vault is looked up again for the write: the table read for the get may
// have been replaced since.
bool write_record(const file_work &f) {
  vault_view v = read_vault();
  return f.json && v.set && v.set(v.ctx, f.matched_vkey, f.json) == 0;
}

// A file the vault holds no record for.
int32_t add_record(file_work &f) {
  const mfile &n = f.n;
  f.json = mfile_json(&n, f.key);
  if (write_record(f)) {
    f.c->added++;
    f.c->vault_writes++;
    add_result(f, n.imdb_id, KELMCAT_OUTCOME_ADDED, n.season, n.episode);
  } else {
    // Nothing of this file is in the vault, so the failure is its result.
    f.c->errors++;
    add_result(f, n.imdb_id, KELMCAT_OUTCOME_ERROR, n.season, n.episode);
  }
  return 0;
}

// A file with a stored record: merged with the new one and rewritten unless it
// is current. One written for another identity key (its vault key collides
// with this file's) is left alone.
int32_t refresh_record(file_work &f) {
  mfile &s = f.s;
  kj::Doc stored_doc;
  stored_doc.parse(f.stored, std::strlen(f.stored));
  // A merged record missing a text that could not be copied would overwrite
  // the stored one without it: that is a rewrite that failed.
  bool whole = mfile_read_stored_root(&s, stored_doc.root());
  if (!mfile_merge(&s, &f.n, f.w->runtime_config_id) || !whole) {
    f.c->errors++;
    return 0;
  }
  stored_view sv;
  inspect_stored(stored_doc.root(), f.key, s, &sv);
  if (sv.other_key) {
    f.c->errors++;
    add_result(f, f.n.imdb_id, KELMCAT_OUTCOME_ERROR, f.n.season, f.n.episode);
    kel_add_warning("vault key collision: %.*s and %.*s", kel_cutw(f.key, 200), f.key,
                    kel_cutw(sv.key.c_str(), 200), sv.key.c_str());
    return 0;
  }
  if (sv.current) {
    f.c->unchanged++;
    add_result(f, s.imdb_id, KELMCAT_OUTCOME_UNCHANGED, s.season, s.episode);
    return 0;
  }
  f.json = mfile_json(&s, f.key);
  if (write_record(f)) {
    f.c->updated++;
    f.c->vault_writes++;
    add_result(f, s.imdb_id, KELMCAT_OUTCOME_UPDATED, s.season, s.episode);
  } else {
    // Counted but no result: the stored record still stands for the file,
    // unlike a failed first write, which leaves nothing behind.
    f.c->errors++;
  }
  return 0;
}

// With writes still armed: reads the stored record and adds or refreshes it.
int32_t store_record(file_work &f) {
  if (!read_flag(&kelmcat_state::writes_armed)) {
    kel_set_error("writes are not armed (call kelmcat_arm_writes(1))");
    return KELMCAT_ERR_NOT_ARMED;
  }
  vault_view v = read_vault();
  int32_t answer = -1;
  if (v.have && v.get) answer = v.get(v.ctx, f.matched_vkey, &f.stored);
  if (!v.have || !v.get || answer < 0) {
    f.c->errors++;
    add_result(f, f.n.imdb_id, KELMCAT_OUTCOME_ERROR, f.n.season, f.n.episode);
    return KELMCAT_ERR_VAULT;
  }
  if (answer > 0 || !f.stored || !*f.stored) return add_record(f);
  return refresh_record(f);
}

int32_t categorize(kel_walk *w, const kelffa_item *entry, const char *listing_path) {
  file_work f(w, entry);
  int32_t r = file_key(f, listing_path);
  if (r == kGoOn) r = mode_filters(f);
  if (r != kGoOn) return r;
  start_record(f);
  r = pick_imdb_id(f);
  if (r != kGoOn) return r;
  return store_record(f);
}

}  // namespace

int32_t kel_categorize_file(kel_walk *w, const kelffa_item *entry, const char *listing_path) {
  try {
    return categorize(w, entry, listing_path);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}
