// Every answer body of the remote services, through a host IO table, in whole
// scans over the small fake tree.
//
// Input: a flag byte (bit 0 correct mode, bit 1 add-new-only, bit 2 the
// standalone notification too), three bytes of 3-bit status selectors for
// the routes lookup, IsMovie, Corrections, Find, notification, then the
// NUL-separated bodies in that order; further texts are answered to the
// second and later lookups in turn.
#include <string>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  unsigned flags = data[0];
  uint32_t sel = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                 static_cast<uint32_t>(data[3]) << 16;
  std::vector<std::string> parts = fz::split(data + 4, size - 4, 12);

  fz::ScriptIO io;
  fz::ScriptVault vault;
  for (int r = 0; r < fz::kRoutes; ++r) {
    io.status[r] = fz::status_choice(sel >> (3 * r));
    if (static_cast<size_t>(r) < parts.size()) io.body[r] = parts[static_cast<size_t>(r)];
  }
  for (size_t i = fz::kRoutes; i < parts.size(); ++i) io.more_lookups.push_back(parts[i]);
  vault.search_keys.push_back(fz::user_key(fz::small_tree_item_keys()[0], true));

  fz::setup_scan(&io, &vault);
  fz::scan_and_read(flags);
  if (flags & 4u) {
    int32_t n = kelmcat_notify_scan_complete("u1", "c1");
    FZ_CHECK(n <= 0);
  }
  kelmcat_shutdown();
  return 0;
}
