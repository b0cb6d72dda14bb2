// The listed entries of the layer's one listing, the texts they point to, the
// cursor of the next page and the page size; and their accessors.
#include <cstdlib>
#include <cstring>

#include "core/grow.h"
#include "ffa/ffa_internal.h"
#include "ffa/rejections.h"

namespace {

constexpr int32_t kPageSizeDefault = 256;
constexpr uint32_t kPageSizeMax = 65536;
constexpr uint64_t kFirstCap = 64;
constexpr size_t kFirstTextBlock = 4096;
constexpr size_t kMaxTextBlock = 65536;

int32_t s_listing = 0;
const char *s_listing_backend = "";
char *s_list_path = nullptr;
kelffa__folder s_list_folder = {nullptr, 0};
// The entries; the array keeps its size from one listing to the next of the
// session, so that listing folder after folder does not grow it again each time.
kelffa_item *s_items = nullptr;
uint64_t s_count = 0;
uint64_t s_cap = 0;
int32_t s_more = 0;
char *s_cursor = nullptr;
int32_t s_rejected = 0;
int32_t s_page_size = kPageSizeDefault;
// The first rejection of the listing: its reason and the rejected name.
const char *s_first_reason = "";
char s_first_name[256];
// The records handed to the backend for a page, kept between the pages of a
// listing that can continue.
kelffa_item *s_page = nullptr;
uint64_t s_page_records = 0;

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
bool grow() {
  return kel_grow(s_items, s_count, s_cap, kFirstCap, UINT64_MAX);
}

void free_page() {
  std::free(s_page);
  s_page = nullptr;
  s_page_records = 0;
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

}  // namespace

void kelffa__page_size_reset() {
  s_page_size = kPageSizeDefault;
}

int32_t kelffa__page_size() {
  return s_page_size;
}

void kelffa__listing_clear() {
  s_count = 0;
  texts_release_to(text_mark{nullptr, 0});
  free_page();
  s_rejected = 0;
  s_first_reason = "";
  s_first_name[0] = '\0';
  s_more = 0;
  std::free(s_list_path);
  s_list_path = nullptr;
  s_list_folder = {nullptr, 0};
  std::free(s_cursor);
  s_cursor = nullptr;
  s_listing = 0;
  s_listing_backend = "";
}

void kelffa__listing_release() {
  kelffa__listing_clear();
  std::free(s_items);
  s_items = nullptr;
  s_cap = 0;
}

int32_t kelffa__listing_take(const kelffa_item *entry, const kelffa__folder &folder) {
  kelffa__text_lengths len;
  const char *why = kelffa__listing_fault(entry, folder, &len);
  if (why) {
    if (s_rejected == 0) {
      s_first_reason = why;
      const char *name = entry && entry->name ? entry->name : "";
      size_t n = strnlen(name, sizeof s_first_name - 1);
      std::memcpy(s_first_name, name, n);
      s_first_name[n] = '\0';
    }
    ++s_rejected;
    kelffa__fail(KELFFA_OK, "rejected entry: %s", why);
    return KELFFA_OK;
  }
  if (!grow()) return KELFFA_ERR_OOM;
  int32_t rc = kelffa__item_copy_packed(&s_items[s_count], entry, len, take_text, nullptr);
  if (rc == KELFFA_OK) ++s_count;
  return rc;
}

void kelffa__listing_set_decoded(char *owned_path) {
  std::free(s_list_path);
  s_list_path = owned_path;
  s_list_folder = kelffa__folder_of(owned_path);
  s_listing = 0;
  s_listing_backend = "decoded";
}

void kelffa__listing_add_rejected() {
  if (s_rejected == 0) {
    s_first_reason = "bad JSON shape";
    s_first_name[0] = '\0';
  }
  ++s_rejected;
}

int32_t kelffa__first_rejection(const char **reason, const char **name) {
  if (reason) *reason = s_first_reason;
  if (name) *name = s_first_name;
  return s_rejected;
}

const char *kelffa__listing_label() {
  return s_listing_backend;
}

const char *kelffa__listing_path() {
  return s_list_path;
}

void kelffa__listing_begin(char *owned_path, const char *label) {
  s_list_path = owned_path;
  s_list_folder = kelffa__folder_of(owned_path);
  s_listing = 1;
  s_listing_backend = label;
}

kelffa__folder kelffa__listing_folder() {
  return s_list_folder;
}

kelffa_item *kelffa__page_buffer_take(uint64_t records) {
  kelffa_item *p = s_page;
  if (p && s_page_records != records) {
    std::free(p);
    p = nullptr;
  }
  s_page = nullptr;
  s_page_records = 0;
  if (!p)
    p = static_cast<kelffa_item *>(std::malloc(static_cast<size_t>(records) * sizeof(kelffa_item)));
  return p;
}

void kelffa__page_buffer_return(kelffa_item *items, uint64_t records) {
  free_page();
  if (!kelffa__listing_continuable()) {
    std::free(items);
    return;
  }
  s_page = items;
  s_page_records = records;
}

const char *kelffa__listing_cursor() {
  return s_cursor;
}

bool kelffa__listing_continuable() {
  return s_listing && s_more;
}

void kelffa__listing_end_page(char *owned_cursor, int more) {
  std::free(s_cursor);
  s_cursor = owned_cursor;
  s_more = more ? 1 : 0;
}

void kelffa__listing_stop() {
  s_more = 0;
  free_page();
}

kelffa__listing_mark kelffa__listing_mark_now() {
  text_mark t = texts_mark();
  return {s_count, t.block, t.used, s_rejected};
}

void kelffa__listing_rollback(const kelffa__listing_mark &m) {
  truncate_to(m.count, text_mark{static_cast<text_block *>(m.texts), m.texts_used});
  s_rejected = m.rejected;
  if (s_rejected == 0) {
    s_first_reason = "";
    s_first_name[0] = '\0';
  }
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

extern "C" int32_t kelffa_set_page_size(int32_t size) noexcept {
  if (static_cast<uint32_t>(size) - 1u >= kPageSizeMax)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "page size must be 1..%d",
                        static_cast<int>(kPageSizeMax));
  s_page_size = size;
  return KELFFA_OK;
}
