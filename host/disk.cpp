// The disk backend.
#include "host_internal.h"

extern "C" int32_t kelhost_disk_register(void) noexcept {
  kelhost_set_error("the disk backend is not built yet");
  return KELHOST_ERR_ARG;
}

extern "C" int32_t kelhost_disk_unreadable_count(void) noexcept { return 0; }

extern "C" const char *kelhost_disk_unreadable(int32_t) noexcept { return ""; }
