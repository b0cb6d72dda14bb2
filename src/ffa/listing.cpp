// The layer's single paged listing: asking the open backend for pages and
// taking their entries.
#include <cstdlib>
#include <cstring>

#include "ffa/ffa_internal.h"

namespace {

constexpr size_t kGuards = 16;

// Its address marks the guard records that follow a page's cap records.
const char s_guard[] = "\x01kelffa-guard";

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
  const kelffa__listing_mark before = kelffa__listing_mark_now();
  const kelffa__folder folder = kelffa__listing_folder();
  for (uint64_t i = 0; i < pg.count; ++i) {
    if (kelffa__entry_probe) kelffa__entry_probe(i);
    if (kelffa__cancelled()) {
      kelffa__listing_rollback(before);
      std::free(cursor);
      return kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled during copy");
    }
    if (kelffa__listing_take(&items[i], folder) != KELFFA_OK) {
      // Roll the page back as for a cancel: the retry (same cursor) takes it whole.
      kelffa__listing_rollback(before);
      std::free(cursor);
      return kelffa__fail(KELFFA_ERR_OOM, "out of memory copying entries");
    }
  }
  kelffa__listing_end_page(cursor, pg.more);
  return KELFFA_OK;
}

int32_t fetch_page() {
  if (kelffa__cancelled()) return kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled");
  const kelffa_backend *open = kelffa__session();
  if (!open) return kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  const kelffa_backend b = *open;
  uint64_t n = static_cast<uint64_t>(kelffa__page_size());
  kelffa_item *items = kelffa__page_buffer_take(n + kGuards);
  if (!items)
    return kelffa__fail(KELFFA_ERR_OOM, "out of memory (page of %lu)",
                        static_cast<unsigned long>(n));
  // Every record is fresh again for each page, the guards included: the buffer
  // may hold what the backend wrote for the previous one.
  kelffa_item fresh;
  kelffa__item_fresh(&fresh);
  for (uint64_t i = 0; i < n + kGuards; ++i) items[i] = fresh;
  for (size_t g = 0; g < kGuards; ++g) items[n + g].name = s_guard;

  kelffa_page pg;
  std::memset(&pg, 0, sizeof pg);
  pg.struct_size = KELFFA_PAGE_V1_SIZE;
  pg.cursor = kelffa__listing_cursor();
  pg.items = items;
  pg.cap = n;
  pg.count = 0;
  pg.more = 0;
  pg.next_cursor = nullptr;
  pg.cancel = kelffa__cancel_flag();

  uint64_t seq = kelffa__fail_seq();
  const char *folder = kelffa__listing_path();
  int32_t rc = b.list(b.ctx, folder, &pg);
  if (rc == KELFFA_ERR_CANCELLED)
    rc = kelffa__fail(KELFFA_ERR_CANCELLED, "cancelled (backend)");
  else if (rc != KELFFA_OK)
    rc = kelffa__backend_result(rc, seq, "list", "list '%s': %s", kelffa__listing_path(),
                                kelffa_strerror(rc));
  else
    rc = take_page(pg, items, n);
  kelffa__page_buffer_return(items, n + kGuards);
  return rc;
}

}  // namespace

void (*kelffa__entry_probe)(uint64_t index) = nullptr;

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
  kelffa__listing_begin(path, open->id);
  kelffa__clear_error();
  int32_t rc = fetch_page();
  if (rc != KELFFA_OK) kelffa__listing_stop();
  return rc;
}

extern "C" int32_t kelffa_list_next(void) noexcept {
  if (!kelffa__session()) return -kelffa__fail(KELFFA_ERR_NOT_OPEN, "no open backend");
  if (!kelffa__listing_continuable()) return 0;
  int32_t rc = fetch_page();
  return rc != KELFFA_OK ? -rc : kelffa_more();
}

extern "C" int32_t kelffa_list_all(const char *folder) noexcept {
  int32_t rc = kelffa_list(folder);
  while (rc == KELFFA_OK && kelffa_more()) {
    int32_t r = kelffa_list_next();
    if (r < 0) rc = -r;
  }
  return rc;
}
