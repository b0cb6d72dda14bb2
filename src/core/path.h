// Small helpers on path texts shared by the folder-access layer and the walk.
#ifndef KELMCAT_CORE_PATH_H
#define KELMCAT_CORE_PATH_H

#include <cstdint>

// True for the names "." and "..", which never name an entry of their own.
inline bool kel_is_dot_name(const char *s) {
  return s[0] == '.' && (s[1] == '\0' || (s[1] == '.' && s[2] == '\0'));
}

// 64-bit FNV-1a of a NUL-terminated path, for the hand-made path indexes.
inline uint64_t kel_path_hash(const char *s) {
  uint64_t h = 1469598103934665603ULL;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    h ^= *p;
    h *= 1099511628211ULL;
  }
  return h;
}

#endif
