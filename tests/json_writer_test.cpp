// The compact writer's escapes and numbers byte for byte, and a structure
// that cannot be JSON (a key that is not a string, a second root, a closing
// of the wrong kind) turning ok() false instead of writing it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "core/json.h"

namespace {

TEST(JsonWriter, EscapesAndNumbers) {
  kj::Writer w;
  w.start_arr();
  w.str(std::string("a\"b\\c/\b\f\n\r\t\x01\x1f\x7f\xc3\xa9", 16));
  w.str(std::string("\0x", 2));
  w.sint(-9223372036854775807LL - 1);
  w.uint(18446744073709551615ULL);
  w.real(1.5);
  w.real(-0.0);
  w.boolean(true);
  w.null();
  w.start_obj();
  w.key("k");
  w.start_arr();
  w.end_arr();
  w.end_obj();
  w.end_arr();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.text(),
            "[\"a\\\"b\\\\c/\\b\\f\\n\\r\\t\\u0001\\u001F\x7f\xc3\xa9\",\"\\u0000x\","
            "-9223372036854775808,18446744073709551615,1.5,-0.0,true,null,{\"k\":[]}]");
}

TEST(JsonWriter, StructureThatIsNotJsonIsRefused) {
  const std::function<void(kj::Writer &)> cases[] = {
      [](kj::Writer &w) {  // a number where a key belongs
        w.start_obj();
        w.sint(1);
      },
      [](kj::Writer &w) {  // a key without its value
        w.start_obj();
        w.key("k");
        w.end_obj();
      },
      [](kj::Writer &w) {  // an object closed as an array
        w.start_obj();
        w.end_arr();
      },
      [](kj::Writer &w) { w.end_obj(); },  // nothing open
      [](kj::Writer &w) {                  // a second root
        w.null();
        w.null();
      },
      [](kj::Writer &w) { w.real(std::nan("")); },  // no JSON form
  };
  for (const auto &c : cases) {
    kj::Writer w;
    c(w);
    EXPECT_FALSE(w.ok());
  }
  // Deeper than the inline levels still closes right.
  kj::Writer w;
  for (int i = 0; i < 40; ++i) w.start_arr();
  for (int i = 0; i < 40; ++i) w.end_arr();
  EXPECT_TRUE(w.ok());
  EXPECT_EQ(w.text(), std::string(40, '[') + std::string(40, ']'));
}

// How the writer escapes one text, byte by byte.
std::string escaped(const std::string &s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A character of each kind at every offset of a run longer than a word, and
// texts long enough to outgrow the writer's own room: written byte for byte,
// and a sequence that is not UTF-8 anywhere refuses the whole text.
TEST(JsonWriter, EveryOffsetOfEveryKindOfByte) {
  const std::string kinds[] = {"\"", "\\", "\n", "\x01", "\x1f", "\xC3\xA9", "\xF0\x9F\x8E\xAC"};
  for (const std::string &k : kinds) {
    for (size_t at = 0; at <= 18; ++at) {
      std::string t = std::string(at, 'a') + k + std::string(18 - at, 'b');
      SCOPED_TRACE(escaped(t));
      kj::Writer w;
      w.str(t);
      ASSERT_TRUE(w.ok());
      EXPECT_EQ(w.text(), escaped(t));
    }
  }
  for (std::string bad : {"\xFF", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xC0\xAF"}) {
    for (size_t at = 0; at <= 18; ++at) {
      std::string t = std::string(at, 'a') + bad + std::string(18 - at, 'b');
      kj::Writer w;
      w.start_arr();
      w.str("before");
      w.str(t);
      EXPECT_FALSE(w.ok()) << at;
    }
  }
  std::string big;
  for (int i = 0; i < 3000; ++i) big += (i % 7 == 0) ? '\x02' : (i % 5 == 0 ? '"' : 'x');
  kj::Writer w;
  w.start_arr();
  w.str(big);
  w.str(std::string(5000, 'y'));
  w.end_arr();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.text(), "[" + escaped(big) + "," + escaped(std::string(5000, 'y')) + "]");
}

// A member name fixed in the program is written as any other text: as is when
// it needs nothing, escaped or refused when it does, a key or a value by where
// it goes; a string where a member name belongs is that name.
TEST(JsonWriter, FixedNamesAreWrittenAsTexts) {
  constexpr kj::Name plain("Key"), quoted("a\"b"), accented("\xC3\xA9t\xC3\xA9");
  static_assert(plain.plain() && !quoted.plain() && !accented.plain(), "decided when built");
  kj::Writer w;
  w.start_obj();
  w.key(plain);
  w.key(plain);  // where a value belongs
  w.key(quoted);
  w.start_arr();
  w.key(accented);
  w.end_arr();
  w.str("s");  // where a member name belongs
  w.sint(1);
  w.end_obj();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.text(), "{\"Key\":\"Key\",\"a\\\"b\":[\"\xC3\xA9t\xC3\xA9\"],\"s\":1}");

  kj::Writer bad;
  bad.start_obj();
  bad.key(kj::Name("k\xFF"));
  EXPECT_FALSE(bad.ok());
}

}  // namespace
