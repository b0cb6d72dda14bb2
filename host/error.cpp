// The kit's last error, one per thread.
#include "host_internal.h"

#include <cstdarg>
#include <cstdio>

namespace {
thread_local char t_error[512];
}

void kelhost_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(t_error, sizeof t_error, fmt, ap);
  va_end(ap);
}

void kelhost_clear_error() { t_error[0] = '\0'; }

extern "C" const char *kelhost_last_error(void) noexcept { return t_error; }
