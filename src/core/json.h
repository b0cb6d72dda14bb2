// The library's one JSON module. Nothing else includes the parser library, so
// switching the parser touches json.cpp alone.
//
// Reading: a Doc owns a parsed document; Val is a cheap, non-owning handle to a
// value inside it (valid while the Doc lives). Parsing is always iterative, so no
// input can exhaust the stack. Strict mode rejects invalid UTF-8, comments,
// trailing commas, a byte-order mark and trailing content; lenient mode differs
// only in keeping invalid UTF-8 byte for byte.
//
// Writing: Writer builds compact JSON text. Any string or key that is not
// well-formed UTF-8 makes the whole output fail (ok() turns false).
//
// Memory: parsing and every writing call throw
// std::bad_alloc when memory runs out, and do nothing worse; the caller turns
// that into its own outcome. A Doc or Writer that threw is only fit to be
// destroyed (or, for a Doc, to parse again).
#ifndef KELMCAT_CORE_JSON_H
#define KELMCAT_CORE_JSON_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kj {

class Val {
 public:
  Val() = default;

  // False for the handle of a missing member or an out-of-range element.
  bool valid() const { return v_ != nullptr; }

  bool is_null() const;
  bool is_bool() const;
  bool is_true() const;
  bool is_false() const;
  // An integer: a number written without fraction or exponent that fits a
  // signed or an unsigned 64-bit value.
  bool is_int() const;
  bool is_sint() const;  // fits int64_t
  bool is_uint() const;  // fits uint64_t
  bool is_real() const;  // any other number
  bool is_num() const;
  bool is_str() const;
  bool is_arr() const;
  bool is_obj() const;

  bool get_bool() const;      // false unless a boolean true
  int64_t get_sint() const;   // 0 unless is_sint()
  uint64_t get_uint() const;  // 0 unless is_uint()
  double get_real() const;    // any number as a double, else 0
  // The string's bytes (may hold NUL bytes); empty unless a string.
  std::string_view str() const;

  // Elements of an array or members of an object; 0 for anything else.
  size_t size() const;
  Val at(size_t i) const;  // array element i
  // Object member i, in document order (duplicates kept).
  std::string_view key_at(size_t i) const;
  Val val_at(size_t i) const;
  // The first member of that name in document order, or an invalid handle.
  Val get(std::string_view name) const;
  // get() of each of n names at once, in one pass over the members: out[i]
  // is the first member named names[i].
  void get_many(const std::string_view *names, size_t n, Val *out) const;

 private:
  friend class Doc;
  friend class Writer;
  explicit Val(const void *v) : v_(v) {}
  const void *v_ = nullptr;
};

enum class Mode { strict, allow_invalid_unicode };

class Doc {
 public:
  Doc();
  ~Doc();
  Doc(const Doc &) = delete;
  Doc &operator=(const Doc &) = delete;

  // Parses len bytes of text. Returns false (and holds nothing) when the text
  // is not one well-formed JSON value. May throw std::bad_alloc.
  bool parse(const char *text, size_t len, Mode mode = Mode::strict);
  bool parse(std::string_view text, Mode mode = Mode::strict) {
    return parse(text.data(), text.size(), mode);
  }
  Val root() const;
  // Where the last failed parse stopped: the offset of the byte the text went
  // wrong at (0 for a byte-order mark), or SIZE_MAX when it was refused as a
  // whole (an escape that is not UTF-8). 0 after a successful parse.
  size_t error_offset() const { return err_; }

 private:
  struct Impl;
  // The parsed document lives in the Doc itself: reading one needs no heap
  // block for it (the document's values and a long text's copy still may).
  static constexpr size_t kSpace = 4096;
  Impl *impl_ = nullptr;
  size_t err_ = 0;
  alignas(16) unsigned char space_[kSpace];
  void clear();
};

// A member name fixed in the program. One that is printable ASCII with
// nothing to escape is written as it stands, with no check at all; declare it
// constexpr and that is decided when the program is built. Any other name is
// checked and escaped like a key given as text.
class Name {
 public:
  constexpr explicit Name(std::string_view s) : s_(s), plain_(is_plain(s)) {}
  constexpr std::string_view view() const { return s_; }
  constexpr bool plain() const { return plain_; }

 private:
  static constexpr bool is_plain(std::string_view s) {
    for (char c : s) {
      if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
    }
    return true;
  }
  std::string_view s_;
  bool plain_;
};

class Writer {
 public:
  Writer();
  ~Writer();
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  void start_obj();
  void end_obj();
  void start_arr();
  void end_arr();
  void key(std::string_view k);
  void key(Name k);
  void str(std::string_view s);
  void sint(int64_t n);
  void uint(uint64_t n);
  void boolean(bool b);
  void null();
  void real(double d);  // false ok() for NaN or an infinity
  // Writes a parsed value, however deep, without recursion.
  void value(Val v);

  // False once any text was not well-formed UTF-8 (or the structure was misused).
  bool ok() const;
  // The compact text written so far.
  std::string_view text() const;

 private:
  struct Impl;
  // The writer's state and the first kilobyte of its text live in the Writer
  // itself: a small document is written without any heap block.
  static constexpr size_t kSpace = 1536;
  Impl *impl_;
  alignas(16) unsigned char space_[kSpace];
};

}  // namespace kj

#endif
