// Single-path services: stat, locator and path join.
#include <cstring>

#include "core/path.h"
#include "ffa/ffa_internal.h"

namespace {

constexpr size_t kLocatorSize = 8192;

char s_locator[kLocatorSize];
char s_join[KELFFA_PATH_MAX + 1];

bool one_segment(const char *name) {
  if (name[0] == '\0' || kel_is_dot_name(name)) return false;
  return std::strchr(name, '/') == nullptr;
}

}  // namespace

extern "C" int32_t kelffa_get(const char *path, kelffa_item *out) noexcept {
  kelffa__stat_clear();
  kelffa__set_result_kind(KELFFA_RES_STAT);
  kelffa__cancel_clear();
  const kelffa_backend *open = kelffa__session();
  if (!open) return kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  if (!path) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "path is NULL");
  if (!open->stat)
    return kelffa__fail(KELFFA_ERR_UNSUPPORTED, "backend '%s' cannot stat", open->id);
  const kelffa_backend b = *open;
  kelffa_item rec;
  kelffa__item_fresh(&rec);
  uint64_t seq = kelffa__fail_seq();
  int32_t rc = b.stat(b.ctx, path, &rec);
  rc = kelffa__backend_result(rc, seq, "stat", "stat '%s': %s", path, kelffa_strerror(rc));
  if (rc != KELFFA_OK) return rc;
  const char *why = nullptr;
  if (!kelffa__validate(&rec, nullptr, 1, &why))
    return kelffa__fail(KELFFA_ERR_TRANSPORT, "stat returned an invalid item: %s", why);
  if (kelffa__stat_keep(&rec) != KELFFA_OK) return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  if (out) {
    uint32_t k = out->struct_size;
    if (k == 0 || k > KELFFA_ITEM_V1_SIZE) k = KELFFA_ITEM_V1_SIZE;
    std::memcpy(out, kelffa_got(), k);
    out->struct_size = k;
  }
  kelffa__clear_error();
  return KELFFA_OK;
}

extern "C" const char *kelffa_locator(const char *path) noexcept {
  s_locator[0] = '\0';
  const kelffa_backend *open = kelffa__session();
  if (!open) {
    kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
    return nullptr;
  }
  if (!path) {
    kelffa__fail(KELFFA_ERR_INVALID_ARG, "path is NULL");
    return nullptr;
  }
  const kelffa_backend b = *open;
  uint64_t seq = kelffa__fail_seq();
  int32_t rc = b.locator(b.ctx, path, s_locator, kLocatorSize);
  // A text that fills the whole buffer is cut to 8191 bytes, never inside a
  // character.
  if (!std::memchr(s_locator, '\0', kLocatorSize))
    s_locator[kel_utf8_cut_len(s_locator, kLocatorSize, kLocatorSize - 1)] = '\0';
  s_locator[kLocatorSize - 1] = '\0';
  rc = kelffa__backend_result(rc, seq, "locator", "locator '%s': %s", path, kelffa_strerror(rc));
  if (rc != KELFFA_OK) {
    s_locator[0] = '\0';
    return nullptr;
  }
  if (s_locator[0] == '\0' || !kelffa__utf8_valid(s_locator)) {
    s_locator[0] = '\0';
    kelffa__fail(KELFFA_ERR_TRANSPORT, "backend returned an empty or non-UTF-8 locator");
    return nullptr;
  }
  kelffa__clear_error();
  return s_locator;
}

extern "C" const char *kelffa_path_join(const char *folder, const char *name) noexcept {
  if (!folder || !name) {
    kelffa__fail(KELFFA_ERR_INVALID_ARG, "join: NULL argument");
    return nullptr;
  }
  if (!one_segment(name)) {
    kelffa__fail(KELFFA_ERR_INVALID_ARG, "join: name must be one segment, not '.', '..' or empty");
    return nullptr;
  }
  if (!kelffa__utf8_valid(name) || !kelffa__utf8_valid(folder)) {
    kelffa__fail(KELFFA_ERR_INVALID_ARG, "join: not valid UTF-8");
    return nullptr;
  }
  size_t l = std::strlen(folder);
  while (l > 0 && folder[l - 1] == '/') --l;
  size_t n = std::strlen(name);
  if (l + 1 + n > KELFFA_PATH_MAX) {
    kelffa__fail(KELFFA_ERR_INVALID_ARG, "join: result longer than %d",
                 static_cast<int>(KELFFA_PATH_MAX));
    return nullptr;
  }
  std::memcpy(s_join, folder, l);
  s_join[l] = '/';
  std::memcpy(s_join + l + 1, name, n);
  s_join[l + 1 + n] = '\0';
  return s_join;
}
