// Items: validation, the stored deep copy and the exported accessors.
#include <cstdlib>
#include <cstring>

#include "core/path.h"
#include "ffa/ffa_internal.h"

namespace {

constexpr uint32_t kKnownFields = 0x3F;

// Length of s[0..n) without its trailing slashes.
size_t strip_slashes(const char *s, size_t n) {
  while (n > 0 && s[n - 1] == '/') --n;
  return n;
}

// A text that must be well-formed UTF-8: its length goes to *len.
bool valid_text(const char *s, size_t *len) {
  *len = std::strlen(s);
  return kel_utf8_valid(s, *len);
}

// The first rule a record breaks, or NULL when it passes. Measures the texts
// the record carries on the way (a text it does not carry keeps length 0).
const char *first_fault(const kelffa_item *it, const kelffa__folder &folder, bool stat_mode,
                        kelffa__text_lengths *len) {
  *len = kelffa__text_lengths{};
  if (!it) return "null item";
  if (!it->name) return "name is NULL";
  len->name = std::strlen(it->name);
  if (!stat_mode && len->name == 0) return "empty name";
  if (kel_is_dot_name(it->name)) return "name is '.' or '..' (cycle)";
  if (std::memchr(it->name, '/', len->name)) return "name contains '/'";
  if (!kel_utf8_valid(it->name, len->name)) return "name is not valid UTF-8";
  if (!it->path || it->path[0] == '\0') return "path is empty";
  if (!valid_text(it->path, &len->path)) return "path is not valid UTF-8";
  if (!stat_mode && folder.path) {
    size_t a = strip_slashes(it->path, len->path);
    if (a == folder.len && std::memcmp(it->path, folder.path, a) == 0)
      return "path equals the listed folder (self-loop)";
  }
  if (static_cast<uint32_t>(it->is_folder) > 1) return "is_folder not 0/1";
  if ((it->fields & F_SIZE) && it->size < 0) return "F_SIZE with negative size";
  if ((it->fields & F_MTIME) && it->mtime_ms < 0) return "F_MTIME with negative mtime";
  if ((it->fields & F_YEAR) && (it->year < 1800 || it->year > 9999))
    return "F_YEAR outside 1800..9999";
  if (it->fields & F_TITLE) {
    if (!it->title) return "F_TITLE with NULL title";
    if (!valid_text(it->title, &len->title)) return "title is not valid UTF-8";
  }
  if (it->fields & F_ID) {
    if (!it->id) return "F_ID with NULL id";
    if (!valid_text(it->id, &len->id)) return "id is not valid UTF-8";
  }
  if (it->fields & F_LOCATOR) {
    if (!it->locator) return "F_LOCATOR with NULL locator";
    if (!valid_text(it->locator, &len->locator)) return "locator is not valid UTF-8";
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

kelffa__folder kelffa__folder_of(const char *folder) {
  if (!folder) return {nullptr, 0};
  return {folder, strip_slashes(folder, std::strlen(folder))};
}

int kelffa__validate(const kelffa_item *item, const char *folder, int stat_mode,
                     const char **reason) {
  kelffa__text_lengths len;
  const char *why =
      first_fault(item, stat_mode ? kelffa__folder{nullptr, 0} : kelffa__folder_of(folder),
                  stat_mode != 0, &len);
  if (!why) return 1;
  if (reason) *reason = why;
  return 0;
}

const char *kelffa__listing_fault(const kelffa_item *item, const kelffa__folder &folder,
                                  kelffa__text_lengths *len) {
  return first_fault(item, folder, false, len);
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
                                 const kelffa__text_lengths &len,
                                 char *(*take)(void *ctx, size_t bytes), void *ctx) {
  uint32_t f = src->fields & kKnownFields;
  // A name that ends the path (the usual case) is kept as the tail of the
  // path's copy instead of in bytes of its own.
  const bool name_in_path = len.name <= len.path &&
                            std::memcmp(src->path + len.path - len.name, src->name, len.name) == 0;
  size_t total = len.path + 1;
  if (!name_in_path) total += len.name + 1;
  if (f & F_TITLE) total += len.title + 1;
  if (f & F_ID) total += len.id + 1;
  if (f & F_LOCATOR) total += len.locator + 1;
  char *block = take(ctx, total);
  if (!block) {
    std::memset(dst, 0, sizeof *dst);
    return KELFFA_ERR_OOM;
  }
  auto put = [&block](const char *s, size_t n) -> const char * {
    char *to = block;
    std::memcpy(to, s, n + 1);
    block += n + 1;
    return to;
  };
  copy_scalars(dst, src, f);
  dst->path = put(src->path, len.path);
  dst->name = name_in_path ? dst->path + (len.path - len.name) : put(src->name, len.name);
  dst->title = (f & F_TITLE) ? put(src->title, len.title) : nullptr;
  dst->id = (f & F_ID) ? put(src->id, len.id) : nullptr;
  dst->locator = (f & F_LOCATOR) ? put(src->locator, len.locator) : nullptr;
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
