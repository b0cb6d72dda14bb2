// Per-scan preloads from the media-index service: the user's corrections and
// the set of file keys already indexed. Both keep every entry in response
// order; a hash index on the side answers each query in constant time on
// average with the same result a front-to-back search would give.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/core_internal.h"
#include "core/flat_map.h"
#include "core/grow.h"
#include "core/json.h"
#include "match/http.h"
#include "match/matcher.h"

namespace {

struct Correction {
  char *key;
  char *imdb_id;
};

Correction *s_corr = nullptr;
size_t s_ncorr = 0;
size_t s_capcorr = 0;
// Key -> IMDb id of the first pair with that key. The views point into the
// heap keys of s_corr, which never move.
kel::FlatMap<const char *> s_corr_first;

// The indexed keys. Their bytes live back to back in s_indexed_bytes, in
// response order, sized for the whole response before the first key is
// stored, so the set's views never move.
char *s_indexed_bytes = nullptr;
size_t s_indexed_used = 0;
size_t s_indexed_room = 0;
kel::FlatMap<bool> s_indexed_keys;

char *copy_bytes(std::string_view s) {
  return kel_strndup(s.data(), s.size());
}

void corrections_free() {
  for (size_t i = 0; i < s_ncorr; ++i) {
    std::free(s_corr[i].key);
    std::free(s_corr[i].imdb_id);
  }
  std::free(s_corr);
  s_corr = nullptr;
  s_ncorr = s_capcorr = 0;
  s_corr_first.clear();
}

void indexed_clear() {
  std::free(s_indexed_bytes);
  s_indexed_bytes = nullptr;
  s_indexed_used = s_indexed_room = 0;
  s_indexed_keys.clear();
}

// Appends one pair. Returns false when memory runs out (the table is unchanged).
bool add_correction(std::string_view key, std::string_view imdb_id) {
  if (!kel_grow(s_corr, s_ncorr, s_capcorr, size_t{256}, SIZE_MAX)) return false;
  char *k = copy_bytes(key);
  char *v = copy_bytes(imdb_id);
  if (!k || !v) {
    std::free(k);
    std::free(v);
    return false;
  }
  try {
    s_corr_first.insert(std::string_view(k, key.size()), v);
  } catch (const std::bad_alloc &) {
    std::free(k);
    std::free(v);
    return false;
  }
  s_corr[s_ncorr++] = Correction{k, v};
  return true;
}

// Appends a copy of the key (with a terminator) to the key bytes, which have
// room for it.
bool add_indexed(std::string_view key) {
  if (s_indexed_room - s_indexed_used < key.size() + 1) return false;
  char *k = s_indexed_bytes + s_indexed_used;
  std::memcpy(k, key.data(), key.size());
  k[key.size()] = '\0';
  try {
    // A key holding a NUL byte is kept whole, so it can never equal a queried text.
    s_indexed_keys.insert(std::string_view(k, key.size()), true);
  } catch (const std::bad_alloc &) {
    return false;
  }
  s_indexed_used += key.size() + 1;
  return true;
}

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A member name as shown in a warning: a NUL-terminated copy of its first
// bytes, enough for a 24-byte cut that never splits a character.
std::string shown_key(std::string_view key) {
  return std::string(key.substr(0, 32));
}

// Parses the answer's body and hands it back to the IO table at once.
bool parse_answer(kj::Doc &doc, kel_http_answer &answer) {
  const char *body = answer.body();
  bool parsed = doc.parse(body, std::strlen(body));
  answer.reset();
  return parsed;
}

int32_t load_corrections(kel_http_answer &answer) {
  kj::Doc doc;
  bool parsed = parse_answer(doc, answer);
  kj::Val root = doc.root();
  if (!parsed || !root.is_obj()) {
    kel_set_error("Corrections response is not a JSON object");
    return KELMCAT_ERR_HTTP;
  }
  for (size_t i = 0, n = root.size(); i < n; ++i) {
    std::string_view key = root.key_at(i);
    kj::Val val = root.val_at(i);
    if (!val.is_str()) {
      if (!key.empty()) {
        std::string k = shown_key(key);
        kel_add_warning("Corrections: null value for key %.*s skipped", kel_cutw(k.c_str(), 24),
                        k.c_str());
      }
      continue;
    }
    // The id is used as a C text: a value that starts with a NUL byte is empty.
    std::string_view id = val.str();
    if (!id.empty()) id = id.substr(0, strnlen(id.data(), id.size()));
    if (key.empty() || id.empty()) continue;
    if (!all_digits(key)) {
      std::string k = shown_key(key);
      kel_add_warning("Corrections: non-numeric key %.*s skipped", kel_cutw(k.c_str(), 24),
                      k.c_str());
      continue;
    }
    if (!add_correction(key, id)) return KELMCAT_ERR_OOM;
  }
  return KELMCAT_OK;
}

int32_t load_indexed(kel_http_answer &answer) {
  kj::Doc doc;
  bool parsed = parse_answer(doc, answer);
  kj::Val root = doc.root();
  if (!parsed || !root.is_arr()) {
    kel_set_error("Find response is not an array");
    return KELMCAT_ERR_HTTP;
  }
  // Room for every key first: the set's views point into it. Elements that
  // are not strings read as empty ones, which are left out.
  size_t n = root.size(), bytes = 0, keys = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t len = root.at(i).str().size();
    if (len == 0) continue;
    bytes += len + 1;
    ++keys;
  }
  if (bytes > 0) {
    s_indexed_bytes = static_cast<char *>(std::malloc(bytes));
    if (!s_indexed_bytes) return KELMCAT_ERR_OOM;
    s_indexed_room = bytes;
    s_indexed_keys.reserve(keys);
  }
  for (size_t i = 0; i < n; ++i) {
    std::string_view key = root.at(i).str();
    if (key.empty()) continue;
    if (!add_indexed(key)) return KELMCAT_ERR_OOM;
  }
  return KELMCAT_OK;
}

}  // namespace

void kel_matcher_state_reset(void) {
  corrections_free();
  indexed_clear();
}

int32_t kel_corrections_load(void) {
  kel_matcher_state_reset();
  char base[KEL_BASE_SIZE];
  kel_media_index_base(base);
  char url[KEL_BASE_SIZE + 32];
  std::snprintf(url, sizeof url, "%s/api/MediaIndex/Corrections", base);
  kel_http_answer answer;
  int rc = kel_http_fetch(url, &answer);
  if (rc != KELMCAT_OK) return rc;
  try {
    return load_corrections(answer);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}

const char *kel_corrections_get(const char *key) {
  if (!key || s_ncorr == 0) return nullptr;
  const char *const *id = s_corr_first.find(std::string_view(key));
  return id ? *id : nullptr;
}

int32_t kel_find_indexed(const char *user_id, const char *runtime_id) {
  indexed_clear();
  char *user = kel_query_escape(user_id ? user_id : "");
  char *runtime = kel_query_escape(runtime_id ? runtime_id : "");
  if (!user || !runtime) {
    std::free(user);
    std::free(runtime);
    return KELMCAT_ERR_OOM;
  }
  char base[KEL_BASE_SIZE];
  kel_media_index_base(base);
  char url[1024];
  int n = std::snprintf(url, sizeof url, "%s/api/MediaIndex/Find?userId=%s&runtimeId=%s", base,
                        user, runtime);
  std::free(user);
  std::free(runtime);
  // A cut URL would ask for another user's (or configuration's) files.
  if (n < 0 || static_cast<size_t>(n) >= sizeof url) {
    kel_set_error("Find request too long: user id and runtime config id exceed the URL buffer");
    return KELMCAT_ERR_ARG;
  }
  kel_http_answer answer;
  int rc = kel_http_fetch(url, &answer);
  if (rc != KELMCAT_OK) return rc;
  try {
    return load_indexed(answer);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}

int32_t kel_indexed_has(const char *key) {
  if (!key || s_indexed_keys.size() == 0) return 0;
  return s_indexed_keys.find(std::string_view(key)) ? 1 : 0;
}
