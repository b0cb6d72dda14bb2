// The JSON module: what strict and lenient reading accept, first-member lookup,
// and the writer's refusal of invalid UTF-8.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/json.h"

namespace {

TEST(Json, StrictAndLenientReading) {
  const struct {
    std::string text;
    bool strict, lenient;
  } rows[] = {
      {"{\"a\":[1,2,{\"b\":null}]}", true, true},
      {" [] ", true, true},
      {"{\"a\":1,}", false, false},      // trailing comma
      {"[1] x", false, false},           // trailing content
      {"[1] // c", false, false},        // comment
      {"\xEF\xBB\xBF[]", false, false},  // byte-order mark
      {"[NaN]", false, false},
      {"", false, false},
      {"[\"\xC3\xA9\"]", true, true},
      {"[\"\xFF\"]", false, true},        // invalid byte: kept when lenient
      {"{\"\xC0\xAF\":1}", false, true},  // overlong in a key
      {"[\"\\uDC00\"]", false, true},     // lone low surrogate escape
      {"{\"k\\uDC00\":1}", false, true},
      {"[\"\\uD83D\\uDE00\"]", true, true},  // a proper pair
      {"[\"a\\u0000b\"]", true, true},       // NUL kept inside the string
      {std::string(200000, '[') + std::string(200000, ']'), true, true},  // no recursion
      {std::string(200000, '['), false, false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text.substr(0, 40));
    kj::Doc d;
    EXPECT_EQ(d.parse(r.text), r.strict);
    EXPECT_EQ(d.root().valid(), r.strict);
    EXPECT_EQ(d.parse(r.text, kj::Mode::allow_invalid_unicode), r.lenient);
  }
}

TEST(Json, ErrorOffsetSaysWhereTheTextWentWrong) {
  const struct {
    const char *text;
    size_t offset;
  } rows[] = {
      {"{\"a\":1}", 0}, {"{\"a\":1,}", 7},     {"[1,\n2,x]", 6},
      {"[1] x", 4},     {"\xEF\xBB\xBF[]", 0}, {"[\"\\uDC00\"]", SIZE_MAX},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    kj::Doc d;
    d.parse(r.text, std::strlen(r.text));
    EXPECT_EQ(d.error_offset(), r.offset);
  }
}

TEST(Json, ValuesAndFirstMember) {
  kj::Doc d;
  ASSERT_TRUE(d.parse(R"({"n":1,"n":"two","big":18446744073709551615,"neg":-5,"r":1.0,"e":1e2,)"
                      R"("s":"a\u0000b","t":true})"));
  kj::Val root = d.root();
  EXPECT_TRUE(root.get("n").is_int());  // the first of two members named n
  EXPECT_EQ(root.get("n").get_sint(), 1);
  EXPECT_EQ(root.key_at(1), "n");
  EXPECT_EQ(root.val_at(1).str(), "two");
  EXPECT_TRUE(root.get("big").is_uint());
  EXPECT_FALSE(root.get("big").is_sint());
  EXPECT_TRUE(root.get("neg").is_sint());
  EXPECT_FALSE(root.get("neg").is_uint());
  EXPECT_TRUE(root.get("r").is_real());
  EXPECT_TRUE(root.get("e").is_real());
  EXPECT_EQ(root.get("s").str(), std::string_view("a\0b", 3));
  EXPECT_TRUE(root.get("t").get_bool());
  EXPECT_FALSE(root.get("missing").valid());
  EXPECT_FALSE(root.get("n").get("x").valid());  // lookups on non-objects are safe
  EXPECT_EQ(root.size(), 8u);
}

TEST(Json, WriterIsCompactAndRefusesInvalidUtf8) {
  kj::Writer w;
  w.start_obj();
  w.key("a/b");
  w.str("\xC3\xA9 \"q\" \\");
  w.key("n");
  w.sint(-3);
  w.key("l");
  w.start_arr();
  w.uint(18446744073709551615ULL);
  w.boolean(false);
  w.null();
  w.end_arr();
  w.end_obj();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(
      w.text(),
      "{\"a/b\":\"\xC3\xA9 \\\"q\\\" \\\\\",\"n\":-3,\"l\":[18446744073709551615,false,null]}");

  kj::Writer bad;
  bad.start_arr();
  bad.str("\xFF");
  bad.end_arr();
  EXPECT_FALSE(bad.ok());
}

// Texts held in buffers of exactly their length: a sequence cut short at the
// end is refused without a read past the last byte (the sanitizer would see it).
TEST(Json, WriterRefusesASequenceCutShortAtTheEnd) {
  for (std::string t : {"tt\xF4i", "tt\xF4", "\xE2\x82", "ok\xC3", "\xF0\x9F\x8E"}) {
    SCOPED_TRACE(t);
    std::unique_ptr<char[]> exact(new char[t.size()]);
    std::memcpy(exact.get(), t.data(), t.size());
    std::string_view v(exact.get(), t.size());
    kj::Writer s;
    s.str(v);
    EXPECT_FALSE(s.ok());
    kj::Writer k;
    k.start_obj();
    k.key(v);
    EXPECT_FALSE(k.ok());
  }
}

TEST(Json, DeepValueIsRewrittenWithoutRecursion) {
  std::string deep = std::string(100000, '[') + "1" + std::string(100000, ']');
  kj::Doc d;
  ASSERT_TRUE(d.parse(deep));
  kj::Writer w;
  w.value(d.root());
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.text(), deep);
}

}  // namespace
