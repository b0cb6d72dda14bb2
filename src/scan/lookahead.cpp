// The walk's look-ahead over a folder's listing. For each entry ahead it
// makes the decisions the categorization will make before its lookup (the
// candidate rule, the path filter, the key, the add-new-only set, correct
// mode, the correction), with the same reads of the configuration, and asks
// for the lookup of every file that no correction settles. Entries are
// looked at by index, so a page fetched meanwhile (which moves the entry
// records) does not matter.
#include "scan/lookahead.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/keys.h"
#include "core/path.h"
#include "match/ahead.h"
#include "match/http.h"
#include "match/matcher.h"
#include "scan/filters.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// A correction read ahead for the entry at index.
struct prepared {
  int32_t index;
  char *vault_key;
  int32_t answer;
  char *value;
};

// Entries looked at beyond the one being categorized, besides the window of
// files with requests: bounds what is read ahead for files that need none.
constexpr int32_t kExtraAhead = 64;

}  // namespace

struct kel_lookahead {
  prepared *ring = nullptr;  // corrections read ahead, in index order
  size_t cap = 0;
  size_t first = 0;
  size_t count = 0;
  int32_t reach = 0;     // entries looked at beyond the current one, at most
  int32_t current = -1;  // index being categorized
  int32_t next = 0;      // next index to look at
  kel_buf path{};
  kel_buf clean{};
};

namespace {

void pop_front(kel_lookahead *la) {
  prepared &p = la->ring[la->first];
  std::free(p.vault_key);
  std::free(p.value);
  la->first = (la->first + 1) % la->cap;
  la->count--;
}

void forget(kel_lookahead *la) {
  while (la->count > 0) pop_front(la);
  la->first = 0;
  la->current = -1;
  la->next = 0;
}

bool read_flag(int32_t kelmcat_state::*field) {
  Guard g(g_st.lock);
  return g_st.*field != 0;
}

// Keeps what the vault answered for the entry; a value that cannot be kept is
// freed, and the categorization then reads the key itself.
void keep(kel_lookahead *la, int32_t index, const char *vault_key, int32_t answer, char *value) {
  char *key = la->count < la->cap ? kel_strdup(vault_key) : nullptr;
  if (!key) {
    std::free(value);
    return;
  }
  la->ring[(la->first + la->count) % la->cap] = prepared{index, key, answer, value};
  la->count++;
}

// The categorization's steps up to the lookup, for the entry at index.
void prepare(kel_walk *w, kel_lookahead *la, int32_t index, const char *listing_path) {
  const kelffa_item *it = kelffa_item_at(index);
  if (!it) return;
  const char *name = kelffa_item_name(it);
  if (!name || !*name || kel_is_dot_name(name) || kelffa_item_is_folder(it)) return;
  if (!kel_is_candidate(it)) return;
  kel_buf *fp = &la->path;
  if (kel_buf_add(fp, nullptr, 0) != 0 || kel_buf_adds(fp, listing_path) != 0) return;
  if (fp->len > 0 && fp->data[fp->len - 1] != '/' && kel_buf_add(fp, "/", 1) != 0) return;
  if (kel_buf_adds(fp, name) != 0 || kel_clean_path(fp->data, &la->clean) != 0) return;
  const char *clean = la->clean.data;
  if (!kel_path_included(clean, 0)) return;

  char key[4128];
  const char *bid = kelffa_item_backend_id(it);
  if (kelffa_item_has(it, F_ID) && bid && *bid)
    kel_format(key, sizeof key, "%s", bid);
  else
    kel_format(key, sizeof key, "%s_%" PRId64, clean, kelffa_item_size(it));
  if (read_flag(&kelmcat_state::add_new_only) && kel_indexed_has(key)) return;
  char hash[16];
  std::snprintf(hash, sizeof hash, "%d", kelmcat_stable_hash_utf8(key));
  if (read_flag(&kelmcat_state::correct_mode) && !kel_walk_has_correction_id(w, hash)) return;

  bool have_vault;
  void *ctx;
  int32_t (*get)(void *, const char *, char **);
  {
    Guard g(g_st.lock);
    have_vault = g_st.have_vault != 0;
    ctx = g_st.vault.ctx;
    get = g_st.vault.get;
  }
  if (have_vault && get) {
    char corr_key[96];
    char vault_key[1200];
    std::snprintf(corr_key, sizeof corr_key, KEL_CORRECT_PREFIX "%s", hash);
    kel_vault_prefixed_key(vault_key, sizeof vault_key, w->user, corr_key);
    char *value = nullptr;
    int32_t answer = get(ctx, vault_key, &value);
    bool corrected = answer == 0 && value && *value;
    keep(la, index, vault_key, answer, value);
    if (corrected) return;
  }
  const char *loaded = kel_corrections_get(hash);
  if (loaded && *loaded) return;

  char lookup[1024];
  const char *title = kelffa_item_title(it);
  int32_t year = kelffa_item_year(it);
  if (kel_item_has_metadata(it) && title && *title && kelffa_item_has(it, F_YEAR) && year > 0)
    kel_format(lookup, sizeof lookup, "%s %d", title, year);
  else
    kel_format(lookup, sizeof lookup, "%s", name);
  kel_ahead_lookup(lookup);
}

}  // namespace

kel_lookahead *kel_lookahead_open(void) {
  if (!kel_ahead_start()) return nullptr;
  kel_http_options o;
  kel_http_options_get(&o);
  kel_lookahead *la = new (std::nothrow) kel_lookahead;
  if (la) {
    la->reach = static_cast<int32_t>(o.max_concurrent) + kExtraAhead;
    la->cap = static_cast<size_t>(la->reach) + 1;
    la->ring = static_cast<prepared *>(std::calloc(la->cap, sizeof(prepared)));
  }
  if (!la || !la->ring) {
    delete la;
    kel_ahead_stop();
    return nullptr;
  }
  return la;
}

void kel_lookahead_close(kel_lookahead *la) {
  if (!la) return;
  forget(la);
  std::free(la->ring);
  kel_buf_free(&la->path);
  kel_buf_free(&la->clean);
  delete la;
  kel_ahead_stop();
}

void kel_lookahead_before(kel_walk *w, int32_t index, const char *listing_path) {
  kel_lookahead *la = w->ahead;
  if (!la) return;
  la->current = index;
  while (la->count > 0 && la->ring[la->first].index < index) pop_front(la);
  if (la->next < index) la->next = index;
  int32_t count = kelffa_count();
  while (la->next < count && la->next - index <= la->reach && kel_ahead_has_room())
    prepare(w, la, la->next++, listing_path);
  kel_ahead_pump();
}

void kel_lookahead_folder_end(kel_walk *w) {
  if (!w->ahead) return;
  forget(w->ahead);
  kel_ahead_drop();
}

bool kel_lookahead_correction(kel_walk *w, const char *vault_key, int32_t *answer, char **value) {
  kel_lookahead *la = w->ahead;
  if (!la) return false;
  while (la->count > 0 && la->ring[la->first].index < la->current) pop_front(la);
  if (la->count == 0) return false;
  prepared &p = la->ring[la->first];
  if (p.index != la->current || std::strcmp(p.vault_key, vault_key) != 0) return false;
  *answer = p.answer;
  *value = p.value;
  p.value = nullptr;
  pop_front(la);
  return true;
}
