// The results the layer keeps besides the listed entries: which one the listing
// JSON renders, the stat result and the result texts the layer owns.
#include <cstdlib>

#include "ffa/ffa_internal.h"

namespace {

int s_res_kind = KELFFA_RES_LISTING;
char *s_res_built = nullptr;
char *s_res_owned = nullptr;
kelffa_item s_got;
int32_t s_have_got = 0;

}  // namespace

int kelffa__result_kind() {
  return s_res_kind;
}

void kelffa__set_result_kind(int kind) {
  s_res_kind = kind;
}

void kelffa__set_result_owned(char *text) {
  std::free(s_res_owned);
  s_res_owned = text;
  s_res_kind = KELFFA_RES_OWNED;
}

const char *kelffa__result_owned() {
  return s_res_owned;
}

void kelffa__set_result_built(char *text) {
  std::free(s_res_built);
  s_res_built = text;
}

void kelffa__result_texts_free() {
  std::free(s_res_built);
  s_res_built = nullptr;
  std::free(s_res_owned);
  s_res_owned = nullptr;
}

int32_t kelffa__stat_keep(const kelffa_item *rec) {
  if (kelffa__item_copy(&s_got, rec) != KELFFA_OK) return KELFFA_ERR_OOM;
  s_have_got = 1;
  return KELFFA_OK;
}

void kelffa__stat_clear() {
  if (s_have_got) kelffa__item_free(&s_got);
  s_have_got = 0;
}

extern "C" const kelffa_item *kelffa_got(void) noexcept {
  return s_have_got ? &s_got : nullptr;
}
