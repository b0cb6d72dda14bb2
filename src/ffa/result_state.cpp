// Which result the listing JSON renders, and the result texts the layer owns.
#include <cstdlib>

#include "ffa/ffa_internal.h"

namespace {

int s_res_kind = KELFFA_RES_LISTING;
char *s_res_built = nullptr;
char *s_res_owned = nullptr;

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
