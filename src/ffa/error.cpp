// The folder-access layer's own last error, code names and version.
#include <cstdarg>
#include <cstring>

#include "ffa/ffa_internal.h"

namespace {

char s_err[1024];
int32_t s_err_code = 0;
uint64_t s_fail_seq = 0;

const char *const s_code_names[11] = {
    "ok",          "no_backend", "not_open",   "not_found",   "access", "transport",
    "unsupported", "cancelled",  "bad_config", "invalid_arg", "oom",
};

void record(int32_t code, const char *fmt, va_list ap) {
  // Format aside first: the arguments may point into s_err itself.
  char tmp[sizeof s_err];
  kel_vformat(tmp, sizeof tmp, fmt, ap);
  std::memcpy(s_err, tmp, std::strlen(tmp) + 1);
  s_err_code = code;
  ++s_fail_seq;
}

}  // namespace

int32_t kelffa__fail(int32_t code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  record(code, fmt, ap);
  va_end(ap);
  return code;
}

void kelffa__clear_error() {
  s_err[0] = '\0';
  s_err_code = 0;
}

uint64_t kelffa__fail_seq() {
  return s_fail_seq;
}

int32_t kelffa__backend_result(int32_t rc, uint64_t fail_seq_before, const char *op,
                               const char *fmt, ...) {
  if (rc == KELFFA_OK) return KELFFA_OK;
  if (kelffa__out_of_taxonomy(rc))
    return kelffa__fail(KELFFA_ERR_TRANSPORT, "backend %s returned out-of-taxonomy code %d", op,
                        static_cast<int>(rc));
  // Keep the backend's message only when it recorded one during this call: a
  // message with the same code left by an earlier operation is not its own.
  if (s_fail_seq != fail_seq_before && s_err_code == rc) return rc;
  va_list ap;
  va_start(ap, fmt);
  record(rc, fmt, ap);
  va_end(ap);
  return rc;
}

extern "C" const char *kelffa_last_error(void) noexcept {
  return s_err;
}

extern "C" int32_t kelffa_last_code(void) noexcept {
  return s_err_code;
}

extern "C" const char *kelffa_strerror(int32_t code) noexcept {
  if (code < -10 || code > 10) return "unknown";
  return s_code_names[code < 0 ? -code : code];
}

extern "C" const char *kelffa_version(void) noexcept {
  return "1.0.0";
}
