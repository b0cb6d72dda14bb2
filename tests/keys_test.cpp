// Stable hash, UTF-8 to UTF-16 conversion and the vault key formats.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/core_internal.h"
#include "core/keys.h"

namespace {

struct HashCase {
  const char *text;
  int32_t hash;
};

TEST(StableHash, WorkedExamples) {
  const HashCase cases[] = {
      {"", 371857150},
      {"a", 372029373},
      {"abc", 1099313834},
      {"/Films/a.mkv_1000", 523603486},
      {"\xC3\xA9\xF0\x9F\x98\x80"
       "a",
       1819653641},
      {"\xFF", 0},
  };
  for (const auto &c : cases) EXPECT_EQ(kelmcat_stable_hash_utf8(c.text), c.hash) << c.text;
  EXPECT_EQ(kelmcat_stable_hash_utf8(nullptr), 0);
}

TEST(StableHash, UnitsMatchUtf8AndStopAtZero) {
  const uint16_t units[] = {0xE9, 0xD83D, 0xDE00, 0x61};
  EXPECT_EQ(kelmcat_stable_hash_utf16(units, 4), 1819653641);
  EXPECT_EQ(kelmcat_stable_hash_utf16(units, 0), 371857150);

  const uint16_t a[] = {'a', 'b', 0, 'x'};
  const uint16_t b[] = {'a', 'b', 0, 'y'};
  const uint16_t ab[] = {'a', 'b'};
  EXPECT_EQ(kelmcat_stable_hash_utf16(a, 4), kelmcat_stable_hash_utf16(ab, 2));
  EXPECT_EQ(kelmcat_stable_hash_utf16(a, 4), kelmcat_stable_hash_utf16(b, 4));
  // A zero in the odd position ends the text as well.
  const uint16_t c[] = {'a', 0, 'x'};
  EXPECT_EQ(kelmcat_stable_hash_utf16(c, 3), kelmcat_stable_hash_utf8("a"));
  // A zero first unit hashes like the empty text.
  const uint16_t z[] = {0, 'q'};
  EXPECT_EQ(kelmcat_stable_hash_utf16(z, 2), 371857150);
}

// ASCII runs of every length up to six, before, between and after characters
// of two, three and four bytes, and a stray byte: the UTF-8 hash always equals
// the hash of the UTF-16 units.
TEST(StableHash, Utf8AgreesWithUnitsAroundAsciiRuns) {
  const char *pieces[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  const std::string ascii = "abcdef";
  for (size_t before = 0; before <= 6; ++before)
    for (const char *piece : pieces)
      for (size_t after = 0; after <= 6; ++after) {
        std::string text = ascii.substr(0, before) + piece + ascii.substr(0, after) + piece;
        uint16_t units[32];
        int32_t n = kel_utf8_to_utf16_units(text.c_str(), units, 32);
        ASSERT_GT(n, 0) << text;
        EXPECT_EQ(kelmcat_stable_hash_utf8(text.c_str()),
                  kelmcat_stable_hash_utf16(units, static_cast<uint64_t>(n)))
            << text;
        EXPECT_EQ(kelmcat_stable_hash_utf8((text + "x\xFF").c_str()), 0) << text;
      }
}

TEST(StableHash, MostNegativeSumMapsToZero) {
  // U+6360 U+1DBA make the signed sum exactly -2147483648, which has no
  // absolute value in 32 bits.
  const uint16_t units[] = {0x6360, 0x1DBA};
  EXPECT_EQ(kelmcat_stable_hash_utf16(units, 2), 0);
  EXPECT_EQ(kelmcat_stable_hash_utf8("\xE6\x8D\xA0\xE1\xB6\xBA"), 0);
  const uint16_t next[] = {0x6360, 0x1DBB};
  EXPECT_GT(kelmcat_stable_hash_utf16(next, 2), 0);
}

TEST(Utf16Units, InvalidFormsAreRejected) {
  const char *bad[] = {
      "\xC0\xAF",          // overlong '/'
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong three bytes
      "\xED\xA0\x80",      // encoded surrogate
      "\xF0\x8F\xBF\xBF",  // overlong four bytes
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\x80",          // lone continuation
      "a\xC3",         // cut by the terminator
      "\xE2\x82",      // cut by the terminator
      "\xE2\x28\xAC",  // bad continuation
  };
  uint16_t units[16];
  for (const char *t : bad) {
    EXPECT_EQ(kel_utf8_to_utf16_units(t, nullptr, 0), -1) << t;
    EXPECT_EQ(kel_utf8_to_utf16_units(t, units, 16), -1) << t;
    EXPECT_EQ(kelmcat_stable_hash_utf8(t), 0) << t;
  }
  EXPECT_EQ(kel_utf8_to_utf16_units(nullptr, nullptr, 0), -1);
}

TEST(Utf16Units, CountsWritesAndRespectsCapacity) {
  uint16_t u[4] = {};
  EXPECT_EQ(kel_utf8_to_utf16_units("\xE2\x82\xAC", nullptr, 0), 1);  // euro sign
  EXPECT_EQ(kel_utf8_to_utf16_units("\xE2\x82\xAC", u, 1), 1);
  EXPECT_EQ(u[0], 0x20AC);
  EXPECT_EQ(kel_utf8_to_utf16_units("\xF4\x8F\xBF\xBF", u, 2), 2);  // U+10FFFF
  EXPECT_EQ(u[0], 0xDBFF);
  EXPECT_EQ(u[1], 0xDFFF);
  EXPECT_EQ(kel_utf8_to_utf16_units("", u, 0), 0);

  const char *grin = "a\xF0\x9F\x98\x80";
  EXPECT_EQ(kel_utf8_to_utf16_units(grin, nullptr, 0), 3);
  uint16_t two[2] = {0, 0};
  EXPECT_EQ(kel_utf8_to_utf16_units(grin, two, 2), -1);
  EXPECT_EQ(two[0], 'a');  // units written before the failure stay
  uint16_t three[3] = {};
  EXPECT_EQ(kel_utf8_to_utf16_units(grin, three, 3), 3);
  EXPECT_EQ(three[1], 0xD83D);
  EXPECT_EQ(three[2], 0xDE00);
}

TEST(DeriveKey, FormatsPathAndSize) {
  char buf[64];
  ASSERT_EQ(kelmcat_derive_key("/Films/a.mkv", 1000, buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "/Films/a.mkv_1000");
  ASSERT_EQ(kelmcat_derive_key("/Films/a.mkv", -1, buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "/Films/a.mkv_-1");
  ASSERT_EQ(kelmcat_derive_key("//x/", INT64_MAX, buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "//x/_9223372036854775807");  // not cleaned
}

TEST(DeriveKey, BufferMustHoldTheTerminator) {
  const char *want = "/Films/a.mkv_1000";
  size_t len = std::strlen(want);
  char buf[32];
  EXPECT_EQ(kelmcat_derive_key("/Films/a.mkv", 1000, buf, len), KELMCAT_ERR_ARG);
  EXPECT_EQ(std::string(kelmcat_last_error()), "key longer than " + std::to_string(len));
  EXPECT_EQ(kelmcat_derive_key("/Films/a.mkv", 1000, buf, len + 1), KELMCAT_OK);
  EXPECT_STREQ(buf, want);
}

TEST(DeriveKey, ArgumentChecksInOrder) {
  char buf[8];
  EXPECT_EQ(kelmcat_derive_key(nullptr, 1, nullptr, 8), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null output buffer");
  EXPECT_EQ(kelmcat_derive_key("a", 1, buf, 0), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null output buffer");
  EXPECT_EQ(kelmcat_derive_key(nullptr, 1, buf, sizeof buf), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null path");
}

TEST(VaultKeys, MatchedAndCorrectionKeys) {
  char buf[25];
  ASSERT_EQ(kelmcat_vault_key("/Films/a.mkv_1000", buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "MatchedIMDbId_523603486");
  ASSERT_EQ(kelmcat_correction_key("/Films/a.mkv_1000", buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "CorrectIMDbId_523603486");
  ASSERT_EQ(kelmcat_correction_key("\xFF", buf, sizeof buf), KELMCAT_OK);
  EXPECT_STREQ(buf, "CorrectIMDbId_0");

  char out[1200];
  int n = kel_vault_prefixed_key(out, sizeof out, "u1", "MatchedIMDbId_523603486");
  EXPECT_STREQ(out, "TALMERON_IMediaKeyVault_u1_MatchedIMDbId_523603486");
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
  kel_vault_prefixed_key(out, sizeof out, nullptr, nullptr);
  EXPECT_STREQ(out, "TALMERON_IMediaKeyVault__");
}

TEST(VaultKeys, TenDigitHashNeedsTwentyFiveBytes) {
  // "abc" hashes to 1099313834 (10 digits), "a" to 372029373 (9 digits).
  char buf[25];
  EXPECT_EQ(kelmcat_vault_key("abc", buf, 24), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "vault key longer than 24");
  EXPECT_EQ(kelmcat_correction_key("abc", buf, 24), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "correction key longer than 24");
  EXPECT_EQ(kelmcat_vault_key("a", buf, 24), KELMCAT_OK);
  EXPECT_EQ(kelmcat_vault_key("abc", buf, 25), KELMCAT_OK);
  EXPECT_STREQ(buf, "MatchedIMDbId_1099313834");

  EXPECT_EQ(kelmcat_vault_key(nullptr, buf, sizeof buf), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null argument");
  EXPECT_EQ(kelmcat_correction_key("a", nullptr, 25), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null argument");
}

TEST(VaultKeys, PrefixedKeyIsCutAndReportsFullLength) {
  char out[10];
  int n = kel_vault_prefixed_key(out, sizeof out, "u1", "k");
  EXPECT_EQ(n, static_cast<int>(std::strlen("TALMERON_IMediaKeyVault_u1_k")));
  EXPECT_STREQ(out, "TALMERON_");
}

}  // namespace
