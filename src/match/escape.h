// The bytes a query value carries unescaped, shared by the escaping and by
// the lookup URL's length budget.
#ifndef KELMCAT_MATCH_ESCAPE_H
#define KELMCAT_MATCH_ESCAPE_H

#include <array>

// The 66 bytes A-Z a-z 0-9 - . _ ~; every other byte takes "%XX".
constexpr bool kel_query_plain_rule(unsigned c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The rule above for every byte, so that escaping costs one load per byte.
constexpr std::array<bool, 256> kel_query_plain_table() {
  std::array<bool, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = kel_query_plain_rule(c);
  return table;
}
inline constexpr std::array<bool, 256> kel_query_plain = kel_query_plain_table();

inline bool kel_query_char_plain(unsigned char c) {
  return kel_query_plain[c];
}

#endif
