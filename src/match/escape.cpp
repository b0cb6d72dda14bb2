// Query-value escaping and the redaction of secrets in request URLs.
#include <cstdlib>
#include <cstring>

#include "match/escape.h"
#include "match/http.h"

namespace {

const char *const s_secret_keys[] = {"password=", "code=", "apikey=", "api_key="};
constexpr int SECRET_KEYS = 4;

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

size_t kel_redact_url_to(const char *url, char *out, size_t size) {
  kel_cat c(out, size);
  if (!url) return c.end();
  // Every secret key ends with '=': each '=' is checked for a key ending
  // there. Keys hold neither '=' before their end nor '&', so the first key
  // found this way is the one that starts first, and none reaches back over
  // the '&' a search resumes at.
  const char *pos = url;
  const char *scan = url;
  for (;;) {
    const char *eq = std::strchr(scan, '=');
    if (!eq) {
      c.add(pos, std::strlen(pos));
      break;
    }
    const char *hit = nullptr;
    size_t klen = 0;
    size_t before = static_cast<size_t>(eq - url) + 1;
    for (int k = 0; k < SECRET_KEYS && !hit; k++) {
      klen = std::strlen(s_secret_keys[k]);
      if (klen <= before && std::memcmp(eq + 1 - klen, s_secret_keys[k], klen) == 0)
        hit = eq + 1 - klen;
    }
    if (!hit) {
      scan = eq + 1;
      continue;
    }
    c.add(pos, static_cast<size_t>(hit - pos));
    c.add(hit, klen);
    c.add("***", 3);
    const char *amp = std::strchr(eq + 1, '&');
    if (!amp) break;
    pos = scan = amp;
  }
  return c.end();
}

char *kel_redact_url(const char *url) {
  char first[512];
  size_t len = kel_redact_url_to(url, first, sizeof first);
  char *res = static_cast<char *>(std::malloc(len + 1));
  if (!res) return kel_strdup("");
  if (len < sizeof first)
    std::memcpy(res, first, len + 1);
  else
    kel_redact_url_to(url, res, len + 1);
  return res;
}
