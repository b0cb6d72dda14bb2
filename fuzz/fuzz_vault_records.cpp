// Stored vault records and correction values, through a host vault table, in
// whole scans over the small fake tree; then a user correction is stored.
//
// Input: a flag byte (bit 0 correct mode, bit 1 add-new-only, bit 2 a rescan
// over what the first scan wrote, bit 3 the key search fails, bit 4 writes
// are refused), then NUL-separated texts: for each of the four files its
// correction value and its stored record, then an item key and an IMDb id for
// kelmcat_set_correction, then extra keys the search answers. A value whose
// first byte is 0x01 is not found, 0x02 a vault failure, 0x03 found without text.
#include <string>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  unsigned flags = data[0];
  std::vector<std::string> parts = fz::split(data + 1, size - 1, 16);

  fz::ScriptIO io;
  fz::ScriptVault vault;
  std::vector<std::string> keys = fz::small_tree_item_keys();
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string &corr = fz::part(parts, 2 * i), &rec = fz::part(parts, 2 * i + 1);
    if (2 * i < parts.size()) vault.kv[fz::user_key(keys[i], true)] = corr;
    if (2 * i + 1 < parts.size()) vault.kv[fz::user_key(keys[i], false)] = rec;
    vault.search_keys.push_back(fz::user_key(keys[i], true));
  }
  for (size_t i = 2 * keys.size() + 2; i < parts.size(); ++i) vault.search_keys.push_back(parts[i]);
  if (flags & 8u) vault.search_rc = -1;
  if (flags & 16u) vault.set_rc = 1;

  fz::setup_scan(&io, &vault);
  fz::scan_and_read(flags);
  if (flags & 4u) fz::scan_and_read(flags);
  const std::string &item_key = fz::part(parts, 2 * keys.size());
  const std::string &imdb = fz::part(parts, 2 * keys.size() + 1);
  int32_t c = kelmcat_set_correction(item_key.c_str(), imdb.c_str());
  FZ_CHECK(c <= 0 && c >= KELMCAT_ERR_OOM);
  kelmcat_shutdown();
  return 0;
}
