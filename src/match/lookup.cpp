// Per-file requests: the title lookup on the matching service and the movie
// check on the catalogue service. Neither keeps any state.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/core_internal.h"
#include "core/json.h"
#include "match/escape.h"
#include "match/http.h"
#include "match/matcher.h"

namespace {

const char kLookupPath[] = "/api/lookup?id=";
const char kLookupTail[] = "&read=true&version=v2";

// Length of the longest prefix of name whose escaped form takes at most budget
// bytes and that does not end inside a UTF-8 sequence.
size_t escaped_prefix_len(const char *name, size_t budget) {
  size_t used = 0;
  size_t whole = 0;
  size_t i = 0;
  for (; name[i]; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if ((c & 0xC0) != 0x80) whole = i;
    used += kel_query_char_plain(c) ? 1u : 3u;
    if (used > budget) return whole;
  }
  return i;
}

// Appends the query escape of n bytes of text.
void add_escaped(kel_cat &c, const char *text, size_t n) {
  static const char hex[] = "0123456789ABCDEF";
  char chunk[96];
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char ch = static_cast<unsigned char>(text[i]);
    if (kel_query_char_plain(ch)) {
      chunk[used++] = static_cast<char>(ch);
    } else {
      chunk[used++] = '%';
      chunk[used++] = hex[ch >> 4];
      chunk[used++] = hex[ch & 15];
    }
    if (used > sizeof chunk - 3) {
      c.add(chunk, used);
      used = 0;
    }
  }
  c.add(chunk, used);
}

// The lookup URL in out[1024]. A name too long for the buffer is shortened
// at a character boundary, so the request keeps its whole escapes and its
// trailing parameters. Always true: building it needs no memory.
bool lookup_url(char (&out)[1024], const char *host, const char *name) {
  size_t host_len = std::strlen(host);
  size_t fixed = host_len + sizeof kLookupPath - 1 + sizeof kLookupTail - 1;
  size_t budget = fixed < sizeof out - 1 ? sizeof out - 1 - fixed : 0;
  kel_cat c(out, sizeof out);
  c.add(host, host_len);
  c.add(kLookupPath, sizeof kLookupPath - 1);
  add_escaped(c, name, escaped_prefix_len(name, budget));
  c.add(kLookupTail, sizeof kLookupTail - 1);
  c.end();
  return true;
}

int32_t http_code() {
  std::lock_guard<std::mutex> g(g_st.lock);
  return g_st.last_http_code;
}

// Reads a lookup answer: the id (a malloc'ed copy) and the TV-show flag.
int32_t read_lookup(const kel_buf &body, int32_t *is_tv, char **imdb_id) {
  kj::Doc doc;
  if (!doc.parse(body.data ? std::string_view(body.data, body.len) : std::string_view()))
    return KELMCAT_ERR_NO_MATCH;
  kj::Val root = doc.root();
  if (!root.is_obj()) return KELMCAT_ERR_NO_MATCH;
  kj::Val id = root.get("imDbId");
  if (!id.is_str()) return KELMCAT_ERR_NO_MATCH;
  // The id is handed on as a C text: it ends at a NUL byte.
  std::string_view text = id.str();
  size_t len = text.empty() ? 0 : strnlen(text.data(), text.size());
  if (len == 0) return KELMCAT_ERR_NO_MATCH;
  kj::Val tv = root.get("isTVShow");
  int32_t flag = tv.is_bool() ? (tv.is_true() ? 1 : 0) : -1;
  char *copy = kel_strndup(text.data(), len);
  if (!copy) return KELMCAT_ERR_NO_MATCH;
  if (is_tv) *is_tv = flag;
  if (imdb_id) {
    *imdb_id = copy;
  } else {
    std::free(copy);
  }
  return KELMCAT_OK;
}

// The IsMovie URL for a non-empty id in out[512]: 0, or KELMCAT_ERR_ARG when
// the id does not fit.
int32_t is_movie_url(char (&out)[512], const char *imdb_id) {
  char base[KEL_BASE_SIZE];
  kel_catalogue_base(base);
  kel_cat c(out, sizeof out);
  c.add(base);
  c.add("/api/AAA/IsMovie?imdbId=", 24);
  add_escaped(c, imdb_id, std::strlen(imdb_id));
  return c.end() >= sizeof out ? KELMCAT_ERR_ARG : KELMCAT_OK;
}

}  // namespace

int32_t kel_match_file(const char *name, int32_t *is_tv, char **imdb_id) {
  if (imdb_id) *imdb_id = nullptr;
  if (is_tv) *is_tv = -1;
  if (!name || !*name) {
    kel_set_error("empty lookup name");
    return KELMCAT_ERR_ARG;
  }
  char host[256];
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    std::memcpy(host, g_st.matcher_host, sizeof host);
  }
  host[sizeof host - 1] = '\0';
  if (!host[0]) {
    kel_set_error("matcher host not set");
    return KELMCAT_ERR_NO_IO;
  }
  kel_buf body{};
  try {
    char url[1024];
    lookup_url(url, host, name);
    int rc = kel_http_get(url, &body);
    if (rc != KELMCAT_OK) {
      kel_buf_free(&body);
      if (rc == KELMCAT_ERR_TRANSPORT) return KELMCAT_ERR_MATCHER_DOWN;
      if (rc == KELMCAT_ERR_HTTP)
        return http_code() == 404 ? KELMCAT_ERR_NO_MATCH : KELMCAT_ERR_HTTP;
      return rc;
    }
    rc = read_lookup(body, is_tv, imdb_id);
    kel_buf_free(&body);
    return rc;
  } catch (const std::bad_alloc &) {
    // Running out of memory while reading an answer leaves the file unmatched,
    // as a failed copy of the id does.
    kel_buf_free(&body);
    return KELMCAT_ERR_NO_MATCH;
  }
}

int32_t kel_is_movie(const char *imdb_id, int32_t *is_movie) {
  int32_t ignored = 1;
  if (!is_movie) is_movie = &ignored;
  *is_movie = 1;
  if (!imdb_id || !*imdb_id) {
    kel_set_error("empty imdb id");
    return KELMCAT_ERR_ARG;
  }
  char url[512];
  int32_t made = is_movie_url(url, imdb_id);
  if (made == KELMCAT_ERR_OOM) return made;
  // A cut URL would ask about another id.
  if (made != KELMCAT_OK) {
    kel_set_error("imdb id too long for the IsMovie request: %.*s", kel_cutw(imdb_id, 64), imdb_id);
    return KELMCAT_ERR_ARG;
  }
  kel_buf body{};
  int rc = kel_http_get(url, &body);
  if (rc != KELMCAT_OK) {
    kel_buf_free(&body);
    return rc == KELMCAT_ERR_TRANSPORT ? KELMCAT_ERR_MATCHER_DOWN : rc;
  }
  *is_movie = (body.len >= 4 && std::memcmp(body.data, "true", 4) == 0) ? 1 : 0;
  kel_buf_free(&body);
  return KELMCAT_OK;
}

bool kel_lookup_url(const char *name, char (&url)[1024]) {
  if (!name || !*name) return false;
  char host[256];
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    std::memcpy(host, g_st.matcher_host, sizeof host);
  }
  host[sizeof host - 1] = '\0';
  return host[0] && lookup_url(url, host, name);
}

bool kel_lookup_followup_url(const char *body, char (&url)[512]) {
  char *id = nullptr;
  int32_t is_tv = -1;
  try {
    kel_buf view{};
    view.data = const_cast<char *>(body ? body : "");
    view.len = std::strlen(view.data);
    if (read_lookup(view, &is_tv, &id) != KELMCAT_OK) return false;
  } catch (const std::bad_alloc &) {
    return false;
  }
  bool ask = is_tv != 1 && is_movie_url(url, id) == KELMCAT_OK;
  std::free(id);
  return ask;
}
