// Query-value escaping and the redaction of secrets in request URLs.
#include <cstdlib>
#include <cstring>

#include "match/escape.h"
#include "match/http.h"

namespace {

const char *const s_secret_keys[] = {"password=", "code=", "apikey=", "api_key="};
constexpr int SECRET_KEYS = 4;

// Appends n bytes; appending nothing must not empty what was built so far.
bool add(kel_buf *b, const char *p, size_t n) {
  return n == 0 || kel_buf_add(b, p, n) == 0;
}

}  // namespace

char *kel_query_escape(const char *text) {
  if (!text) return nullptr;
  static const char hex[] = "0123456789ABCDEF";
  size_t n = std::strlen(text);
  char *out = static_cast<char *>(std::malloc(n * 3 + 1));
  if (!out) return nullptr;
  char *w = out;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (kel_query_char_plain(c)) {
      *w++ = static_cast<char>(c);
    } else {
      *w++ = '%';
      *w++ = hex[c >> 4];
      *w++ = hex[c & 15];
    }
  }
  *w = '\0';
  return out;
}

char *kel_redact_url(const char *url) {
  if (!url) return kel_strdup("");
  kel_buf b{};
  bool ok = true;
  // Next occurrence of each key at or after pos (null: none left). A key is
  // searched again only once the scan has passed its cached occurrence.
  const char *next[SECRET_KEYS];
  for (int k = 0; k < SECRET_KEYS; k++) next[k] = std::strstr(url, s_secret_keys[k]);
  const char *pos = url;
  for (;;) {
    int best = -1;
    for (int k = 0; k < SECRET_KEYS; k++) {
      if (next[k] && next[k] < pos) next[k] = std::strstr(pos, s_secret_keys[k]);
      if (next[k] && (best < 0 || next[k] < next[best])) best = k;
    }
    if (best < 0) {
      ok = add(&b, pos, std::strlen(pos));
      break;
    }
    const char *hit = next[best];
    size_t klen = std::strlen(s_secret_keys[best]);
    ok = add(&b, pos, static_cast<size_t>(hit - pos)) && add(&b, hit, klen) && add(&b, "***", 3);
    if (!ok) break;
    const char *amp = std::strchr(hit + klen, '&');
    if (!amp) break;
    pos = amp;
  }
  char *res = (ok && b.data) ? kel_strdup(b.data) : nullptr;
  kel_buf_free(&b);
  return res ? res : kel_strdup("");
}
