// The layer's single paged listing and the cancel flag.
#include <cstdlib>
#include <cstring>

#include "ffa/ffa_internal.h"

namespace {

constexpr int32_t kPageSizeDefault = 256;
constexpr uint32_t kPageSizeMax = 65536;
constexpr size_t kGuards = 16;
constexpr uint64_t kFirstCap = 64;
constexpr size_t kFirstTextBlock = 4096;
constexpr size_t kMaxTextBlock = 65536;

// Its address marks the guard records that follow a page's cap records.
const char s_guard[] = "\x01kelffa-guard";

int32_t s_listing = 0;
const char *s_listing_backend = "";
char *s_list_path = nullptr;
kelffa_item *s_items = nullptr;
uint64_t s_count = 0;
uint64_t s_cap = 0;
int32_t s_more = 0;
char *s_cursor = nullptr;
int32_t s_rejected = 0;
int32_t s_page_size = kPageSizeDefault;
// Written by kelffa_cancel on any thread, read here and by backends: accessed
// only with atomic builtins (relaxed: nothing else is published through it).
int32_t s_cancel = 0;

// The texts of the listed entries, bump-allocated from a chain of blocks that
// lives exactly as long as the entries: released by a clear, rolled back with
// the entries of a page that is not taken.
struct text_block {
  text_block *prev;
  size_t cap;
  size_t used;
  char *bytes() { return reinterpret_cast<char *>(this + 1); }
};
text_block *s_texts = nullptr;

struct text_mark {
  text_block *block;
  size_t used;
};

// Makes room for one more entry: 64 first, then doubling.
int32_t grow() {
  if (s_count < s_cap) return KELFFA_OK;
  uint64_t cap = s_cap ? s_cap * 2 : kFirstCap;
  void *p = std::realloc(s_items, static_cast<size_t>(cap) * sizeof(kelffa_item));
  if (!p) return KELFFA_ERR_OOM;
  s_items = static_cast<kelffa_item *>(p);
  s_cap = cap;
  return KELFFA_OK;
}

char *take_text(void *, size_t bytes) {
  text_block *b = s_texts;
  if (!b || b->cap - b->used < bytes) {
    size_t cap = kFirstTextBlock;
    if (b) cap = b->cap < kMaxTextBlock / 2 ? b->cap * 2 : kMaxTextBlock;
    if (cap < bytes) cap = bytes;
    if (cap > SIZE_MAX - sizeof(text_block)) return nullptr;
    b = static_cast<text_block *>(std::malloc(sizeof(text_block) + cap));
    if (!b) return nullptr;
    b->prev = s_texts;
    b->cap = cap;
    b->used = 0;
    s_texts = b;
  }
  char *p = b->bytes() + b->used;
  b->used += bytes;
  return p;
}

text_mark texts_mark() {
  return {s_texts, s_texts ? s_texts->used : 0};
}

// Releases every text handed out since the mark.
void texts_release_to(text_mark m) {
  while (s_texts != m.block) {
    text_block *prev = s_texts->prev;
    std::free(s_texts);
    s_texts = prev;
  }
  if (s_texts) s_texts->used = m.used;
}

// Drops the entries appended after the first `keep`, whose texts were all
// handed out since the mark.
void truncate_to(uint64_t keep, text_mark m) {
  if (s_count > keep) {
    std::memset(&s_items[keep], 0, static_cast<size_t>(s_count - keep) * sizeof(kelffa_item));
    s_count = keep;
  }
  texts_release_to(m);
}

// Checks the page the backend returned and takes its entries. On failure the
// cursor, `more`, the entries and the rejections stay as they were before the
// page, so asking for the same page again takes each entry once.
int32_t take_page(const kelffa_page &pg, const kelffa_item *items, uint64_t n) {
  if (kelffa__cancelled()) return kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled during page");
  for (size_t g = 0; g < kGuards; ++g)
    if (items[n + g].name != s_guard)
      return kelffa__fail(KELFFA_ERR_TRANSPORT, "backend wrote past cap %lu",
                          static_cast<unsigned long>(n));
  if (pg.count > n)
    return kelffa__fail(KELFFA_ERR_TRANSPORT, "backend returned %lu entries for cap %lu",
                        static_cast<unsigned long>(pg.count), static_cast<unsigned long>(n));
  char *cursor = nullptr;
  if (pg.more) {
    if (!pg.next_cursor || pg.next_cursor[0] == '\0')
      return kelffa__fail(KELFFA_ERR_TRANSPORT, "backend set more without next_cursor");
    cursor = kel_strdup(pg.next_cursor);
    if (!cursor) return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  }
  uint64_t count0 = s_count;
  text_mark texts0 = texts_mark();
  int32_t rejected0 = s_rejected;
  for (uint64_t i = 0; i < pg.count; ++i) {
    if (kelffa__cancelled()) {
      truncate_to(count0, texts0);
      s_rejected = rejected0;
      std::free(cursor);
      return kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled during copy");
    }
    if (kelffa__listing_take(&items[i], s_list_path) != KELFFA_OK) {
      // Roll the page back as for a cancel: the retry (same cursor) takes it whole.
      truncate_to(count0, texts0);
      s_rejected = rejected0;
      std::free(cursor);
      return kelffa__fail(KELFFA_ERR_OOM, "out of memory copying entries");
    }
  }
  std::free(s_cursor);
  s_cursor = cursor;
  s_more = pg.more ? 1 : 0;
  return KELFFA_OK;
}

int32_t fetch_page() {
  if (kelffa__cancelled()) return kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled");
  const kelffa_backend *open = kelffa__session();
  if (!open) return kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  const kelffa_backend b = *open;
  uint64_t n = static_cast<uint64_t>(s_page_size);
  kelffa_item *items = static_cast<kelffa_item *>(
      std::malloc(static_cast<size_t>(n + kGuards) * sizeof(kelffa_item)));
  if (!items)
    return kelffa__fail(KELFFA_ERR_OOM, "out of memory (page of %lu)",
                        static_cast<unsigned long>(n));
  for (uint64_t i = 0; i < n + kGuards; ++i) kelffa__item_fresh(&items[i]);
  for (size_t g = 0; g < kGuards; ++g) items[n + g].name = s_guard;

  kelffa_page pg;
  std::memset(&pg, 0, sizeof pg);
  pg.struct_size = KELFFA_PAGE_V1_SIZE;
  pg.cursor = s_cursor;
  pg.items = items;
  pg.cap = n;
  pg.count = 0;
  pg.more = 0;
  pg.next_cursor = nullptr;
  pg.cancel = kelffa__cancel_flag();

  uint64_t seq = kelffa__fail_seq();
  int32_t rc = b.list(b.ctx, s_list_path, &pg);
  if (rc == KELFFA_ERR_CANCELLED)
    rc = kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled (backend)");
  else if (rc != KELFFA_OK)
    rc = kelffa__backend_result(rc, seq, "list", "list '%s': %s", s_list_path, kelffa_strerror(rc));
  else
    rc = take_page(pg, items, n);
  std::free(items);
  return rc;
}

}  // namespace

int kelffa__cancelled() {
  return __atomic_load_n(&s_cancel, __ATOMIC_RELAXED) != 0;
}

void kelffa__cancel_clear() {
  __atomic_store_n(&s_cancel, 0, __ATOMIC_RELAXED);
}

const volatile int32_t *kelffa__cancel_flag() {
  return &s_cancel;
}

void kelffa__page_size_reset() {
  s_page_size = kPageSizeDefault;
}

void kelffa__listing_clear() {
  truncate_to(0, text_mark{nullptr, 0});
  std::free(s_items);
  s_items = nullptr;
  s_count = 0;
  s_cap = 0;
  s_rejected = 0;
  s_more = 0;
  std::free(s_list_path);
  s_list_path = nullptr;
  std::free(s_cursor);
  s_cursor = nullptr;
  s_listing = 0;
  s_listing_backend = "";
}

int32_t kelffa__listing_take(const kelffa_item *entry, const char *folder) {
  const char *why = nullptr;
  if (!kelffa__validate(entry, folder, 0, &why)) {
    ++s_rejected;
    kelffa__fail(KELFFA_OK, "rejected entry: %s", why);
    return KELFFA_OK;
  }
  if (grow() != KELFFA_OK) return KELFFA_ERR_OOM;
  int32_t rc = kelffa__item_copy_packed(&s_items[s_count], entry, take_text, nullptr);
  if (rc == KELFFA_OK) ++s_count;
  return rc;
}

void kelffa__listing_set_decoded(char *owned_path) {
  std::free(s_list_path);
  s_list_path = owned_path;
  s_listing = 0;
  s_listing_backend = "decoded";
}

void kelffa__listing_add_rejected() {
  ++s_rejected;
}

const char *kelffa__listing_label() {
  return s_listing_backend;
}

const char *kelffa__listing_path() {
  return s_list_path;
}

extern "C" int32_t kelffa_list(const char *folder) noexcept {
  kelffa__listing_clear();
  kelffa__set_result_kind(KELFFA_RES_LISTING);
  kelffa__cancel_clear();
  const kelffa_backend *open = kelffa__session();
  if (!open) return kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  if (!folder) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "path is NULL");
  if (strnlen(folder, KELFFA_PATH_MAX + 1) > KELFFA_PATH_MAX)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "path too long");
  char *path = kel_strdup(folder);
  if (!path) return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  s_list_path = path;
  s_listing = 1;
  s_listing_backend = open->id;
  kelffa__clear_error();
  int32_t rc = fetch_page();
  if (rc != KELFFA_OK) s_more = 0;
  return rc;
}

extern "C" int32_t kelffa_list_next(void) noexcept {
  if (!kelffa__session()) return -kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  if (!s_listing || !s_more) return 0;
  int32_t rc = fetch_page();
  return rc != KELFFA_OK ? -rc : s_more;
}

extern "C" int32_t kelffa_list_all(const char *folder) noexcept {
  int32_t rc = kelffa_list(folder);
  while (rc == KELFFA_OK && s_more) {
    int32_t r = kelffa_list_next();
    if (r < 0) rc = -r;
  }
  return rc;
}

extern "C" int32_t kelffa_more(void) noexcept {
  return s_more;
}

extern "C" int32_t kelffa_count(void) noexcept {
  return static_cast<int32_t>(s_count);
}

extern "C" const kelffa_item *kelffa_item_at(int32_t index) noexcept {
  if (index < 0 || static_cast<uint64_t>(index) >= s_count) return nullptr;
  return &s_items[index];
}

extern "C" int32_t kelffa_rejected(void) noexcept {
  return s_rejected;
}

extern "C" void kelffa_cancel(void) noexcept {
  __atomic_store_n(&s_cancel, 1, __ATOMIC_RELAXED);
}

extern "C" int32_t kelffa_set_page_size(int32_t size) noexcept {
  if (static_cast<uint32_t>(size) - 1u >= kPageSizeMax)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "page size must be 1..%d",
                        static_cast<int>(kPageSizeMax));
  s_page_size = size;
  return KELFFA_OK;
}
