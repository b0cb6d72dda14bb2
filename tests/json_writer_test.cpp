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

}  // namespace
