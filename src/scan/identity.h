// What the categorization and the look-ahead both decide about a listed file
// before its lookup: whether the walk takes it, its identity key and the hash
// text of the key, the add-new-only and correct-mode filters, its vault keys
// and the name the matching service is asked for.
#ifndef KELMCAT_SCAN_IDENTITY_H
#define KELMCAT_SCAN_IDENTITY_H

#include <cstddef>
#include <cstdint>

#include "kelmcat.h"
#include "scan/filters.h"
#include "scan/walk_context.h"

// Room for an identity key: a 4 KiB path and the size, or a backend id; a key
// that does not fit is cut without splitting a character.
constexpr size_t kKelFileKeyBuf = 4128;
// Room for the name asked for, cut without splitting a character.
constexpr size_t kKelLookupNameBuf = 1024;

// The installed vault table as read under the state lock.
struct kel_vault_view {
  bool have = false;
  void *ctx = nullptr;
  int32_t (*get)(void *, const char *, char **) = nullptr;
  int32_t (*set)(void *, const char *, const char *) = nullptr;
};

// The vault table as installed now (takes the state lock).
kel_vault_view kel_read_vault(void);
// With the state lock held.
kel_vault_view kel_read_vault_locked(void);

// One listed file as far as the steps before its lookup take it.
struct kel_file_id {
  const kelffa_item *entry;
  const char *name;  // the entry's, never null
  int64_t size;
  char ext[KEL_EXT_BUF];  // its extension as kel_file_extension gives it, "" for none
  char key[kKelFileKeyBuf];
  char hash[16];  // decimal stable hash of key, once the modes were checked
  // The configuration read with the path filter: the modes and the vault the
  // steps up to the correction's lookup use.
  bool add_new_only;
  bool correct_mode;
  kel_vault_view vault;
};

// The candidate test, the joined and cleaned path (built in paths, the
// caller's scratch) and its path filter, and the identity key (the
// backend's id, else cleaned path and size). The state lock is taken once for
// the video extensions, the path filters, the modes and the vault. 1 when the
// file goes on, 0 when the walk skips it, KELMCAT_ERR_OOM.
int32_t kel_file_identify(const kelffa_item *entry, const char *listing_path, kel_file_paths *paths,
                          kel_file_id *id);

// The add-new-only and correct-mode filters with the modes read by
// kel_file_identify; leaves the key's hash text in id->hash. True when the
// file goes on.
bool kel_file_passes_modes(const kel_walk *w, kel_file_id *id);

// "<namespace>_<user>_<prefix><hash>" with the scan's user (null counts as "").
void kel_file_vault_key(const kel_walk *w, const char *prefix, const char *hash,
                        char (&out)[kKelVaultKeyBuf]);

// The name the matching service is asked for: the backend's title and year
// when it reports both, else the listed name.
void kel_file_lookup_name(const kel_file_id &id, char (&out)[kKelLookupNameBuf]);

#endif
