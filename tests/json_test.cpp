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

// Integers at the edges of each kind, and the numbers that are not plain
// integers, read as the same values in a small record as anywhere else.
TEST(Json, NumbersKeepTheirKindAtEveryEdge) {
  const struct {
    const char *num;
    bool sint, uint, real;
    const char *rewritten;
  } rows[] = {
      {"0", true, true, false, "0"},
      {"-0", true, true, false, "0"},
      {"7", true, true, false, "7"},
      {"-7", true, false, false, "-7"},
      {"2147483647", true, true, false, "2147483647"},
      {"2147483648", true, true, false, "2147483648"},
      {"-2147483648", true, false, false, "-2147483648"},
      {"-2147483649", true, false, false, "-2147483649"},
      {"4294967295", true, true, false, "4294967295"},
      {"4294967296", true, true, false, "4294967296"},
      {"999999999999999999", true, true, false, "999999999999999999"},
      {"-999999999999999999", true, false, false, "-999999999999999999"},
      {"1000000000000000000", true, true, false, "1000000000000000000"},
      {"9223372036854775807", true, true, false, "9223372036854775807"},
      {"9223372036854775808", false, true, false, "9223372036854775808"},
      {"-9223372036854775808", true, false, false, "-9223372036854775808"},
      {"18446744073709551615", false, true, false, "18446744073709551615"},
      {"18446744073709551616", false, false, true, "18446744073709553000.0"},
      {"1.5", false, false, true, "1.5"},
      {"-0.0", false, false, true, "-0.0"},
      {"1e2", false, false, true, "100.0"},
      {"25E-1", false, false, true, "2.5"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.num);
    std::string text = std::string("{\"Key\":\"k\",\"Size\":") + r.num + ",\"l\":[" + r.num + "]}";
    kj::Doc d;
    ASSERT_TRUE(d.parse(text));
    for (kj::Val v : {d.root().get("Size"), d.root().get("l").at(0)}) {
      EXPECT_EQ(v.is_sint(), r.sint);
      EXPECT_EQ(v.is_uint(), r.uint);
      EXPECT_EQ(v.is_real(), r.real);
      kj::Writer w;
      w.value(v);
      EXPECT_EQ(w.text(), r.rewritten);
    }
  }
  kj::Doc d;
  ASSERT_TRUE(d.parse("[-2147483648,4294967295,-9223372036854775808]"));
  EXPECT_EQ(d.root().at(0).get_sint(), -2147483648LL);
  EXPECT_EQ(d.root().at(1).get_uint(), 4294967295ULL);
  EXPECT_EQ(d.root().at(2).get_sint(), INT64_MIN);
}

// Strings of every length around eight bytes, with and without escapes and
// characters beyond ASCII, in keys and values: each reads back byte for byte,
// and a document of them is rewritten as it was.
TEST(Json, StringsReadBackByteForByte) {
  const struct {
    std::string json, bytes;
  } rows[] = {
      {"", ""},
      {"abcdefg", "abcdefg"},
      {"abcdefgh", "abcdefgh"},
      {"abcdefghi", "abcdefghi"},
      {"abcdefghijklmnop", "abcdefghijklmnop"},
      {"abcdefg\xC3\xA9", "abcdefg\xC3\xA9"},
      {"\xF0\x9F\x8E\xAC film", "\xF0\x9F\x8E\xAC film"},
      {"a\\\"b\\\\c\\/d", "a\"b\\c/d"},
      {"abcdefghij\\n", "abcdefghij\n"},
      {"\\u00e9t\\u00E9", "\xC3\xA9t\xC3\xA9"},
      {"x\\uD83C\\uDFAC", "x\xF0\x9F\x8E\xAC"},
      {"tab\\there", "tab\there"},
  };
  std::string doc = "{";
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    SCOPED_TRACE(rows[i].json);
    std::string one = "{\"" + rows[i].json + "\":[\"" + rows[i].json + "\"]}";
    kj::Doc d;
    ASSERT_TRUE(d.parse(one));
    EXPECT_EQ(d.root().key_at(0), rows[i].bytes);
    EXPECT_EQ(d.root().val_at(0).at(0).str(), rows[i].bytes);
    doc += (i ? ",\"" : "\"") + std::to_string(i) + "\":\"" + rows[i].bytes + "\"";
  }
  doc += "}";
  // The writer's escapes for the same bytes.
  std::string expected;
  {
    kj::Writer w;
    w.start_obj();
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
      w.key(std::to_string(i));
      w.str(rows[i].bytes);
    }
    w.end_obj();
    ASSERT_TRUE(w.ok());
    expected = std::string(w.text());
  }
  kj::Doc d;
  ASSERT_TRUE(d.parse(expected));
  kj::Writer again;
  again.value(d.root());
  EXPECT_EQ(again.text(), expected);
}

// Faults anywhere in a text, in structure, literals, numbers and strings:
// refused in both modes, with the offset of the byte it went wrong at.
TEST(Json, MalformedTextsAreRefusedWhereTheyGoWrong) {
  const struct {
    std::string text;
    size_t offset;
  } rows[] = {
      {"[1,]", 3},
      {"{,}", 1},
      {"{\"a\" 1}", 5},
      {"{\"a\":}", 5},
      {"{\"a\":1 \"b\":2}", 7},
      {"[1 2]", 3},
      {"{\"a\":1]", 6},
      {"[01]", 2},
      {"[-]", 2},
      {"[1.]", 3},
      {"[tru]", 4},
      {"[nulll]", 5},
      {"[\"abc", 5},
      {"[\"a\tb\"]", 3},
      {"[\"a\\qb\"]", 3},
      {"{\"a\":1}}", 7},
      {"   ", 3},
      {std::string(40, '[') + "1" + std::string(39, ']'), 80},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    kj::Doc d;
    EXPECT_FALSE(d.parse(r.text));
    EXPECT_EQ(d.error_offset(), r.offset);
    EXPECT_FALSE(d.parse(r.text, kj::Mode::allow_invalid_unicode));
  }
}

// Invalid UTF-8 in a string, with or without an escape in it: refused by
// strict reading where the bad byte is, kept byte for byte by lenient reading.
TEST(Json, InvalidUtf8InAnyStringIsFoundByStrictReading) {
  for (std::string text : {"[\"abcdefghij\xFF\"]", "{\"k\xC3\":1}", "[\"\\n\xE2\x82\"]",
                           "[\"abcdefgh\xF4\x90\x80\x80\"]"}) {
    SCOPED_TRACE(text);
    size_t bad = text.find_first_of("\xFF\xC3\xE2\xF4");
    kj::Doc d;
    EXPECT_FALSE(d.parse(text));
    EXPECT_EQ(d.error_offset(), bad);
    ASSERT_TRUE(d.parse(text, kj::Mode::allow_invalid_unicode));
  }
  kj::Doc d;
  ASSERT_TRUE(d.parse("[\"abcdefghij\xFF\"]", kj::Mode::allow_invalid_unicode));
  EXPECT_EQ(d.root().at(0).str(), "abcdefghij\xFF");
}

// Nesting deeper than most texts, objects and arrays mixed.
TEST(Json, DeepMixedNestingReadsWhole) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += i % 2 ? "[" : "{\"k\":";
  text += "\"v\"";
  for (int i = 49; i >= 0; --i) text += i % 2 ? "]" : "}";
  kj::Doc d;
  ASSERT_TRUE(d.parse(text));
  kj::Writer w;
  w.value(d.root());
  EXPECT_EQ(w.text(), text);
}

}  // namespace
