// The JSON module over the parser library: strict or lenient iterative parsing,
// read-only value handles and a compact writer that refuses invalid UTF-8.
#include "core/json.h"

#include "core/core_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The parser scans strings and whitespace sixteen bytes at a time where the
// machine has SSE2. Those loads are aligned and may read up to fifteen bytes
// past a text's end: every text it reads that way is a copy with that much
// room after it (Doc::parse).
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/document.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/itoa.h>

namespace kj {
namespace {

// Every allocation of the parser library goes through here: a request that
// cannot be met throws std::bad_alloc, which the module's callers turn into
// their out-of-memory outcome. The library itself stores its allocator's
// results unchecked, so it must never see a null pointer for a non-empty
// request.
class HeapAlloc {
 public:
  void *Malloc(size_t size) {
    if (size == 0) return nullptr;
    void *p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
  }
  void *Realloc(void *p, size_t, size_t size) {
    if (size == 0) {
      std::free(p);
      return nullptr;
    }
    void *q = std::realloc(p, size);
    if (!q) throw std::bad_alloc();
    return q;
  }
  static void Free(void *p) { std::free(p); }
};

HeapAlloc s_heap;

}  // namespace
}  // namespace kj

namespace rapidjson {
namespace internal {

// The stack the parser, the document and the writer keep their work on. The
// general one does pointer arithmetic on a null pointer before its first
// allocation and trusts every reallocation; this one keeps a size and a
// capacity instead of end pointers, grows through HeapAlloc (so failure is an
// exception, never a null store) and only offsets a pointer it allocated.
template <>
class Stack<kj::HeapAlloc> {
 public:
  // The first bytes live in the stack object itself: a small document, or a
  // writer's few open containers, never reach the heap.
  static constexpr size_t kInline = 512;

  Stack(kj::HeapAlloc *, size_t) {}
  Stack(Stack &&o) noexcept { take(o); }
  Stack &operator=(Stack &&o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  Stack(const Stack &) = delete;
  Stack &operator=(const Stack &) = delete;
  ~Stack() { release(); }

  void Swap(Stack &o) noexcept {
    Stack t(std::move(o));
    o = std::move(*this);
    *this = std::move(t);
  }

  void Clear() { size_ = 0; }
  void ShrinkToFit() {
    if (size_ == 0) release();
  }

  template <typename T>
  void Reserve(size_t count = 1) {
    if (count > (SIZE_MAX - size_) / sizeof(T)) throw std::bad_alloc();
    size_t need = sizeof(T) * count;
    if (cap_ - size_ < need) Grow(need);
  }
  template <typename T>
  T *Push(size_t count = 1) {
    Reserve<T>(count);
    return PushUnsafe<T>(count);
  }
  template <typename T>
  T *PushUnsafe(size_t count = 1) {
    T *r = reinterpret_cast<T *>(base_ + size_);
    size_ += sizeof(T) * count;
    return r;
  }
  template <typename T>
  T *Pop(size_t count) {
    size_ -= sizeof(T) * count;
    return reinterpret_cast<T *>(base_ + size_);
  }
  template <typename T>
  T *Top() {
    return reinterpret_cast<T *>(base_ + size_ - sizeof(T));
  }
  template <typename T>
  const T *Top() const {
    return reinterpret_cast<const T *>(base_ + size_ - sizeof(T));
  }
  template <typename T>
  T *End() {
    return reinterpret_cast<T *>(base_ + size_);
  }
  template <typename T>
  const T *End() const {
    return reinterpret_cast<const T *>(base_ + size_);
  }
  template <typename T>
  T *Bottom() {
    return reinterpret_cast<T *>(base_);
  }
  template <typename T>
  const T *Bottom() const {
    return reinterpret_cast<const T *>(base_);
  }

  bool HasAllocator() const { return true; }
  kj::HeapAlloc &GetAllocator() { return kj::s_heap; }
  bool Empty() const { return size_ == 0; }
  size_t GetSize() const { return size_; }
  size_t GetCapacity() const { return cap_; }

 private:
  bool on_heap() const { return base_ != inline_; }

  // Back to the empty inline block.
  void release() noexcept {
    if (on_heap()) std::free(base_);
    base_ = inline_;
    size_ = 0;
    cap_ = kInline;
  }

  // Moves o's contents here (this holds nothing) and empties o.
  void take(Stack &o) noexcept {
    if (o.on_heap()) {
      base_ = o.base_;
      cap_ = o.cap_;
    } else {
      base_ = inline_;
      cap_ = kInline;
      std::memcpy(inline_, o.inline_, o.size_);
    }
    size_ = o.size_;
    o.base_ = o.inline_;
    o.size_ = 0;
    o.cap_ = kInline;
  }

  void Grow(size_t need) {
    size_t cap = cap_ + (cap_ + 1) / 2;
    if (cap < cap_ || cap - size_ < need) {
      if (need > SIZE_MAX - size_) throw std::bad_alloc();
      cap = size_ + need;
    }
    if (on_heap()) {
      base_ = static_cast<char *>(kj::s_heap.Realloc(base_, cap_, cap));
    } else {
      char *p = static_cast<char *>(kj::s_heap.Malloc(cap));
      std::memcpy(p, inline_, size_);
      base_ = p;
    }
    cap_ = cap;
  }

  alignas(16) char inline_[kInline];
  char *base_ = inline_;
  size_t size_ = 0;
  size_t cap_ = kInline;
};

}  // namespace internal
}  // namespace rapidjson

namespace kj {

namespace {

using RDoc = rapidjson::GenericDocument<rapidjson::UTF8<>,
                                        rapidjson::MemoryPoolAllocator<HeapAlloc>, HeapAlloc>;
using RValue = RDoc::ValueType;

const RValue *rv(const void *v) {
  return static_cast<const RValue *>(v);
}

// Strict reading checks the whole text's UTF-8 first and then parses without
// the parser's own check: the parser rejects every byte outside a string that
// is not ASCII anyway, so both refuse the same texts, and the check over the
// raw bytes is far cheaper than the parser's per character. A text that fails
// it is parsed with the parser's check, which tells where it failed.
constexpr unsigned kLenient = rapidjson::kParseIterativeFlag;
constexpr unsigned kStrict = rapidjson::kParseValidateEncodingFlag | kLenient;

// The library's lengths are 32-bit; a longer text cannot be written whole.
bool fits(std::string_view v) {
  return v.size() <= UINT32_MAX;
}

bool valid_text(const RValue &v) {
  return kel_utf8_valid(v.GetString(), v.GetStringLength());
}

// The parser checks the raw bytes but lets a lone low-surrogate escape through
// as bytes that are not UTF-8; strict reading refuses such a text. Walks every
// key and string without recursion.
bool escapes_valid(const RValue &root) {
  std::vector<const RValue *> todo{&root};
  while (!todo.empty()) {
    const RValue *v = todo.back();
    todo.pop_back();
    if (v->IsString()) {
      if (!valid_text(*v)) return false;
    } else if (v->IsObject()) {
      for (auto m = v->MemberBegin(); m != v->MemberEnd(); ++m) {
        if (!valid_text(m->name)) return false;
        todo.push_back(&m->value);
      }
    } else if (v->IsArray()) {
      for (auto e = v->Begin(); e != v->End(); ++e) todo.push_back(e);
    }
  }
  return true;
}

// Eight bytes loaded with memcpy: a word with the high bit set in each byte
// that is a control character, a quote, a backslash or of 0x80 and up, and
// possibly in bytes after the first such byte (never before it).
uint64_t special_bytes(uint64_t x) {
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  uint64_t q = x ^ (ones * '"'), b = x ^ (ones * '\\');
  return (((x - ones * 0x20) & ~x) | ((q - ones) & ~q) | ((b - ones) & ~b) | x) & highs;
}

// The offset of the first special byte in a word special_bytes() found one
// in, or 0 where the byte order keeps it from telling.
size_t first_special(uint64_t hit) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return static_cast<size_t>(__builtin_ctzll(hit)) / 8;
#else
  (void)hit;
  return 0;
#endif
}

bool is_special(unsigned char c) {
  return c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
}

// The parser library's reader, for single values inside a text being read
// by QuickParse.
using RReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, HeapAlloc>;

// Hands the one value a reader parses on to the document being built.
struct Forward : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Forward> {
  Forward(RDoc &d, bool k) : doc(d), key(k) {}
  RDoc &doc;
  bool key;  // the value is a member name
  bool Default() { return false; }
  bool Int(int i) { return doc.Int(i); }
  bool Uint(unsigned u) { return doc.Uint(u); }
  bool Int64(int64_t i) { return doc.Int64(i); }
  bool Uint64(uint64_t u) { return doc.Uint64(u); }
  bool Double(double d) { return doc.Double(d); }
  bool String(const char *str, rapidjson::SizeType len, bool copy) {
    return key ? doc.Key(str, len, copy) : doc.String(str, len, copy);
  }
};

// A quicker reading of the texts the library reads most: it walks the
// structure and the plain strings and integers itself and builds the document
// through the very calls the library's in-place reader makes, so the values
// are the same. A string with an escape and any number but a plain integer
// of up to 18 digits are parsed by the library's reader, one value at a time.
// Anything it does not take for well-formed (and nesting deeper than kDepth)
// makes it give up: the caller then parses the text again with the library's
// reader, which decides and tells where it failed. Reads a NUL-terminated
// in-place copy of len bytes with at least 8 zero bytes after it; it may
// rewrite the copy as the library's in-place reader does.
class QuickParse {
 public:
  // strict: the bytes of 0x80 and up in a string without an escape must be
  // well-formed UTF-8 (the caller checks a text with an escape).
  QuickParse(char *text, size_t len, bool strict) : p_(text), end_(text + len), strict_(strict) {}
  // The document's generator: true when the whole text was one value.
  bool operator()(RDoc &doc);
  // Whether a string with an escape was read.
  bool escaped() const { return escaped_; }

 private:
  static constexpr size_t kDepth = 32;
  void skip_space() {
    while (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t') ++p_;
  }
  bool value(RDoc &doc);
  bool string(RDoc &doc, bool key);
  bool name(RDoc &doc);
  bool number(RDoc &doc);
  bool literal(const char *word, size_t n) {
    if (std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }
  // The value at p_ parsed by the library's reader.
  bool by_reader(RDoc &doc, bool key) {
    rapidjson::GenericInsituStringStream<rapidjson::UTF8<>> is(p_);
    Forward f(doc, key);
    RReader reader;
    reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseStopWhenDoneFlag>(is, f);
    if (reader.HasParseError()) return false;
    p_ = is.src_;
    return true;
  }
  char *p_;
  char *const end_;
  const bool strict_;
  bool escaped_ = false;
};

bool QuickParse::operator()(RDoc &doc) {
  struct Open {
    bool obj;
    rapidjson::SizeType count;
  };
  Open open[kDepth];
  size_t depth = 0;
  for (;;) {
    // A value: a container opens, anything else is read whole.
    skip_space();
    bool done = true;
    if (*p_ == '{' || *p_ == '[') {
      bool obj = *p_++ == '{';
      obj ? doc.StartObject() : doc.StartArray();
      skip_space();
      if (*p_ == (obj ? '}' : ']')) {
        ++p_;
        obj ? doc.EndObject(0) : doc.EndArray(0);
      } else {
        if (depth == kDepth) return false;
        open[depth++] = Open{obj, 0};
        if (obj && !name(doc)) return false;
        done = false;
      }
    } else if (!value(doc)) {
      return false;
    }
    // After a value: the text's end, a separator or containers closing.
    while (done) {
      skip_space();
      if (depth == 0) return p_ == end_;
      Open &o = open[depth - 1];
      o.count++;
      if (*p_ == ',') {
        ++p_;
        if (o.obj && !name(doc)) return false;
        done = false;
      } else if (*p_ == (o.obj ? '}' : ']')) {
        ++p_;
        o.obj ? doc.EndObject(o.count) : doc.EndArray(o.count);
        --depth;
      } else {
        return false;
      }
    }
  }
}

bool QuickParse::value(RDoc &doc) {
  switch (*p_) {
    case '"':
      return string(doc, false);
    case 't':
      return literal("true", 4) && doc.Bool(true);
    case 'f':
      return literal("false", 5) && doc.Bool(false);
    case 'n':
      return literal("null", 4) && doc.Null();
    default:
      return number(doc);
  }
}

// A member name and its colon.
bool QuickParse::name(RDoc &doc) {
  skip_space();
  if (*p_ != '"' || !string(doc, true)) return false;
  skip_space();
  if (*p_ != ':') return false;
  ++p_;
  return true;
}

// The string at p_ (its opening quote). One without an escape ends where its
// closing quote stood, as the library's in-place reader ends it.
// The first special byte at or after q, in a text followed by at least
// sixteen zero bytes (they stop the search): sixteen bytes at a time where
// the machine has SSE2, else eight.
const unsigned char *skip_plain(const unsigned char *q) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                control = _mm_set1_epi8(0x1F);
  for (;; q += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
    // Quotes, backslashes, bytes up to 0x1F; bytes of 0x80 and up by their
    // high bit.
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                               _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit) | _mm_movemask_epi8(x));
    if (mask) return q + __builtin_ctz(mask);
  }
#else
  for (;; q += 8) {
    uint64_t x;
    std::memcpy(&x, q, 8);
    uint64_t hit = special_bytes(x);
    if (hit) {
      q += first_special(hit);
      while (!is_special(*q)) ++q;
      return q;
    }
  }
#endif
}

bool QuickParse::string(RDoc &doc, bool key) {
  char *start = p_ + 1;
  const unsigned char *q = reinterpret_cast<const unsigned char *>(start);
  const unsigned char *end = reinterpret_cast<const unsigned char *>(end_);
  for (;;) {
    q = skip_plain(q);
    if (*q < 0x80) break;
    size_t n = 1;
    if (strict_) {
      uint32_t cp;
      n = kel_utf8_next(q, static_cast<size_t>(end - q), &cp);
      if (n == 0) return false;
    }
    q += n;
  }
  if (*q == '\\') {
    escaped_ = true;
    return by_reader(doc, key);
  }
  if (*q != '"') return false;
  char *close = start + (reinterpret_cast<const char *>(q) - start);
  *close = '\0';
  p_ = close + 1;
  auto len = static_cast<rapidjson::SizeType>(close - start);
  return key ? doc.Key(start, len, false) : doc.String(start, len, false);
}

// A plain integer: an optional minus, no leading zero, up to 18 digits, then
// no fraction or exponent. The library's reader takes every other number.
bool QuickParse::number(RDoc &doc) {
  const char *q = p_;
  bool minus = *q == '-';
  if (minus) ++q;
  uint64_t v = 0;
  if (*q == '0' && !minus) {
    ++q;
  } else if (*q >= '1' && *q <= '9') {
    const char *digits = q;
    while (*q >= '0' && *q <= '9' && q - digits < 18)
      v = v * 10 + static_cast<unsigned>(*q++ - '0');
  } else {
    return by_reader(doc, false);
  }
  if ((*q >= '0' && *q <= '9') || *q == '.' || *q == 'e' || *q == 'E') return by_reader(doc, false);
  p_ += q - p_;
  if (minus) {
    if (v <= 2147483648u) return doc.Int(static_cast<int>(-static_cast<int64_t>(v)));
    return doc.Int64(-static_cast<int64_t>(v));
  }
  if (v <= UINT32_MAX) return doc.Uint(static_cast<unsigned>(v));
  return doc.Uint64(v);
}

}  // namespace

bool Val::is_null() const {
  return v_ && rv(v_)->IsNull();
}
bool Val::is_bool() const {
  return v_ && rv(v_)->IsBool();
}
bool Val::is_true() const {
  return v_ && rv(v_)->IsTrue();
}
bool Val::is_false() const {
  return v_ && rv(v_)->IsFalse();
}
bool Val::is_int() const {
  return v_ && (rv(v_)->IsInt64() || rv(v_)->IsUint64());
}
bool Val::is_sint() const {
  return v_ && rv(v_)->IsInt64();
}
bool Val::is_uint() const {
  return v_ && rv(v_)->IsUint64();
}
bool Val::is_real() const {
  return v_ && rv(v_)->IsNumber() && !is_int();
}
bool Val::is_num() const {
  return v_ && rv(v_)->IsNumber();
}
bool Val::is_str() const {
  return v_ && rv(v_)->IsString();
}
bool Val::is_arr() const {
  return v_ && rv(v_)->IsArray();
}
bool Val::is_obj() const {
  return v_ && rv(v_)->IsObject();
}

bool Val::get_bool() const {
  return is_true();
}
int64_t Val::get_sint() const {
  return is_sint() ? rv(v_)->GetInt64() : 0;
}
uint64_t Val::get_uint() const {
  return is_uint() ? rv(v_)->GetUint64() : 0;
}
double Val::get_real() const {
  return is_num() ? rv(v_)->GetDouble() : 0.0;
}

std::string_view Val::str() const {
  if (!is_str()) return {};
  return std::string_view(rv(v_)->GetString(), rv(v_)->GetStringLength());
}

size_t Val::size() const {
  if (is_arr()) return rv(v_)->Size();
  if (is_obj()) return rv(v_)->MemberCount();
  return 0;
}

Val Val::at(size_t i) const {
  if (!is_arr() || i >= rv(v_)->Size()) return Val();
  return Val(&(*rv(v_))[static_cast<rapidjson::SizeType>(i)]);
}

std::string_view Val::key_at(size_t i) const {
  if (!is_obj() || i >= rv(v_)->MemberCount()) return {};
  const auto &m = rv(v_)->MemberBegin()[static_cast<ptrdiff_t>(i)];
  return std::string_view(m.name.GetString(), m.name.GetStringLength());
}

Val Val::val_at(size_t i) const {
  if (!is_obj() || i >= rv(v_)->MemberCount()) return Val();
  return Val(&rv(v_)->MemberBegin()[static_cast<ptrdiff_t>(i)].value);
}

Val Val::get(std::string_view name) const {
  if (!is_obj()) return Val();
  for (auto m = rv(v_)->MemberBegin(); m != rv(v_)->MemberEnd(); ++m) {
    if (std::string_view(m->name.GetString(), m->name.GetStringLength()) == name)
      return Val(&m->value);
  }
  return Val();
}

void Val::get_many(const std::string_view *names, size_t n, Val *out) const {
  for (size_t i = 0; i < n; ++i) out[i] = Val();
  if (!is_obj()) return;
  // Members whose name has a length no wanted name has are passed over
  // without a comparison (lengths of 63 and more share one bit).
  uint64_t lengths = 0;
  for (size_t i = 0; i < n; ++i)
    lengths |= uint64_t{1} << (names[i].size() < 63 ? names[i].size() : 63);
  size_t left = n;
  for (auto m = rv(v_)->MemberBegin(); m != rv(v_)->MemberEnd() && left > 0; ++m) {
    size_t len = m->name.GetStringLength();
    if (!(lengths >> (len < 63 ? len : 63) & 1)) continue;
    const char *name = m->name.GetString();
    for (size_t i = 0; i < n; ++i) {
      if (!out[i].valid() && names[i].size() == len &&
          (len == 0 || (names[i][0] == name[0] && std::memcmp(names[i].data(), name, len) == 0))) {
        out[i] = Val(&m->value);
        --left;
        break;
      }
    }
  }
}

// Most documents the library reads are small (a stored record, a service
// answer): their values fit the inline block, so a parse costs one allocation;
// larger ones continue in 16 KiB chunks. The text is parsed in a copy of its
// own, in place: strings are then ended where they stand instead of being
// copied character by character.
// Room after an in-place copy's last byte: its NUL and the fifteen bytes an
// aligned sixteen-byte load that holds the NUL reaches past it.
constexpr size_t kPad = 16;

struct Doc::Impl {
  alignas(8) char first[2048];
  rapidjson::MemoryPoolAllocator<HeapAlloc> pool{first, sizeof first, 16 * 1024, &s_heap};
  RDoc doc{&pool};
  bool ok = false;
  char small[1024];
  std::unique_ptr<char, void (*)(void *)> big{nullptr, std::free};
};

Doc::Doc() = default;
Doc::~Doc() {
  clear();
}

void Doc::clear() {
  if (impl_) impl_->~Impl();
  impl_ = nullptr;
}

bool Doc::parse(const char *text, size_t len, Mode mode) {
  static_assert(sizeof(Impl) <= kSpace && alignof(Impl) <= 16, "Doc::kSpace too small");
  clear();
  err_ = 0;
  if (!text) return false;
  // The parser's length-bounded input skips a leading UTF-8 byte-order mark;
  // neither mode accepts one.
  if (len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) return false;
  impl_ = new (space_) Impl;
  const bool strict = mode == Mode::strict;
  // The in-place copy, followed by at least kPad zero bytes.
  char *copy = impl_->small;
  if (len > sizeof impl_->small - kPad) {
    if (len > SIZE_MAX - kPad) throw std::bad_alloc();
    impl_->big.reset(static_cast<char *>(s_heap.Malloc(len + kPad)));
    copy = impl_->big.get();
  }
  std::memcpy(copy, text, len);
  std::memset(copy + len, 0, kPad);
  // Most texts are read by QuickParse alone. A text with an escape is checked
  // as the library's reader would see it: its bytes, then what its escapes
  // stand for.
  bool quick = false;
  if (len <= UINT32_MAX) {
    QuickParse q(copy, len, strict);
    auto read = [&](RDoc &d) { return quick = q(d); };
    impl_->doc.Populate(read);
    if (quick && strict && q.escaped())
      quick = kel_utf8_valid(text, len) && escapes_valid(impl_->doc);
  }
  if (quick) {
    impl_->ok = true;
    return true;
  }
  // Every other text is read by the library's reader, which decides and tells
  // where the text went wrong.
  if (strict && !kel_utf8_valid(text, len)) {
    // Refused either way; the parser's own check finds where it went wrong.
    impl_->doc.Parse<kStrict>(text, len);
  } else if (std::memchr(text, '\0', len)) {
    // A NUL byte would end the copy's text early: such a text is read where
    // it is, where the NUL is the fault it is.
    impl_->doc.Parse<kLenient>(text, len);
  } else {
    std::memcpy(copy, text, len);
    impl_->doc.ParseInsitu<kLenient>(copy);
  }
  impl_->ok = !impl_->doc.HasParseError();
  if (!impl_->ok) err_ = impl_->doc.GetErrorOffset();
  // Only an escape can produce a text the byte check did not see.
  if (impl_->ok && strict && std::memchr(text, '\\', len) && !escapes_valid(impl_->doc)) {
    impl_->ok = false;
    err_ = SIZE_MAX;
  }
  return impl_->ok;
}

Val Doc::root() const {
  return impl_ && impl_->ok ? Val(&impl_->doc) : Val();
}

// The writer is the module's own: compact text, strings escaped as the parser
// library's writer escapes them (the two-character escapes for \b \t \n \f
// \r, \" and \\, "\u00XX" for the other control characters, every other
// byte as it is), numbers in decimal. Texts are checked for UTF-8 as they are
// escaped.
struct Writer::Impl {
  struct Level {
    bool in_array;
    bool empty;      // nothing written in it yet
    bool after_key;  // in an object: a member name written, its value next
  };
  // The text: the first kInline bytes inline, more on the heap. Room is
  // reserved for a whole string or number before its bytes are stored.
  static constexpr size_t kInline = 1024;
  char *buf = inline_buf;
  size_t len = 0;
  size_t cap = kInline;
  char inline_buf[kInline];
  // Open containers: the first ones inline, deeper ones on the heap.
  Level inline_levels[16];
  std::vector<Level> more;
  size_t depth = 0;
  Level *cur = nullptr;  // the innermost open container
  bool has_root = false;
  bool ok = true;

  Impl() = default;
  Impl(const Impl &) = delete;
  Impl &operator=(const Impl &) = delete;
  ~Impl() {
    if (buf != inline_buf) std::free(buf);
  }

  void reserve(size_t n) {
    if (cap - len < n) grow(n);
  }
  void grow(size_t n) {
    if (n > SIZE_MAX / 2 - len) throw std::bad_alloc();
    size_t want = len + n;
    size_t to = want < 2 * cap ? 2 * cap : want;
    if (buf == inline_buf) {
      char *p = static_cast<char *>(s_heap.Malloc(to));
      std::memcpy(p, inline_buf, len);
      buf = p;
    } else {
      buf = static_cast<char *>(s_heap.Realloc(buf, cap, to));
    }
    cap = to;
  }
  void put(char c) {
    reserve(1);
    buf[len++] = c;
  }

  Level *top() { return depth <= 16 ? &inline_levels[depth - 1] : &more[depth - 17]; }
  void push(bool in_array) {
    if (depth < 16)
      inline_levels[depth] = Level{in_array, true, false};
    else
      more.push_back(Level{in_array, true, false});
    ++depth;
    cur = top();
  }
  void pop() {
    if (depth > 16) more.pop_back();
    --depth;
    cur = depth > 0 ? top() : nullptr;
  }

  // The separator before the next value, 0 for none; false when no value can
  // go here. A string written where an object wants a member name is that
  // name (*name set): its colon follows it. Anything else is refused there,
  // as is a second root.
  bool next_value(bool is_string, char *sep, bool *name) {
    *sep = 0;
    *name = false;
    if (!cur) {
      if (has_root) return false;
      has_root = true;
      return true;
    }
    if (cur->in_array) {
      if (!cur->empty) *sep = ',';
      cur->empty = false;
      return true;
    }
    if (cur->after_key) {
      cur->after_key = false;
      return true;
    }
    if (!is_string) return false;
    if (!cur->empty) *sep = ',';
    cur->empty = false;
    cur->after_key = true;
    *name = true;
    return true;
  }
  // A value's separator written; false when no value can go here.
  bool before_value() {
    char sep;
    bool name;
    if (!next_value(false, &sep, &name)) return false;
    if (sep) put(sep);
    return true;
  }
  bool end(bool in_array) {
    if (!cur || cur->in_array != in_array || cur->after_key) return false;
    pop();
    put(in_array ? ']' : '}');
    return true;
  }

  // Appends s quoted and escaped, after sep (0 for none) and followed by a
  // colon when it is a member name. False when s is not well-formed UTF-8;
  // the text then ends where it did before.
  bool string(std::string_view s, char sep, bool name) {
    static const char hex[] = "0123456789ABCDEF";
    const size_t start = len;
    if (s.size() > SIZE_MAX / 2) throw std::bad_alloc();
    // Room for the separator, the quotes, the colon and every byte as itself;
    // an escape adds room for its own extra bytes.
    reserve(s.size() + 4);
    char *w = buf + len;
    if (sep) *w++ = sep;
    *w++ = '"';
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    const unsigned char *e = p + s.size();
    while (p < e) {
      // A run of ASCII bytes that stand for themselves, copied at once;
      // eight bytes at a time while none of them is special.
      const unsigned char *run = p;
      while (e - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        uint64_t hit = special_bytes(x);
        if (hit) {
          p += first_special(hit);
          break;
        }
        p += 8;
      }
      while (p < e && !is_special(*p)) ++p;
      std::memcpy(w, run, static_cast<size_t>(p - run));
      w += p - run;
      if (p == e) break;
      if (*p >= 0x80) {
        // A multi-byte character, kept as it is once it is checked.
        uint32_t cp;
        size_t n = kel_utf8_next(p, static_cast<size_t>(e - p), &cp);
        if (n == 0) {
          len = start;
          return false;
        }
        std::memcpy(w, p, n);
        w += n;
        p += n;
        continue;
      }
      unsigned char c = *p++;
      // Up to five bytes more than the one byte reserved for c.
      len = static_cast<size_t>(w - buf);
      reserve(static_cast<size_t>(e - p) + 8);
      w = buf + len;
      *w++ = '\\';
      switch (c) {
        case '"':
          *w++ = '"';
          break;
        case '\\':
          *w++ = '\\';
          break;
        case '\b':
          *w++ = 'b';
          break;
        case '\t':
          *w++ = 't';
          break;
        case '\n':
          *w++ = 'n';
          break;
        case '\f':
          *w++ = 'f';
          break;
        case '\r':
          *w++ = 'r';
          break;
        default:
          *w++ = 'u';
          *w++ = '0';
          *w++ = '0';
          *w++ = hex[c >> 4];
          *w++ = hex[c & 15];
      }
    }
    *w++ = '"';
    if (name) *w++ = ':';
    len = static_cast<size_t>(w - buf);
    return true;
  }
  // A key and a string are written alike: a member name where an object
  // wants one, a value anywhere else.
  void text(std::string_view s) {
    char sep;
    bool name;
    ok = ok && fits(s) && next_value(true, &sep, &name) && string(s, sep, name);
  }
  // The same for a text already known to need no check and no escape.
  void plain_text(std::string_view s) {
    char sep;
    bool name;
    ok = ok && next_value(true, &sep, &name);
    if (!ok) return;
    reserve(s.size() + 4);
    char *w = buf + len;
    if (sep) *w++ = sep;
    *w++ = '"';
    std::memcpy(w, s.data(), s.size());
    w += s.size();
    *w++ = '"';
    if (name) *w++ = ':';
    len = static_cast<size_t>(w - buf);
  }
  void scalar(const char *p, size_t n, bool good = true) {
    char sep;
    bool name;
    ok = ok && good && next_value(false, &sep, &name);
    if (!ok) return;
    reserve(n + 1);
    if (sep) buf[len++] = sep;
    std::memcpy(buf + len, p, n);
    len += n;
  }
};

Writer::Writer() {
  static_assert(sizeof(Impl) <= kSpace && alignof(Impl) <= 16, "Writer::kSpace too small");
  impl_ = new (space_) Impl;
}
Writer::~Writer() {
  impl_->~Impl();
}

void Writer::start_obj() {
  impl_->ok = impl_->ok && impl_->before_value();
  if (impl_->ok) {
    impl_->push(false);
    impl_->put('{');
  }
}
void Writer::end_obj() {
  impl_->ok = impl_->ok && impl_->end(false);
}
void Writer::start_arr() {
  impl_->ok = impl_->ok && impl_->before_value();
  if (impl_->ok) {
    impl_->push(true);
    impl_->put('[');
  }
}
void Writer::end_arr() {
  impl_->ok = impl_->ok && impl_->end(true);
}
void Writer::key(std::string_view k) {
  impl_->text(k);
}
void Writer::key(Name k) {
  if (k.plain())
    impl_->plain_text(k.view());
  else
    impl_->text(k.view());
}
void Writer::str(std::string_view s) {
  impl_->text(s);
}
void Writer::sint(int64_t n) {
  char buf[24];
  char *e = rapidjson::internal::i64toa(n, buf);
  impl_->scalar(buf, static_cast<size_t>(e - buf));
}
void Writer::uint(uint64_t n) {
  char buf[24];
  char *e = rapidjson::internal::u64toa(n, buf);
  impl_->scalar(buf, static_cast<size_t>(e - buf));
}
void Writer::boolean(bool b) {
  if (b)
    impl_->scalar("true", 4);
  else
    impl_->scalar("false", 5);
}
void Writer::null() {
  impl_->scalar("null", 4);
}

// A double as the parser library writes one; NaN and infinities have no JSON
// form.
void Writer::real(double d) {
  if (rapidjson::internal::Double(d).IsNanOrInf()) {
    impl_->ok = false;
    return;
  }
  char buf[25];
  char *e = rapidjson::internal::dtoa(d, buf, 324);
  impl_->scalar(buf, static_cast<size_t>(e - buf));
}

void Writer::value(Val v) {
  if (!v.valid()) {
    impl_->ok = false;
    return;
  }
  // An explicit stack of open containers and the index of their next child.
  struct Frame {
    const RValue *c;
    rapidjson::SizeType next;
  };
  std::vector<Frame> stack;
  const RValue *cur = rv(v.v_);
  for (;;) {
    if (cur) {
      if (cur->IsObject()) {
        start_obj();
        stack.push_back({cur, 0});
      } else if (cur->IsArray()) {
        start_arr();
        stack.push_back({cur, 0});
      } else if (cur->IsString()) {
        str(std::string_view(cur->GetString(), cur->GetStringLength()));
      } else if (cur->IsBool()) {
        boolean(cur->GetBool());
      } else if (cur->IsNull()) {
        null();
      } else if (cur->IsInt64()) {
        sint(cur->GetInt64());
      } else if (cur->IsUint64()) {
        uint(cur->GetUint64());
      } else {
        real(cur->GetDouble());
      }
      cur = nullptr;
    }
    if (!impl_->ok || stack.empty()) return;
    Frame &f = stack.back();
    if (f.c->IsObject()) {
      if (f.next < f.c->MemberCount()) {
        const auto &m = f.c->MemberBegin()[f.next++];
        key(std::string_view(m.name.GetString(), m.name.GetStringLength()));
        cur = &m.value;
      } else {
        stack.pop_back();
        end_obj();
      }
    } else {
      if (f.next < f.c->Size()) {
        cur = &(*f.c)[f.next++];
      } else {
        stack.pop_back();
        end_arr();
      }
    }
  }
}

bool Writer::ok() const {
  return impl_->ok;
}

std::string_view Writer::text() const {
  return std::string_view(impl_->buf, impl_->len);
}

}  // namespace kj
