// Per-file requests: the title lookup on the matching service and the movie
// check on the catalogue service. Neither keeps any state.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "core/core_internal.h"
#include "core/json.h"
#include "match/escape.h"
#include "match/http.h"
#include "match/matcher.h"

namespace {

const char kLookupPath[] = "/api/lookup?id=";
const char kLookupTail[] = "&read=true&version=v2";
const char kIsMoviePath[] = "/api/AAA/IsMovie?imdbId=";

// Writes the query escape of text (up to its NUL) from w on, stopping before
// the first character whose escape would pass limit, so that a cut never ends
// inside a UTF-8 sequence or an escape. Returns the end of what was written;
// *whole tells whether all of text was.
char *put_escaped(char *w, const char *limit, const char *text, bool *whole) {
  static const char hex[] = "0123456789ABCDEF";
  const char *p = text;
  char *kept = w;  // where the output of the character last begun starts
  for (;;) {
    // A run of plain bytes is copied at once. They are ASCII, so a cut may
    // fall between any two of them.
    const char *run = p;
    while (kel_query_char_plain(static_cast<unsigned char>(*p))) ++p;
    size_t n = static_cast<size_t>(p - run);
    size_t room = static_cast<size_t>(limit - w);
    if (n > room) {
      std::memcpy(w, run, room);
      *whole = false;
      return w + room;
    }
    std::memcpy(w, run, n);
    w += n;
    if (n) kept = w - 1;
    unsigned char c = static_cast<unsigned char>(*p);
    if (!c) break;
    // Then one byte that takes "%XX"; a continuation byte belongs to the
    // character begun before it.
    if ((c & 0xC0) != 0x80) kept = w;
    if (limit - w < 3) {
      *whole = false;
      return kept;
    }
    w[0] = '%';
    w[1] = hex[c >> 4];
    w[2] = hex[c & 15];
    w += 3;
    ++p;
  }
  *whole = true;
  return w;
}

// Writes a service's base and a request's path at w; returns where the
// request's parameters go.
template <size_t N>
char *put_base(char *w, const char *base, size_t base_len, const char (&path)[N]) {
  std::memcpy(w, base, base_len);
  w += base_len;
  std::memcpy(w, path, N - 1);
  return w + (N - 1);
}

// The lookup URL in out[1024]. A name too long for the buffer is shortened
// at a character boundary, so the request keeps its whole escapes and its
// trailing parameters. False when no matcher host is set.
bool lookup_url(char (&out)[1024], const kel_request_config &config, const char *name) {
  if (!config.matcher_host_len) return false;
  char *w = put_base(out, config.matcher_host, config.matcher_host_len, kLookupPath);
  bool whole;
  w = put_escaped(w, out + sizeof out - sizeof kLookupTail, name, &whole);
  std::memcpy(w, kLookupTail, sizeof kLookupTail);
  return true;
}

// Reads a lookup answer: the id (a malloc'ed copy) and the TV-show flag.
int32_t read_lookup(const char *body, int32_t *is_tv, char **imdb_id) {
  kj::Doc doc;
  if (!doc.parse(body, std::strlen(body))) return KELMCAT_ERR_NO_MATCH;
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
int32_t is_movie_url(char (&out)[512], const kel_request_config &config, const char *imdb_id) {
  char *w = put_base(out, config.catalogue_base, config.catalogue_base_len, kIsMoviePath);
  bool whole;
  w = put_escaped(w, out + sizeof out - 1, imdb_id, &whole);
  *w = '\0';
  return whole ? KELMCAT_OK : KELMCAT_ERR_ARG;
}

}  // namespace

int32_t kel_match_file(const char *name, int32_t *is_tv, char **imdb_id) {
  if (imdb_id) *imdb_id = nullptr;
  if (is_tv) *is_tv = -1;
  if (!name || !*name) {
    kel_set_error("empty lookup name");
    return KELMCAT_ERR_ARG;
  }
  char url[1024];
  if (!lookup_url(url, kel_request_config_now(), name)) {
    kel_set_error("matcher host not set");
    return KELMCAT_ERR_NO_IO;
  }
  try {
    kel_http_answer answer;
    int rc = kel_http_fetch(url, &answer);
    if (rc == KELMCAT_OK) return read_lookup(answer.body(), is_tv, imdb_id);
    if (rc == KELMCAT_ERR_TRANSPORT) return KELMCAT_ERR_MATCHER_DOWN;
    if (rc == KELMCAT_ERR_HTTP)
      return answer.status() == 404 ? KELMCAT_ERR_NO_MATCH : KELMCAT_ERR_HTTP;
    return rc;
  } catch (const std::bad_alloc &) {
    // Running out of memory while reading an answer leaves the file unmatched,
    // as a failed copy of the id does.
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
  // A cut URL would ask about another id.
  if (is_movie_url(url, kel_request_config_now(), imdb_id) != KELMCAT_OK) {
    kel_set_error("imdb id too long for the IsMovie request: %.*s", kel_cutw(imdb_id, 64), imdb_id);
    return KELMCAT_ERR_ARG;
  }
  kel_http_answer answer;
  int rc = kel_http_fetch(url, &answer);
  if (rc != KELMCAT_OK) return rc == KELMCAT_ERR_TRANSPORT ? KELMCAT_ERR_MATCHER_DOWN : rc;
  // Compared byte by byte: a shorter body differs at its NUL, never read past.
  const char *b = answer.body();
  *is_movie = b[0] == 't' && b[1] == 'r' && b[2] == 'u' && b[3] == 'e' ? 1 : 0;
  return KELMCAT_OK;
}

bool kel_lookup_url(const char *name, char (&url)[1024]) {
  if (!name || !*name) return false;
  return lookup_url(url, kel_request_config_now(), name);
}

bool kel_lookup_followup_url(const char *body, char (&url)[512]) {
  char *id = nullptr;
  int32_t is_tv = -1;
  try {
    if (read_lookup(body ? body : "", &is_tv, &id) != KELMCAT_OK) return false;
  } catch (const std::bad_alloc &) {
    return false;
  }
  bool ask = is_tv != 1 && is_movie_url(url, kel_request_config_now(), id) == KELMCAT_OK;
  std::free(id);
  return ask;
}
