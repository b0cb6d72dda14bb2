// The steps before a file's lookup, shared by the categorization and the
// look-ahead so that both decide alike.
#include "scan/identity.h"

#include <cstring>
#include <mutex>

#include "core/keys.h"
#include "match/matcher.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

}  // namespace

kel_vault_view kel_read_vault_locked(void) {
  kel_vault_view v;
  v.have = g_st.have_vault != 0;
  if (v.have) {
    v.ctx = g_st.vault.ctx;
    v.get = g_st.vault.get;
    v.set = g_st.vault.set;
  }
  return v;
}

kel_vault_view kel_read_vault(void) {
  Guard g(g_st.lock);
  return kel_read_vault_locked();
}

int32_t kel_file_identify(const kelffa_item *entry, const char *listing_path, kel_file_paths *paths,
                          kel_file_id *id) {
  id->entry = entry;
  id->name = kelffa_item_name(entry);
  id->size = kelffa_item_size(entry);
  kel_file_extension(id->name, id->ext);
  {
    // Nothing between these reads calls out of the library, so one hold of
    // the lock sees what reading each afresh would.
    Guard g(g_st.lock);
    if (!kel_is_candidate_locked(entry, id->ext)) return 0;
    if (kel_clean_file_path(paths, listing_path, id->name) != 0) return KELMCAT_ERR_OOM;
    if (!kel_path_included_locked(paths->clean.data, 0)) return 0;
    id->add_new_only = g_st.add_new_only != 0;
    id->correct_mode = g_st.correct_mode != 0;
    id->vault = kel_read_vault_locked();
  }
  const char *bid = kelffa_item_backend_id(entry);
  kel_cat key(id->key, sizeof id->key);
  if (kelffa_item_has(entry, F_ID) && bid && *bid) {
    key.add(bid);
  } else {
    key.add(paths->clean.data, paths->clean.len);
    key.add("_", 1);
    key.add_int(id->size);
  }
  key.end_utf8();
  return 1;
}

bool kel_file_passes_modes(const kel_walk *w, kel_file_id *id) {
  if (id->add_new_only && kel_indexed_has(id->key)) return false;
  char digits[24];
  size_t n = kel_int_text(kelmcat_stable_hash_utf8(id->key), digits);
  std::memcpy(id->hash, digits, n);  // a 32-bit value: at most 11 bytes
  id->hash[n] = '\0';
  return !id->correct_mode || kel_walk_has_correction_id(w, id->hash);
}

void kel_file_vault_key(const kel_walk *w, const char *prefix, const char *hash,
                        char (&out)[kKelVaultKeyBuf]) {
  kel_cat c(out, sizeof out);
  c.add(w->vault_prefix, w->vault_prefix_len);
  c.add(prefix);
  c.add(hash);
  c.end();
}

void kel_file_lookup_name(const kel_file_id &id, char (&out)[kKelLookupNameBuf]) {
  const kelffa_item *entry = id.entry;
  const char *title = kelffa_item_title(entry);
  int32_t year = kelffa_item_year(entry);
  kel_cat c(out, sizeof out);
  if (kel_item_has_metadata(entry) && title && *title && kelffa_item_has(entry, F_YEAR) &&
      year > 0) {
    c.add(title);
    c.add(" ", 1);
    c.add_int(year);
  } else {
    c.add(id.name);
  }
  c.end_utf8();
}
