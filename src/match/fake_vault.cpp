// The fake vault: a small in-memory key/value store, in insertion order, whose
// reads, writes and prefix searches are counted.
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "match/fake_store.h"
#include "match/http.h"

namespace {

constexpr int32_t MAX_KV = 4096;

struct kv {
  char *key;
  char *value;
};

kv s_kv[MAX_KV];
int32_t s_nkv = 0;
std::unordered_map<std::string, int32_t> s_kv_index;  // key -> position in s_kv
int32_t s_vault_calls[3] = {0, 0, 0};                 // reads, writes, prefix searches

// The store's write: replaces the value of an existing key, else appends.
int32_t store_write(const char *key, const char *value) {
  s_vault_calls[1]++;
  if (!value) value = "";
  try {
    auto it = s_kv_index.find(key);
    if (it != s_kv_index.end()) {
      char *copy = kel_strdup(value);
      if (!copy) return -1;
      std::free(s_kv[it->second].value);
      s_kv[it->second].value = copy;
      return 0;
    }
    if (s_nkv >= MAX_KV) return -1;
    kv e{kel_strdup(key), kel_strdup(value)};
    if (!e.key || !e.value) {
      std::free(e.key);
      std::free(e.value);
      return -1;
    }
    try {
      s_kv_index.emplace(key, s_nkv);
    } catch (const std::bad_alloc &) {
      std::free(e.key);
      std::free(e.value);
      return -1;
    }
    s_kv[s_nkv++] = e;
    return 0;
  } catch (const std::bad_alloc &) {
    return -1;
  }
}

int32_t vault_get(void *, const char *key, char **value) {
  s_vault_calls[0]++;
  if (value) *value = nullptr;
  if (!key || !value) return -1;
  try {
    auto it = s_kv_index.find(key);
    if (it == s_kv_index.end()) return 1;
    *value = kel_strdup(s_kv[it->second].value);
    return *value ? 0 : -1;
  } catch (const std::bad_alloc &) {
    return -1;
  }
}

int32_t vault_set(void *, const char *key, const char *value) {
  if (!key) {
    s_vault_calls[1]++;
    return -1;
  }
  return store_write(key, value);
}

int32_t vault_search(void *, const char *prefix, char ***keys, size_t *count) {
  s_vault_calls[2]++;
  if (keys) *keys = nullptr;
  if (count) *count = 0;
  if (!prefix || !keys || !count) return -1;
  size_t plen = std::strlen(prefix);
  size_t n = 0;
  for (int32_t i = 0; i < s_nkv; i++)
    if (std::strncmp(s_kv[i].key, prefix, plen) == 0) n++;
  if (n == 0) return 0;
  char **arr = static_cast<char **>(std::malloc(n * sizeof(char *)));
  if (!arr) return -1;
  size_t k = 0;
  for (int32_t i = 0; i < s_nkv && k < n; i++) {
    if (std::strncmp(s_kv[i].key, prefix, plen) != 0) continue;
    arr[k] = kel_strdup(s_kv[i].key);
    if (!arr[k]) {
      for (size_t j = 0; j < k; j++) std::free(arr[j]);
      std::free(arr);
      return -1;
    }
    k++;
  }
  *keys = arr;
  *count = n;
  return 0;
}

const kelmcat_vault s_vault = {nullptr, nullptr, vault_get, vault_set, vault_search, nullptr};

}  // namespace

void kel_fake_store_clear(void) {
  for (int32_t i = 0; i < s_nkv; i++) {
    std::free(s_kv[i].key);
    std::free(s_kv[i].value);
    s_kv[i] = kv{};
  }
  s_nkv = 0;
  std::unordered_map<std::string, int32_t>().swap(s_kv_index);
  for (int32_t &c : s_vault_calls) c = 0;
}

extern "C" {

KELMCAT_API int32_t kel_fake_vault_calls(int32_t index) noexcept {
  if (index < 0 || index > 2) return -1;
  return s_vault_calls[index];
}

KELMCAT_API int32_t kel_fake_vault_seed(const char *key, const char *value) noexcept {
  if (!key) {
    kel_set_error("null key");
    return KELMCAT_ERR_ARG;
  }
  return store_write(key, value);
}

KELMCAT_API const kelmcat_vault *kel_fake_vault(void) noexcept {
  return &s_vault;
}

}  // extern "C"
