// UTF-8 decoding, well-formedness and cuts that never split a character, and
// the formatting helpers built on them.
#ifndef KELMCAT_CORE_UTF8_H
#define KELMCAT_CORE_UTF8_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define KEL_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Decodes the character at p, of which at most avail bytes may be read (a
// NUL-terminated text may pass SIZE_MAX: no byte after a NUL is read). Returns
// its length (1 to 4) and stores its code point in *cp, or 0 when the bytes are
// not one well-formed RFC 3629 character (overlong, surrogate, above U+10FFFF,
// cut short).
size_t kel_utf8_next(const unsigned char *p, size_t avail, uint32_t *cp);

// Length of the longest prefix of s[0..len) of at most max bytes that does not
// end inside a multi-byte UTF-8 sequence. Texts that fit are kept whole; ASCII
// is cut at exactly max bytes.
size_t kel_utf8_cut_len(const char *s, size_t len, size_t max);
// For "%.*s" arguments: the precision that shows at most max bytes of the
// NUL-terminated s (NULL counts as "") without splitting a character.
int kel_cutw(const char *s, size_t max);
// vsnprintf into out[size] and cut the result UTF-8-safely to size - 1 bytes.
void kel_vformat(char *out, size_t size, const char *fmt, va_list ap);
void kel_format(char *out, size_t size, const char *fmt, ...) KEL_PRINTF(3, 4);

// Builds a text from pieces into a fixed buffer, without printf: each add
// appends what still fits, and finishing cuts as the formatting helpers do.
// A null text is shown as "(null)", as printf's "%s" shows it.
struct kel_cat {
  char *out;
  size_t size;  // of out, terminator included (at least 1)
  size_t len;   // length of the full text, kept or not
  kel_cat(char *o, size_t n) : out(o), size(n), len(0) {}
  void add(const char *p, size_t n);
  void add(const char *s);
  void add_int(int64_t v);
  // Terminates the text, cut plainly to size - 1 bytes (as snprintf cuts);
  // returns its full length.
  size_t end();
  // Terminates the text, cut UTF-8-safely as kel_format cuts.
  void end_utf8();
};

// Decimal digits of v (with its sign) into buf; returns their count.
size_t kel_int_text(int64_t v, char (&buf)[24]);

// Copies the NUL-terminated s (NULL counts as "") into out[size], writing every
// byte that is not part of a well-formed character as "\xHH" (upper-case hex),
// so that the copy is always valid UTF-8. A copy that does not fit is cut
// before the first character or escape that would not fit whole. Returns the
// bytes written before the terminator.
size_t kel_utf8_escape(const char *s, char *out, size_t size);

// RFC 3629 well-formedness: no overlongs, no surrogates, nothing above U+10FFFF.
bool kel_utf8_valid(const char *s, size_t len);

#endif
