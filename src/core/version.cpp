// The library's own version, from the header generated with the build.
#include "kelmcat.h"

extern "C" const char *kelmcat_version(void) noexcept {
  return KELMCAT_VERSION_STRING;
}
