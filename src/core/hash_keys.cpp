// Stable 31-bit hash over UTF-16 units and the vault key formats built on it.
// Stored vault data is found again only under exactly these keys, so the hash
// and every character of the formats are fixed.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core_internal.h"
#include "core/keys.h"

namespace {

constexpr uint32_t HASH_EMPTY = 371857150u;

// snprintf takes an int-sized length in practice; larger buffers gain nothing.
inline size_t clamp_size(uint64_t size) {
  return size > static_cast<uint64_t>(INT_MAX) ? static_cast<size_t>(INT_MAX)
                                               : static_cast<size_t>(size);
}

// Formats prefix + hash of the identity key into out; 0, or -1 when it does not fit.
int format_hash_key(const char *prefix, const char *item_key, char *out, uint64_t out_size) {
  int32_t h = kelmcat_stable_hash_utf8(item_key);
  size_t n = clamp_size(out_size);
  int len = std::snprintf(out, n, "%s%d", prefix, static_cast<int>(h));
  return (len < 0 || static_cast<size_t>(len) >= n) ? -1 : 0;
}

// Two interleaved multiply-xor chains over the units, even ones into h1 and
// odd ones into h2, folded into a non-negative 31-bit value.
struct unit_hash {
  uint32_t h1 = 5381, h2 = 5381;
  uint64_t count = 0;
  void add(uint32_t u) {
    if (count % 2 == 0)
      h1 = (h1 * 33u) ^ u;
    else
      h2 = (h2 * 33u) ^ u;
    ++count;
  }
  int32_t result() const {
    uint32_t r = h1 + h2 * 1566083941u;
    if (r == 0x80000000u) return 0;
    // Absolute value of r read as a signed 32-bit number.
    return static_cast<int32_t>((r & 0x80000000u) ? (0u - r) : r);
  }
};

}  // namespace

int32_t kel_utf8_to_utf16_units(const char *text, uint16_t *units, uint64_t capacity) {
  if (!text) return -1;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  uint64_t count = 0;
  while (*p) {
    uint32_t cp;
    size_t len = kel_utf8_next(p, SIZE_MAX, &cp);
    if (len == 0) return -1;
    uint64_t need = len == 4 ? 2 : 1;
    if (units) {
      if (capacity < count + need) return -1;
      if (need == 1) {
        units[count] = static_cast<uint16_t>(cp);
      } else {
        uint32_t v = cp - 0x10000u;
        units[count] = static_cast<uint16_t>(0xD800u + (v >> 10));
        units[count + 1] = static_cast<uint16_t>(0xDC00u | (v & 0x3FFu));
      }
    }
    count += need;
    if (count > static_cast<uint64_t>(INT32_MAX)) return -1;
    p += len;
  }
  return static_cast<int32_t>(count);
}

int32_t kelmcat_stable_hash_utf16(const uint16_t *units, uint64_t n) {
  if (n == 0 || !units) return static_cast<int32_t>(HASH_EMPTY);
  unit_hash h;
  for (uint64_t i = 0; i < n && units[i] != 0; ++i) h.add(units[i]);
  return h.result();
}

// The same value as hashing the text's UTF-16 form, with the units produced
// one by one: a key's hash needs no memory.
int32_t kelmcat_stable_hash_utf8(const char *text) {
  if (!text) return 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  if (!*p) return static_cast<int32_t>(HASH_EMPTY);
  unit_hash h;
  while (*p) {
    // A run of ASCII goes two units a step, one into each chain.
    uint32_t *even = h.count % 2 == 0 ? &h.h1 : &h.h2;
    uint32_t *odd = h.count % 2 == 0 ? &h.h2 : &h.h1;
    const unsigned char *run = p;
    while (p[0] - 1u < 0x7Fu && p[1] - 1u < 0x7Fu) {
      *even = (*even * 33u) ^ p[0];
      *odd = (*odd * 33u) ^ p[1];
      p += 2;
    }
    h.count += static_cast<uint64_t>(p - run);
    if (h.count > static_cast<uint64_t>(INT32_MAX)) return 0;
    if (!*p) break;
    if (*p < 0x80) {
      h.add(*p++);
      if (h.count > static_cast<uint64_t>(INT32_MAX)) return 0;
      continue;
    }
    uint32_t cp;
    size_t len = kel_utf8_next(p, SIZE_MAX, &cp);
    if (len == 0) return 0;
    if (cp >= 0x10000u) {
      uint32_t v = cp - 0x10000u;
      h.add(0xD800u + (v >> 10));
      h.add(0xDC00u | (v & 0x3FFu));
    } else {
      h.add(cp);
    }
    if (h.count > static_cast<uint64_t>(INT32_MAX)) return 0;
    p += len;
  }
  return h.result();
}

int kel_vault_prefixed_key(char *out, size_t size, const char *user_id, const char *key) {
  char none[1];
  kel_cat c(size ? out : none, size ? size : 1);
  c.add(KEL_VAULT_NAMESPACE "_", sizeof KEL_VAULT_NAMESPACE);
  c.add(user_id ? user_id : "");
  c.add("_", 1);
  c.add(key ? key : "");
  return static_cast<int>(c.end());
}

int32_t kel_check_user_id_length(const char *user_id) {
  size_t user_len = std::strlen(user_id);
  if (user_len > KEL_MAX_USER_ID) {
    kel_set_error("user id too long (%zu > %zu)", user_len, static_cast<size_t>(KEL_MAX_USER_ID));
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

extern "C" {

KELMCAT_API int32_t kelmcat_derive_key(const char *path, int64_t size, char *out,
                                       uint64_t out_size) noexcept {
  if (!out || out_size == 0) {
    kel_set_error("null output buffer");
    return KELMCAT_ERR_ARG;
  }
  if (!path) {
    kel_set_error("null path");
    return KELMCAT_ERR_ARG;
  }
  size_t n = clamp_size(out_size);
  int len = std::snprintf(out, n, "%s_%lld", path, static_cast<long long>(size));
  if (len < 0 || static_cast<size_t>(len) >= n) {
    kel_set_error("key longer than %zu", static_cast<size_t>(out_size));
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_vault_key(const char *item_key, char *out, uint64_t out_size) noexcept {
  if (!out || out_size == 0 || !item_key) {
    kel_set_error("null argument");
    return KELMCAT_ERR_ARG;
  }
  if (format_hash_key(KEL_MATCHED_PREFIX, item_key, out, out_size) != 0) {
    kel_set_error("vault key longer than %zu", static_cast<size_t>(out_size));
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_correction_key(const char *item_key, char *out,
                                           uint64_t out_size) noexcept {
  if (!out || out_size == 0 || !item_key) {
    kel_set_error("null argument");
    return KELMCAT_ERR_ARG;
  }
  if (format_hash_key(KEL_CORRECT_PREFIX, item_key, out, out_size) != 0) {
    kel_set_error("correction key longer than %zu", static_cast<size_t>(out_size));
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

}  // extern "C"

namespace {

// "TALMERON_IMediaKeyVault_<user>_<prefix><hash>": the key a scan of that user
// reads and writes. The user id is bounded as a scan bounds it, so the key
// always keeps its whole hash.
int32_t user_key(const char *user_id, const char *item_key, char *out, uint64_t out_size,
                 const char *prefix, const char *what) {
  if (!out || out_size == 0 || !item_key || !user_id || !*user_id) {
    kel_set_error("null argument");
    return KELMCAT_ERR_ARG;
  }
  if (kel_check_user_id_length(user_id) != KELMCAT_OK) return KELMCAT_ERR_ARG;
  size_t n = clamp_size(out_size);
  int len = std::snprintf(out, n, KEL_VAULT_NAMESPACE "_%s_%s%d", user_id, prefix,
                          static_cast<int>(kelmcat_stable_hash_utf8(item_key)));
  if (len < 0 || static_cast<size_t>(len) >= n) {
    kel_set_error("%s longer than %zu", what, static_cast<size_t>(out_size));
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

}  // namespace

extern "C" {

KELMCAT_API int32_t kelmcat_user_vault_key(const char *user_id, const char *item_key, char *out,
                                           uint64_t out_size) noexcept {
  return user_key(user_id, item_key, out, out_size, KEL_MATCHED_PREFIX, "vault key");
}

KELMCAT_API int32_t kelmcat_user_correction_key(const char *user_id, const char *item_key,
                                                char *out, uint64_t out_size) noexcept {
  return user_key(user_id, item_key, out, out_size, KEL_CORRECT_PREFIX, "correction key");
}

}  // extern "C"
