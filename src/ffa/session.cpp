// The one open backend session and the layer's cancel flag: open, close,
// unregistering, the layer's reset and cancellation.
#include <cstring>
#include <new>

#include "core/json.h"
#include "ffa/ffa_internal.h"

namespace {

// Slot of the open backend in the registry, or -1.
int32_t s_open = -1;
// Written by kelffa_cancel on any thread, read by the listing and by backends:
// accessed only with atomic builtins (relaxed: nothing else is published
// through it).
int32_t s_cancel = 0;

// Ends the session and drops what belongs to it; the last error, the cancel
// flag and the registry stay.
void close_session() {
  if (s_open >= 0) {
    kelffa_backend b = *kelffa__backend_at(s_open);
    s_open = -1;
    b.close(b.ctx);
  }
  kelffa__listing_release();
  kelffa__stat_clear();
  kelffa__set_result_kind(KELFFA_RES_LISTING);
}

bool config_is_object(const char *config) {
  kj::Doc doc;
  if (!doc.parse(config, std::strlen(config))) return false;
  return doc.root().is_obj();
}

}  // namespace

const kelffa_backend *kelffa__session() {
  return s_open >= 0 ? kelffa__backend_at(s_open) : nullptr;
}

int32_t kelffa__unregister(const char *id) {
  int32_t slot = kelffa__slot(id);
  if (slot < 0) return KELFFA_ERR_NO_BACKEND;
  if (slot == s_open) close_session();
  if (s_open > slot) --s_open;
  kelffa__registry_remove(slot);
  return KELFFA_OK;
}

int kelffa__cancelled() {
  return __atomic_load_n(&s_cancel, __ATOMIC_RELAXED) != 0;
}

void kelffa__cancel_clear() {
  __atomic_store_n(&s_cancel, 0, __ATOMIC_RELAXED);
}

const volatile int32_t *kelffa__cancel_flag() {
  return &s_cancel;
}

extern "C" int32_t kelffa_open(const char *id, const char *config_json) noexcept {
  const char *config = config_json ? config_json : "{}";
  close_session();
  kelffa__cancel_clear();
  int32_t slot = kelffa__slot(id);
  if (slot < 0) return kelffa__fail(KELFFA_ERR_NO_BACKEND, "no backend '%s'", id ? id : "(null)");
  try {
    if (!config_is_object(config))
      return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "config must be a JSON object");
  } catch (const std::bad_alloc &) {
    return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  }
  kelffa_backend b = *kelffa__backend_at(slot);
  uint64_t seq = kelffa__fail_seq();
  int32_t rc = b.open(b.ctx, config);
  rc = kelffa__backend_result(rc, seq, "open", "open '%s': %s", b.id, kelffa_strerror(rc));
  if (rc != KELFFA_OK) return rc;
  s_open = slot;
  kelffa__clear_error();
  return KELFFA_OK;
}

extern "C" void kelffa_close(void) noexcept {
  close_session();
}

extern "C" void kelffa_reset(void) noexcept {
  close_session();
  kelffa__registry_clear();
  kelffa__page_size_reset();
  kelffa__result_texts_free();
  kelffa__set_result_kind(KELFFA_RES_LISTING);
  kelffa__clear_error();
}

extern "C" void kelffa_cancel(void) noexcept {
  __atomic_store_n(&s_cancel, 1, __ATOMIC_RELAXED);
}
