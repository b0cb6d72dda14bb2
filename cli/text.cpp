#include "text.h"

#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

// Length of the well-formed UTF-8 sequence at the start of s, or 0.
size_t utf8_sequence(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07u;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b(i) & 0x3Fu);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  // C1 controls
  if (cp >= 0x80 && cp < 0xA0) return 0;
  return n;
}

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text[0]);
    size_t n = (c < 0x20 || c == 0x7F) ? 0 : utf8_sequence(text);
    if (n == 0) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
      n = 1;
    } else {
      out.append(text.data(), n);
    }
    text.remove_prefix(n);
  }
  return out;
}

size_t columns(std::string_view text) {
  size_t n = 0;
  for (char c : text) {
    if (!is_continuation(c)) ++n;
  }
  return n;
}

std::string tail_fitting(std::string_view text, size_t width) {
  if (columns(text) <= width) return std::string(text);
  if (width <= 3) return std::string(width, '.');
  size_t keep = width - 3;
  size_t start = text.size();
  while (start > 0 && keep > 0) {
    --start;
    while (start > 0 && is_continuation(text[start])) --start;
    --keep;
  }
  return "..." + std::string(text.substr(start));
}

std::string pad(std::string_view text, size_t width) {
  std::string out(text);
  size_t n = columns(text);
  if (n < width) out.append(width - n, ' ');
  return out;
}

}  // namespace cli
