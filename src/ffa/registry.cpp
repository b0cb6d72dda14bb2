// The backend registry: the table of registered storage backends.
#include <cstdlib>
#include <cstring>

#include "ffa/ffa_internal.h"

static_assert(sizeof(kelffa_item) == KELFFA_ITEM_V1_SIZE, "kelffa_item v1 layout");
static_assert(sizeof(kelffa_page) == KELFFA_PAGE_V1_SIZE, "kelffa_page v1 layout");
static_assert(sizeof(kelffa_backend) == KELFFA_BACKEND_V1_SIZE, "kelffa_backend v1 layout");

namespace {

constexpr int32_t kSlots = 64;
constexpr size_t kIdMax = 32;
constexpr uint32_t kKnownCaps = 0x1F;

// Each stored table's id points at the registry's own heap copy of it.
kelffa_backend s_reg[kSlots];
int32_t s_reg_n = 0;

int32_t find_slot(const char *id) {
  if (!id) return -1;
  for (int32_t i = 0; i < s_reg_n; ++i)
    if (std::strcmp(s_reg[i].id, id) == 0) return i;
  return -1;
}

bool id_ok(const char *id) {
  if (!id) return false;
  size_t n = strnlen(id, kIdMax + 1);
  if (n == 0 || n > kIdMax) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = id[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (i > 0 && c == '-');
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int32_t kelffa__slot(const char *id) {
  return find_slot(id);
}

const kelffa_backend *kelffa__backend_at(int32_t slot) {
  return &s_reg[slot];
}

const kelffa_backend *kelffa__find(const char *id) {
  int32_t slot = find_slot(id);
  return slot < 0 ? nullptr : &s_reg[slot];
}

void kelffa__registry_remove(int32_t slot) {
  std::free(const_cast<char *>(s_reg[slot].id));
  std::memmove(&s_reg[slot], &s_reg[slot + 1],
               sizeof(kelffa_backend) * static_cast<size_t>(s_reg_n - slot - 1));
  --s_reg_n;
  std::memset(&s_reg[s_reg_n], 0, sizeof(kelffa_backend));
}

void kelffa__registry_clear() {
  for (int32_t i = 0; i < s_reg_n; ++i) std::free(const_cast<char *>(s_reg[i].id));
  std::memset(s_reg, 0, sizeof s_reg);
  s_reg_n = 0;
}

extern "C" int32_t kelffa_register(const kelffa_backend *backend) noexcept {
  if (!backend) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register: NULL backend");
  if (backend->struct_size < KELFFA_BACKEND_V1_SIZE)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register: struct_size %u < v1 size %u",
                        backend->struct_size, KELFFA_BACKEND_V1_SIZE);
  // The table is at least v1 sized: read exactly the part this version knows.
  kelffa_backend b;
  std::memcpy(&b, backend, sizeof b);
  if (!id_ok(b.id))
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register: id must match [a-z0-9][a-z0-9-]{0,31}");
  if (!b.open || !b.list || !b.locator || !b.close)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register '%s': open/list/locator/close required",
                        b.id);
  if (b.caps & ~kKnownCaps)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register '%s': unknown capability bits 0x%x", b.id,
                        b.caps & ~kKnownCaps);
  if ((b.caps & CAP_STAT) && !b.stat)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register '%s': CAP_STAT without stat()", b.id);
  if (find_slot(b.id) >= 0)
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "register: id '%s' already registered", b.id);
  if (s_reg_n >= kSlots)
    return kelffa__fail(KELFFA_ERR_OOM, "register: registry full (%d)", static_cast<int>(kSlots));
  char *id = kel_strdup(b.id);
  if (!id) return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  b.struct_size = KELFFA_BACKEND_V1_SIZE;
  b.id = id;
  if (!(b.caps & CAP_STAT)) b.stat = nullptr;
  s_reg[s_reg_n++] = b;
  kelffa__clear_error();
  return KELFFA_OK;
}

extern "C" int32_t kelffa_backend_count(void) noexcept {
  return s_reg_n;
}

extern "C" const char *kelffa_backend_id(int32_t index) noexcept {
  if (index < 0 || index >= s_reg_n) return "";
  return s_reg[index].id;
}

extern "C" int32_t kelffa_backend_caps(int32_t index) noexcept {
  if (index < 0 || index >= s_reg_n) return -1;
  return static_cast<int32_t>(s_reg[index].caps);
}
