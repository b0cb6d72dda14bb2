// The SQLite vault.
#include "host_internal.h"

extern "C" int32_t kelhost_vault_open(const char *, kelhost_vault **out) noexcept {
  if (out) *out = nullptr;
  kelhost_set_error("the SQLite vault is not built yet");
  return KELHOST_ERR_IO;
}

extern "C" const kelmcat_vault *kelhost_vault_table(kelhost_vault *) noexcept { return nullptr; }
extern "C" int32_t kelhost_vault_begin_batch(kelhost_vault *) noexcept { return KELHOST_ERR_ARG; }
extern "C" int32_t kelhost_vault_end_batch(kelhost_vault *) noexcept { return KELHOST_ERR_ARG; }
extern "C" int64_t kelhost_vault_writes(const kelhost_vault *) noexcept { return 0; }
extern "C" void kelhost_vault_close(kelhost_vault *) noexcept {}
