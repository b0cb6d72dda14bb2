// UTF-8 well-formedness and cuts that never split a character.
#include <cstdio>
#include <cstring>

#include "core/utf8.h"

namespace {

// Length of the sequence a lead byte announces; 0 for a byte that cannot lead.
size_t seq_len(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

}  // namespace

size_t kel_utf8_next(const unsigned char *p, size_t avail, uint32_t *cp) {
  if (avail == 0) return 0;
  unsigned char c = p[0];
  size_t n = seq_len(c);
  if (n == 0 || avail < n) return 0;
  if (n == 1) {
    *cp = c;
    return 1;
  }
  // The second byte's range depends on the lead: this rules out overlongs,
  // surrogates and code points above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (c == 0xE0) lo = 0xA0;
  if (c == 0xED) hi = 0x9F;
  if (c == 0xF0) lo = 0x90;
  if (c == 0xF4) hi = 0x8F;
  if (p[1] < lo || p[1] > hi) return 0;
  uint32_t v = c & (0x7Fu >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[k] & 0x3Fu);
  }
  *cp = v;
  return n;
}

bool kel_utf8_valid(const char *s, size_t len) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < len) {
    // Eight ASCII bytes at a time.
    while (len - i >= 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    // Fewer than eight bytes left: when the last eight bytes of the text are
    // ASCII, so are these.
    if (len - i < 8 && len >= 8) {
      uint64_t w;
      std::memcpy(&w, p + len - 8, 8);
      if (!(w & 0x8080808080808080ULL)) break;
    }
    while (i < len && p[i] < 0x80) ++i;
    if (i >= len) break;
    uint32_t cp;
    size_t n = kel_utf8_next(p + i, len - i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

size_t kel_utf8_cut_len(const char *s, size_t len, size_t max) {
  if (len <= max) return len;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  if ((p[max] & 0xC0) != 0x80) return max;  // the cut falls between characters
  // Walk back over the continuation bytes before the cut to the lead byte; drop
  // the character when its sequence runs past the cut.
  size_t j = max;
  while (j > 0 && max - j < 3 && (p[j - 1] & 0xC0) == 0x80) --j;
  if (j == 0) return max;
  size_t lead = j - 1;
  size_t n = seq_len(p[lead]);
  if (n > 1 && lead + n > max) return lead;
  return max;
}

int kel_cutw(const char *s, size_t max) {
  if (!s) return 0;
  size_t len = strnlen(s, max + 1);
  return static_cast<int>(kel_utf8_cut_len(s, len, max));
}

namespace {

// A text of len bytes was cut to the size - 1 bytes kept in out; the byte
// after them decides whether the cut split a character, and it is gone, so
// look at what was kept. Terminates out.
void cut_kept(char *out, size_t size) {
  size_t kept = size - 1;
  size_t j = kept;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(out);
  while (j > 0 && kept - j < 3 && (p[j - 1] & 0xC0) == 0x80) --j;
  if (j > 0) {
    size_t lead = j - 1;
    size_t sl = seq_len(p[lead]);
    if (sl > 1 && lead + sl > kept) kept = lead;
  }
  out[kept] = '\0';
}

}  // namespace

void kel_vformat(char *out, size_t size, const char *fmt, va_list ap) {
  if (!out || size == 0) return;
  int n = std::vsnprintf(out, size, fmt, ap);
  if (n < 0) {
    out[0] = '\0';
    return;
  }
  if (static_cast<size_t>(n) >= size) cut_kept(out, size);
}

void kel_cat::add(const char *p, size_t n) {
  if (len < size - 1) {
    size_t room = size - 1 - len;
    std::memcpy(out + len, p, n < room ? n : room);
  }
  len += n;
}

void kel_cat::add(const char *s) {
  if (!s) s = "(null)";
  add(s, std::strlen(s));
}

void kel_cat::add_int(int64_t v) {
  char buf[24];
  add(buf, kel_int_text(v, buf));
}

size_t kel_cat::end() {
  out[len < size ? len : size - 1] = '\0';
  return len;
}

void kel_cat::end_utf8() {
  if (len < size)
    out[len] = '\0';
  else
    cut_kept(out, size);
}

size_t kel_int_text(int64_t v, char (&buf)[24]) {
  // Two digits a step, from the right end of a scratch buffer.
  static const char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char digits[24];
  size_t at = sizeof digits;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  while (u >= 100) {
    const char *two = &pairs[(u % 100) * 2];
    u /= 100;
    digits[--at] = two[1];
    digits[--at] = two[0];
  }
  if (u >= 10) {
    digits[--at] = pairs[u * 2 + 1];
    digits[--at] = pairs[u * 2];
  } else {
    digits[--at] = static_cast<char>('0' + u);
  }
  size_t k = 0;
  if (v < 0) buf[k++] = '-';
  size_t n = sizeof digits - at;
  std::memcpy(buf + k, digits + at, n);
  return k + n;
}

size_t kel_utf8_escape(const char *s, char *out, size_t size) {
  if (!out || size == 0) return 0;
  static const char hex[] = "0123456789ABCDEF";
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s ? s : "");
  size_t o = 0;
  while (*p) {
    uint32_t cp;
    size_t n = kel_utf8_next(p, SIZE_MAX, &cp);
    if (n == 0) {
      if (size - o <= 4) break;
      out[o++] = '\\';
      out[o++] = 'x';
      out[o++] = hex[*p >> 4];
      out[o++] = hex[*p & 0x0F];
      ++p;
      continue;
    }
    if (size - o <= n) break;
    std::memcpy(out + o, p, n);
    o += n;
    p += n;
  }
  out[o] = '\0';
  return o;
}

void kel_format(char *out, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  kel_vformat(out, size, fmt, ap);
  va_end(ap);
}
