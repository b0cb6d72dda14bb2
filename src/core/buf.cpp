// The growable text buffer, heap copies and the constant empty text.
#include <cstdlib>
#include <cstring>

#include "core/buf.h"

const char kel_empty[1] = {'\0'};

int kel_buf_add(kel_buf *b, const void *bytes, size_t count) {
  if (!b) return -1;
  if (!bytes || count == 0) {
    if (!b->data) {
      char *p = static_cast<char *>(std::malloc(8));
      if (!p) return -1;
      b->data = p;
      b->cap = 8;
    }
    b->data[0] = '\0';
    b->len = 0;
    return 0;
  }
  // len + count + 1 must fit; guard the sum itself against wrapping.
  if (count > UINT64_MAX - 1 - b->len) return -1;
  uint64_t need = b->len + count + 1;
  if (need > b->cap) {
    uint64_t cap;
    if (b->data) {
      cap = b->cap ? b->cap : 1;
      while (cap < need) {
        if (cap > UINT64_MAX / 2) return -1;
        cap *= 2;
      }
    } else if (need <= 256) {
      cap = 256;
    } else {
      cap = 512;
      while (cap < need) {
        if (cap > UINT64_MAX / 2) return -1;
        cap *= 2;
      }
    }
    if (cap > SIZE_MAX) return -1;
    char *p = static_cast<char *>(std::realloc(b->data, static_cast<size_t>(cap)));
    if (!p) return -1;
    b->data = p;
    b->cap = cap;
  }
  std::memcpy(b->data + b->len, bytes, count);
  b->len += count;
  b->data[b->len] = '\0';
  return 0;
}

int kel_buf_adds(kel_buf *b, const char *text) {
  return kel_buf_add(b, text, text ? std::strlen(text) : 0);
}

void kel_buf_free(kel_buf *b) {
  if (!b) return;
  std::free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

char *kel_strndup(const char *s, size_t n) {
  if (n == SIZE_MAX) return nullptr;
  char *p = static_cast<char *>(std::malloc(n + 1));
  if (!p) return nullptr;
  if (n) std::memcpy(p, s, n);
  p[n] = '\0';
  return p;
}

char *kel_strdup(const char *s) {
  if (!s) return nullptr;
  size_t n = std::strlen(s) + 1;
  char *p = static_cast<char *>(std::malloc(n));
  if (p) std::memcpy(p, s, n);
  return p;
}
