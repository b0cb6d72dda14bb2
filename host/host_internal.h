// Shared by the host kit's sources.
#ifndef KELMCAT_HOST_INTERNAL_H
#define KELMCAT_HOST_INTERNAL_H

#include "kelmcat_host.h"

// Records the message kelhost_last_error() returns on this thread (cut at 511 bytes).
void kelhost_set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void kelhost_clear_error();

#endif
