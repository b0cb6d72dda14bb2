// The growable text buffer, heap copies of texts and the constant empty text.
#ifndef KELMCAT_CORE_BUF_H
#define KELMCAT_CORE_BUF_H

#include <cstddef>
#include <cstdint>

// Always holds a NUL-terminated text once it has storage; a zeroed record is empty.
struct kel_buf {
  char *data;
  uint64_t len;
  uint64_t cap;
};

// Appends count bytes (NULL bytes or a count of 0 empties the buffer).
// Returns 0, or -1 when the buffer is null or cannot grow (then it is unchanged).
int kel_buf_add(kel_buf *b, const void *bytes, size_t count);
// Appends a text without its terminator; a NULL text empties the buffer.
int kel_buf_adds(kel_buf *b, const char *text);
void kel_buf_free(kel_buf *b);

// A malloc'ed copy, or NULL for a NULL text or when memory runs out.
char *kel_strdup(const char *s);
// A malloc'ed copy of exactly n bytes (which may be NULL when n is 0) and a
// terminator, or NULL when memory runs out.
char *kel_strndup(const char *s, size_t n);

// The constant empty text returned for "none".
extern const char kel_empty[1];

#endif
