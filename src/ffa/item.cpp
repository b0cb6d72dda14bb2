// Items: validation, the stored deep copy and the exported accessors.
#include <cstdlib>
#include <cstring>

#include "core/path.h"
#include "ffa/ffa_internal.h"

namespace {

constexpr uint32_t kKnownFields = 0x3F;

size_t strip_slashes(const char *s) {
  size_t n = std::strlen(s);
  while (n > 0 && s[n - 1] == '/') --n;
  return n;
}

// The first rule a record breaks, or NULL when it passes.
const char *first_fault(const kelffa_item *it, const char *folder, bool stat_mode) {
  if (!it) return "null item";
  if (!it->name) return "name is NULL";
  if (!stat_mode && it->name[0] == '\0') return "empty name";
  if (kel_is_dot_name(it->name)) return "name is '.' or '..' (cycle)";
  if (std::strchr(it->name, '/')) return "name contains '/'";
  if (!kelffa__utf8_valid(it->name)) return "name is not valid UTF-8";
  if (!it->path || it->path[0] == '\0') return "path is empty";
  if (!kelffa__utf8_valid(it->path)) return "path is not valid UTF-8";
  if (!stat_mode && folder) {
    size_t a = strip_slashes(it->path), b = strip_slashes(folder);
    if (a == b && std::memcmp(it->path, folder, a) == 0)
      return "path equals the listed folder (self-loop)";
  }
  if (static_cast<uint32_t>(it->is_folder) > 1) return "is_folder not 0/1";
  if ((it->fields & F_SIZE) && it->size < 0) return "F_SIZE with negative size";
  if ((it->fields & F_MTIME) && it->mtime_ms < 0) return "F_MTIME with negative mtime";
  if ((it->fields & F_YEAR) && (it->year < 1800 || it->year > 9999))
    return "F_YEAR outside 1800..9999";
  if (it->fields & F_TITLE) {
    if (!it->title) return "F_TITLE with NULL title";
    if (!kelffa__utf8_valid(it->title)) return "title is not valid UTF-8";
  }
  if (it->fields & F_ID) {
    if (!it->id) return "F_ID with NULL id";
    if (!kelffa__utf8_valid(it->id)) return "id is not valid UTF-8";
  }
  if (it->fields & F_LOCATOR) {
    if (!it->locator) return "F_LOCATOR with NULL locator";
    if (!kelffa__utf8_valid(it->locator)) return "locator is not valid UTF-8";
  }
  return nullptr;
}

const char *text_or_empty(const char *s) {
  return s ? s : kel_empty;
}

}  // namespace

int kelffa__utf8_valid(const char *s) {
  if (!s) return 0;
  return kel_utf8_valid(s, std::strlen(s)) ? 1 : 0;
}

int kelffa__validate(const kelffa_item *item, const char *folder, int stat_mode,
                     const char **reason) {
  const char *why = first_fault(item, folder, stat_mode != 0);
  if (!why) return 1;
  if (reason) *reason = why;
  return 0;
}

void kelffa__item_fresh(kelffa_item *item) {
  std::memset(item, 0, sizeof *item);
  item->struct_size = KELFFA_ITEM_V1_SIZE;
  item->size = -1;
  item->mtime_ms = -1;
}

void kelffa__item_free(kelffa_item *item) {
  if (!item) return;
  std::free(const_cast<char *>(item->name));
  std::free(const_cast<char *>(item->path));
  std::free(const_cast<char *>(item->title));
  std::free(const_cast<char *>(item->id));
  std::free(const_cast<char *>(item->locator));
  std::memset(item, 0, sizeof *item);
}

namespace {

// The record's non-string fields, as a copy carries them (absent ones reset).
void copy_scalars(kelffa_item *dst, const kelffa_item *src, uint32_t f) {
  dst->struct_size = KELFFA_ITEM_V1_SIZE;
  dst->fields = f;
  dst->is_folder = src->is_folder;
  dst->size = (f & F_SIZE) ? src->size : -1;
  dst->mtime_ms = (f & F_MTIME) ? src->mtime_ms : -1;
  dst->year = (f & F_YEAR) ? src->year : 0;
}

}  // namespace

int32_t kelffa__item_copy(kelffa_item *dst, const kelffa_item *src) {
  std::memset(dst, 0, sizeof *dst);
  uint32_t f = src->fields & kKnownFields;
  copy_scalars(dst, src, f);
  bool ok = true;
  // A string that is asked for but missing (NULL source, or no memory) fails.
  auto dup = [&ok](const char *s) -> const char * {
    char *p = kel_strdup(s);
    if (!p) ok = false;
    return p;
  };
  dst->name = dup(src->name);
  dst->path = dup(src->path);
  if (f & F_TITLE) dst->title = dup(src->title);
  if (f & F_ID) dst->id = dup(src->id);
  if (f & F_LOCATOR) dst->locator = dup(src->locator);
  if (!ok) {
    kelffa__item_free(dst);
    return KELFFA_ERR_OOM;
  }
  return KELFFA_OK;
}

int32_t kelffa__item_copy_packed(kelffa_item *dst, const kelffa_item *src,
                                 char *(*take)(void *ctx, size_t bytes), void *ctx) {
  std::memset(dst, 0, sizeof *dst);
  uint32_t f = src->fields & kKnownFields;
  // The strings the copy carries, in record order, and their lengths.
  const char *from[5] = {src->name, src->path, (f & F_TITLE) ? src->title : nullptr,
                         (f & F_ID) ? src->id : nullptr, (f & F_LOCATOR) ? src->locator : nullptr};
  const bool wanted[5] = {true, true, (f & F_TITLE) != 0, (f & F_ID) != 0, (f & F_LOCATOR) != 0};
  size_t len[5] = {};
  size_t total = 0;
  for (int i = 0; i < 5; ++i) {
    if (!wanted[i]) continue;
    if (!from[i]) return KELFFA_ERR_OOM;  // asked for but missing, as in kelffa__item_copy
    len[i] = std::strlen(from[i]);
    total += len[i] + 1;
  }
  char *block = take(ctx, total);
  if (!block) return KELFFA_ERR_OOM;
  const char *to[5] = {};
  for (int i = 0; i < 5; ++i) {
    if (!wanted[i]) continue;
    std::memcpy(block, from[i], len[i] + 1);
    to[i] = block;
    block += len[i] + 1;
  }
  copy_scalars(dst, src, f);
  dst->name = to[0];
  dst->path = to[1];
  dst->title = to[2];
  dst->id = to[3];
  dst->locator = to[4];
  return KELFFA_OK;
}

extern "C" const char *kelffa_item_name(const kelffa_item *item) noexcept {
  return item ? text_or_empty(item->name) : kel_empty;
}

extern "C" const char *kelffa_item_path(const kelffa_item *item) noexcept {
  return item ? text_or_empty(item->path) : kel_empty;
}

extern "C" int32_t kelffa_item_is_folder(const kelffa_item *item) noexcept {
  return item ? item->is_folder : 0;
}

extern "C" int64_t kelffa_item_size(const kelffa_item *item) noexcept {
  return item && (item->fields & F_SIZE) ? item->size : -1;
}

extern "C" int64_t kelffa_item_mtime_ms(const kelffa_item *item) noexcept {
  return item && (item->fields & F_MTIME) ? item->mtime_ms : -1;
}

extern "C" int32_t kelffa_item_has(const kelffa_item *item, uint32_t mask) noexcept {
  return item && mask != 0 && (item->fields & mask) == mask ? 1 : 0;
}

extern "C" int32_t kelffa_item_fields(const kelffa_item *item) noexcept {
  return item ? static_cast<int32_t>(item->fields) : 0;
}

extern "C" const char *kelffa_item_title(const kelffa_item *item) noexcept {
  return item && (item->fields & F_TITLE) ? text_or_empty(item->title) : kel_empty;
}

extern "C" int32_t kelffa_item_year(const kelffa_item *item) noexcept {
  return item && (item->fields & F_YEAR) ? item->year : 0;
}

extern "C" const char *kelffa_item_backend_id(const kelffa_item *item) noexcept {
  return item && (item->fields & F_ID) ? text_or_empty(item->id) : kel_empty;
}

extern "C" const char *kelffa_item_locator(const kelffa_item *item) noexcept {
  return item && (item->fields & F_LOCATOR) ? text_or_empty(item->locator) : kel_empty;
}

extern "C" int32_t kelffa_validate_item(const kelffa_item *item, const char *folder) noexcept {
  const char *why = nullptr;
  if (kelffa__validate(item, folder, 0, &why)) return KELFFA_OK;
  return kelffa__fail(KELFFA_ERR_INVALID_ARG, "item rejected: %s", why);
}
