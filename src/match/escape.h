// The bytes a query value carries unescaped, shared by the escaping and by
// the lookup URL's length budget.
#ifndef KELMCAT_MATCH_ESCAPE_H
#define KELMCAT_MATCH_ESCAPE_H

// True for the 66 bytes A-Z a-z 0-9 - . _ ~; every other byte takes "%XX".
inline bool kel_query_char_plain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

#endif
