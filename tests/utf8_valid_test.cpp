// Well-formedness of whole texts: every length around the eight-byte steps,
// with the character that decides placed at every position.
#include <gtest/gtest.h>

#include <string>

#include "core/utf8.h"

namespace {

TEST(Utf8Valid, EveryPositionOfEveryLengthAroundTheWordSteps) {
  struct Piece {
    const char *bytes;
    bool ok;
  };
  const Piece pieces[] = {
      {"\xc3\xa9", true},          // two bytes
      {"\xe2\x82\xac", true},      // three
      {"\xf0\x9f\x8e\xac", true},  // four
      {"\x80", false},             // a stray continuation byte
      {"\xff", false},             // never a lead
      {"\xc0\xaf", false},         // overlong
      {"\xed\xa0\x80", false},     // a surrogate
      {"\xe2\x82", false},         // one byte short
  };
  for (const Piece &pc : pieces) {
    for (size_t len = 0; len <= 20; ++len) {
      for (size_t at = 0; at <= len; ++at) {
        std::string s(len, 'a');
        s.insert(at, pc.bytes);
        SCOPED_TRACE(std::to_string(len) + " ASCII bytes, piece at " + std::to_string(at));
        EXPECT_EQ(kel_utf8_valid(s.data(), s.size()), pc.ok);
      }
    }
  }
  for (size_t len = 0; len <= 20; ++len)
    EXPECT_TRUE(kel_utf8_valid(std::string(len, 'z').c_str(), len));
  // Only the given length counts: a bad byte just past it is not looked at.
  EXPECT_TRUE(kel_utf8_valid("abcdefghij\xff", 10));
  EXPECT_FALSE(kel_utf8_valid("abcdefghij\xff", 11));
}

}  // namespace
