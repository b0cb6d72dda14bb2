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
#include "scan/identity.h"
#include "scan/lookahead.h"
#include "scan/mfile.h"
#include "scan/walk_context.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// One file's categorization: the entry, its key and vault keys, and the texts
// it owns, which are freed however it ends.
struct file_work {
  kel_walk *w;
  kel_counters *c;
  kel_file_id id;
  char corr_vkey[kKelVaultKeyBuf];
  char matched_vkey[kKelVaultKeyBuf];
  mfile n{};               // the new record
  mfile s{};               // the stored record, once there is one to merge with
  char *stored = nullptr;  // from the vault's get (malloc'ed)
  char *json = nullptr;

  explicit file_work(kel_walk *walk) : w(walk), c(walk->counters) {}
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
  kel_walk_add_result(f.w, f.id.key, f.id.name, imdb_id, outcome, season, episode);
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

// The new record and the file's two vault keys.
void start_record(file_work &f) {
  const kel_file_id &id = f.id;
  // A record missing one of its texts would be stored without that member.
  if (!mfile_init_new(&f.n, id.name, id.ext[0] ? id.ext : nullptr, f.w->runtime_config_id, id.size))
    throw std::bad_alloc();
  kel_file_vault_key(f.w, KEL_CORRECT_PREFIX, id.hash, f.corr_vkey);
  kel_file_vault_key(f.w, KEL_MATCHED_PREFIX, id.hash, f.matched_vkey);
}

// The id of a stored correction (the vault first), then of the loaded
// corrections. True when one was found; a corrected id needs no verification.
bool id_from_correction(file_work &f) {
  bool corrected = false;
  const kel_vault_view &v = f.id.vault;
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
    const char *loaded = kel_corrections_get(f.id.hash);
    if (loaded && *loaded) {
      f.n.imdb_id = kel_strdup(loaded);
      corrected = true;
    }
  }
  if (corrected) f.n.required_verify = 0;
  return corrected;
}

// Season and episode from the name, for a series.
void season_episode(file_work &f) {
  int32_t season = -1, episode = -1;
  if (kel_parse_season_episode(f.id.name, &season, &episode)) {
    f.n.season = season;
    f.n.episode = episode;
  }
}

// The id from the matching service, then the movie check unless the service
// said it is a series, and season and episode for a series.
int32_t id_from_matcher(file_work &f) {
  char lookup[kKelLookupNameBuf];
  kel_file_lookup_name(f.id, lookup);
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
  kel_vault_view v = kel_read_vault();
  return f.json && v.set && v.set(v.ctx, f.matched_vkey, f.json) == 0;
}

// A file the vault holds no record for.
int32_t add_record(file_work &f) {
  const mfile &n = f.n;
  f.json = mfile_json(&n, f.id.key);
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
  inspect_stored(stored_doc.root(), f.id.key, s, &sv);
  if (sv.other_key) {
    f.c->errors++;
    add_result(f, f.n.imdb_id, KELMCAT_OUTCOME_ERROR, f.n.season, f.n.episode);
    kel_add_warning("vault key collision: %.*s and %.*s", kel_cutw(f.id.key, 200), f.id.key,
                    kel_cutw(sv.key.c_str(), 200), sv.key.c_str());
    return 0;
  }
  if (sv.current) {
    f.c->unchanged++;
    add_result(f, s.imdb_id, KELMCAT_OUTCOME_UNCHANGED, s.season, s.episode);
    return 0;
  }
  f.json = mfile_json(&s, f.id.key);
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
  bool armed;
  kel_vault_view v;
  {
    Guard g(g_st.lock);
    armed = g_st.writes_armed != 0;
    v = kel_read_vault_locked();
  }
  if (!armed) {
    kel_set_error("writes are not armed (call kelmcat_arm_writes(1))");
    return KELMCAT_ERR_NOT_ARMED;
  }
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
  file_work f(w);
  int32_t r = kel_file_identify(entry, listing_path, &w->file_paths, &f.id);
  if (r != kGoOn) return r;
  // Counted as considered before the add-new-only and correct-mode filters.
  f.c->considered++;
  if (!kel_file_passes_modes(w, &f.id)) return 0;
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
