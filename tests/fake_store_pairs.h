// Every pair in the library's fake store, read through its vault table; for
// the unit tests and the allocation-failure sweep alike.
#ifndef KELMCAT_TESTS_FAKE_STORE_PAIRS_H
#define KELMCAT_TESTS_FAKE_STORE_PAIRS_H

#include <cstdlib>
#include <map>
#include <string>

#include "kelmcat.h"

namespace scantest {

inline std::map<std::string, std::string> fake_store() {
  const kelmcat_vault *v = kel_fake_vault();
  std::map<std::string, std::string> out;
  char **keys = nullptr;
  size_t n = 0;
  if (v->search_keys(v->ctx, "", &keys, &n) == 0) {
    for (size_t i = 0; i < n; ++i) {
      char *value = nullptr;
      if (v->get(v->ctx, keys[i], &value) == 0) out[keys[i]] = value ? value : "";
      std::free(value);
    }
  }
  for (size_t i = 0; keys && i < n; ++i) std::free(keys[i]);
  std::free(keys);
  return out;
}

}  // namespace scantest

#endif
