// The answers IO.
#include "host_internal.h"

extern "C" int32_t kelhost_answers_load(const char *, kelhost_answers **out) noexcept {
  if (out) *out = nullptr;
  kelhost_set_error("the answers IO is not built yet");
  return KELHOST_ERR_IO;
}

extern "C" int32_t kelhost_answers_parse(const char *, size_t, kelhost_answers **out) noexcept {
  if (out) *out = nullptr;
  kelhost_set_error("the answers IO is not built yet");
  return KELHOST_ERR_FORMAT;
}

extern "C" const kelmcat_io *kelhost_answers_io(kelhost_answers *) noexcept { return nullptr; }
extern "C" int64_t kelhost_answers_requests(const kelhost_answers *) noexcept { return 0; }
extern "C" void kelhost_answers_free(kelhost_answers *) noexcept {}
