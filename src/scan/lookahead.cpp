// The walk's look-ahead over a folder's listing. For each entry ahead it
// makes the decisions the categorization will make before its lookup (the
// candidate rule, the path filter, the key, the add-new-only set, correct
// mode, the correction), with the same reads of the configuration, and asks
// for the lookup of every file that no correction settles. Entries are
// looked at by index, so a page fetched meanwhile (which moves the entry
// records) does not matter.
#include "scan/lookahead.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/keys.h"
#include "match/ahead.h"
#include "match/http.h"
#include "match/matcher.h"
#include "scan/identity.h"

namespace {

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
  kel_file_paths paths{};
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
  kel_file_id id;
  if (kel_file_identify(it, listing_path, &la->paths, &id) != 1) return;
  if (!kel_file_passes_modes(w, &id)) return;

  const kel_vault_view &v = id.vault;
  if (v.have && v.get) {
    char vault_key[kKelVaultKeyBuf];
    kel_file_vault_key(w, KEL_CORRECT_PREFIX, id.hash, vault_key);
    char *value = nullptr;
    int32_t answer = v.get(v.ctx, vault_key, &value);
    bool corrected = answer == 0 && value && *value;
    keep(la, index, vault_key, answer, value);
    if (corrected) return;
  }
  const char *loaded = kel_corrections_get(id.hash);
  if (loaded && *loaded) return;

  char lookup[kKelLookupNameBuf];
  kel_file_lookup_name(id, lookup);
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
  kel_file_paths_free(&la->paths);
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
