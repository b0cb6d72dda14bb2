// The fake tree served as the storage backend "fake": the five backend
// operations, capability switches, fault injection and call counters.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/json.h"
#include "ffa/fake_tree.h"
#include "ffa/ffa_internal.h"
#include "kelmcat.h"

namespace {

// Operation numbers: index into s_fault and s_calls.
enum { OP_OPEN = 1, OP_LIST = 2, OP_LIST_NEXT = 3, OP_STAT = 4, OP_LOCATOR = 5, OP_CANCEL = 6 };

constexpr uint32_t kKnownCaps = 0x1Fu;
// A cursor value above this cannot take one more decimal digit in 64 bits.
constexpr uint64_t kCursorBound = 1844674407370955151ull;
constexpr const char *kSmallestTree = "{\"name\":\"\",\"children\":[]}";

int32_t s_is_open = 0;
uint64_t s_page_limit = 0;
uint32_t s_caps = 0x0Fu;
int32_t s_fault[8] = {};
uint32_t s_calls[8] = {};
char s_cursor_buf[32] = {};

bool cancel_raised(const kelffa_page *page) {
  return page->cancel && __atomic_load_n(page->cancel, __ATOMIC_RELAXED) != 0;
}

// The presence bits the capability switches let a record carry.
uint32_t reported_fields() {
  uint32_t f = ~0u;
  if (!(s_caps & CAP_META)) f &= ~(F_TITLE | F_YEAR);
  if (!(s_caps & CAP_IDS)) f &= ~F_ID;
  return f;
}

// Fills a record from a node, with the node's presence bits that `reported`
// lets through; the strings are the tree's own.
void fill(kelffa_item *it, const fake_node *n, uint32_t reported) {
  it->name = n->name;
  it->path = n->path;
  it->is_folder = n->is_folder;
  it->size = n->size;
  it->mtime_ms = n->mtime_ms;
  it->title = n->title;
  it->year = n->year;
  it->id = n->id;
  it->locator = nullptr;
  it->fields = n->fields & reported;
}

int32_t fake_open(void *, const char *config) {
  ++s_calls[OP_OPEN];
  if (s_fault[OP_OPEN] != 0) return s_fault[OP_OPEN];
  try {
    kj::Doc doc;
    if (!config || !doc.parse(config, std::strlen(config))) return KELFFA_ERR_BAD_CONFIG;
    uint64_t limit = 0;
    kj::Val ps = doc.root().get("page_size");
    if (ps.valid()) {
      if (ps.is_sint() && ps.get_sint() > 0)
        limit = static_cast<uint64_t>(ps.get_sint());
      else if (ps.is_uint() && ps.get_uint() > 0)
        limit = ps.get_uint();
      else
        return KELFFA_ERR_BAD_CONFIG;
    }
    s_page_limit = limit;
  } catch (const std::bad_alloc &) {
    return KELFFA_ERR_OOM;
  }
  if (!tree_exists() && kelffa_fake_load_tree(kSmallestTree) != 0) return KELFFA_ERR_OOM;
  s_is_open = 1;
  return 0;
}

int32_t fake_list(void *, const char *folder, kelffa_page *page) {
  ++s_calls[OP_LIST];
  if (!s_is_open) return KELFFA_ERR_NOT_OPEN;
  if (!page || !page->items || page->cap == 0 || !folder) return KELFFA_ERR_INVALID_ARG;

  uint64_t start = 0;
  if (page->cursor) {
    for (const char *c = page->cursor; *c; ++c) {
      if (*c < '0' || *c > '9' || start > kCursorBound) return KELFFA_ERR_INVALID_ARG;
      start = start * 10 + static_cast<uint64_t>(*c - '0');
    }
  }
  int32_t fault = s_fault[OP_LIST];
  if (start > 0) {
    ++s_calls[OP_LIST_NEXT];
    fault = s_fault[OP_LIST_NEXT];
  }
  if (fault != 0) return fault;

  int32_t ni = find_node(folder);
  if (ni < 0) return KELFFA_ERR_NOT_FOUND;
  const fake_node *dir = node_at(ni);
  if (dir->is_folder == 0) return KELFFA_ERR_INVALID_ARG;
  if (start > dir->kid_count) return KELFFA_ERR_INVALID_ARG;

  uint64_t limit = page->cap;
  if (s_page_limit != 0 && s_page_limit < limit) limit = s_page_limit;
  page->count = 0;
  const int32_t trigger = s_fault[OP_CANCEL];
  const uint32_t reported = reported_fields();
  while (start < dir->kid_count && page->count < limit) {
    if (trigger > 0 && page->count == static_cast<uint64_t>(trigger)) {
      s_fault[OP_CANCEL] = 0;
      kelffa_cancel();
    }
    if (cancel_raised(page)) return KELFFA_ERR_CANCELLED;
    fill(&page->items[page->count], node_at(dir->kids[start]), reported);
    ++page->count;
    ++start;
  }
  if (cancel_raised(page)) return KELFFA_ERR_CANCELLED;

  page->more = start < dir->kid_count ? 1 : 0;
  if (page->more) {
    std::snprintf(s_cursor_buf, sizeof s_cursor_buf, "%llu",
                  static_cast<unsigned long long>(start));
    page->next_cursor = s_cursor_buf;
  } else {
    page->next_cursor = nullptr;
  }
  return 0;
}

int32_t fake_stat(void *, const char *path, kelffa_item *item) {
  ++s_calls[OP_STAT];
  if (!s_is_open) return KELFFA_ERR_NOT_OPEN;
  if (s_fault[OP_STAT] != 0) return s_fault[OP_STAT];
  if (!(s_caps & CAP_STAT)) return KELFFA_ERR_UNSUPPORTED;
  if (!path || !item) return KELFFA_ERR_INVALID_ARG;
  int32_t ni = find_node(path);
  if (ni < 0) return KELFFA_ERR_NOT_FOUND;
  fill(item, node_at(ni), reported_fields());
  return 0;
}

int32_t fake_locator(void *, const char *path, char *buf, uint64_t size) {
  ++s_calls[OP_LOCATOR];
  if (!s_is_open) return KELFFA_ERR_NOT_OPEN;
  if (s_fault[OP_LOCATOR] != 0) return s_fault[OP_LOCATOR];
  if (!path || !buf) return KELFFA_ERR_INVALID_ARG;
  int32_t ni = find_node(path);
  if (ni < 0) return KELFFA_ERR_NOT_FOUND;
  const fake_node *n = node_at(ni);
  if (n->is_folder != 0) return KELFFA_ERR_INVALID_ARG;
  size_t len = std::strlen(n->path);
  if (size < len + 8) return KELFFA_ERR_INVALID_ARG;
  std::memcpy(buf, "fake://", 7);
  std::memcpy(buf + 7, n->path, len + 1);
  return 0;
}

void fake_close(void *) {
  s_is_open = 0;
}

}  // namespace

extern "C" KELMCAT_API int32_t kelffa_fake_register(void) noexcept {
  if (kelffa__find("fake")) kelffa__unregister("fake");
  kelffa_backend b;
  std::memset(&b, 0, sizeof b);
  b.struct_size = KELFFA_BACKEND_V1_SIZE;
  b.id = "fake";
  b.caps = s_caps;
  b.ctx = nullptr;
  b.open = fake_open;
  b.list = fake_list;
  b.stat = fake_stat;
  b.locator = fake_locator;
  b.close = fake_close;
  return kelffa_register(&b);
}

extern "C" KELMCAT_API int32_t kelffa_fake_set_caps(uint32_t caps) noexcept {
  if (caps & ~kKnownCaps) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "unknown capability bits");
  s_caps = caps;
  if (kelffa__find("fake")) return kelffa_fake_register();
  return 0;
}

extern "C" KELMCAT_API int32_t kelffa_fake_set_fault(int32_t op, int32_t code) noexcept {
  if (op == 0) {
    std::memset(s_fault, 0, sizeof s_fault);
    std::memset(s_calls, 0, sizeof s_calls);
    return 0;
  }
  if (op < 1 || op > OP_CANCEL)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "unknown fault op %d", op);
  s_fault[op] = code;
  return 0;
}

extern "C" KELMCAT_API int32_t kelffa_fake_calls(int32_t op) noexcept {
  if (op < 1 || op > OP_CANCEL) return -1;
  return static_cast<int32_t>(s_calls[op]);
}
