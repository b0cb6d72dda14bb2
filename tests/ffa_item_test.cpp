// Items: validation order and reasons, UTF-8, stored copies and accessors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ffa/ffa_internal.h"
#include "kelmcat.h"

namespace {

kelffa_item good() {
  kelffa_item it;
  kelffa__item_fresh(&it);
  it.name = "a.mkv";
  it.path = "/m/a.mkv";
  return it;
}

struct Case {
  const char *what;
  void (*edit)(kelffa_item &);
  const char *folder;
  const char *listing_reason;  // nullptr: passes
  const char *stat_reason;
};

const Case kCases[] = {
    {"valid", [](kelffa_item &) {}, "/m", nullptr, nullptr},
    {"null name and empty path", [](kelffa_item &i) { i.name = nullptr, i.path = ""; }, "/m",
     "name is NULL", "name is NULL"},
    {"empty name", [](kelffa_item &i) { i.name = ""; }, "/m", "empty name", nullptr},
    {"dot", [](kelffa_item &i) { i.name = "."; }, "/m", "name is '.' or '..' (cycle)",
     "name is '.' or '..' (cycle)"},
    {"dotdot", [](kelffa_item &i) { i.name = ".."; }, "/m", "name is '.' or '..' (cycle)",
     "name is '.' or '..' (cycle)"},
    {"three dots", [](kelffa_item &i) { i.name = "..."; }, "/m", nullptr, nullptr},
    {"space dot", [](kelffa_item &i) { i.name = " ."; }, "/m", nullptr, nullptr},
    {"backslash", [](kelffa_item &i) { i.name = "a\\b"; }, "/m", nullptr, nullptr},
    {"slash", [](kelffa_item &i) { i.name = "a/b"; }, "/m", "name contains '/'",
     "name contains '/'"},
    {"bad name utf8", [](kelffa_item &i) { i.name = "\xC0\x80"; }, "/m", "name is not valid UTF-8",
     "name is not valid UTF-8"},
    {"null path", [](kelffa_item &i) { i.path = nullptr; }, "/m", "path is empty", "path is empty"},
    {"bad path utf8", [](kelffa_item &i) { i.path = "/m/\xED\xA0\x80"; }, "/m",
     "path is not valid UTF-8", "path is not valid UTF-8"},
    {"self-loop trailing slash", [](kelffa_item &i) { i.path = "/media"; }, "/media/",
     "path equals the listed folder (self-loop)", nullptr},
    {"self-loop root", [](kelffa_item &i) { i.path = "/"; }, "/",
     "path equals the listed folder (self-loop)", nullptr},
    {"self-loop slashes on the entry", [](kelffa_item &i) { i.path = "/m//"; }, "/m",
     "path equals the listed folder (self-loop)", nullptr},
    {"child of folder", [](kelffa_item &i) { i.path = "/media/x"; }, "/media", nullptr, nullptr},
    {"no folder, no loop test", [](kelffa_item &i) { i.path = "/m"; }, nullptr, nullptr, nullptr},
    {"is_folder 2", [](kelffa_item &i) { i.is_folder = 2; }, "/m", "is_folder not 0/1",
     "is_folder not 0/1"},
    {"is_folder -1", [](kelffa_item &i) { i.is_folder = -1; }, "/m", "is_folder not 0/1",
     "is_folder not 0/1"},
    {"negative size without bit", [](kelffa_item &i) { i.size = -5; }, "/m", nullptr, nullptr},
    {"negative size", [](kelffa_item &i) { i.size = -5, i.fields = F_SIZE; }, "/m",
     "F_SIZE with negative size", "F_SIZE with negative size"},
    {"negative mtime", [](kelffa_item &i) { i.mtime_ms = -1, i.fields = F_MTIME; }, "/m",
     "F_MTIME with negative mtime", "F_MTIME with negative mtime"},
    {"year 1800", [](kelffa_item &i) { i.year = 1800, i.fields = F_YEAR; }, "/m", nullptr, nullptr},
    {"year 9999", [](kelffa_item &i) { i.year = 9999, i.fields = F_YEAR; }, "/m", nullptr, nullptr},
    {"year 1799", [](kelffa_item &i) { i.year = 1799, i.fields = F_YEAR; }, "/m",
     "F_YEAR outside 1800..9999", "F_YEAR outside 1800..9999"},
    {"year 10000", [](kelffa_item &i) { i.year = 10000, i.fields = F_YEAR; }, "/m",
     "F_YEAR outside 1800..9999", "F_YEAR outside 1800..9999"},
    {"null title", [](kelffa_item &i) { i.fields = F_TITLE; }, "/m", "F_TITLE with NULL title",
     "F_TITLE with NULL title"},
    {"bad title", [](kelffa_item &i) { i.fields = F_TITLE, i.title = "\x80"; }, "/m",
     "title is not valid UTF-8", "title is not valid UTF-8"},
    {"bad title without bit", [](kelffa_item &i) { i.title = "\x80"; }, "/m", nullptr, nullptr},
    {"null id", [](kelffa_item &i) { i.fields = F_ID; }, "/m", "F_ID with NULL id",
     "F_ID with NULL id"},
    {"bad id", [](kelffa_item &i) { i.fields = F_ID, i.id = "\xF4\x90\x80\x80"; }, "/m",
     "id is not valid UTF-8", "id is not valid UTF-8"},
    {"null locator", [](kelffa_item &i) { i.fields = F_LOCATOR; }, "/m",
     "F_LOCATOR with NULL locator", "F_LOCATOR with NULL locator"},
    {"bad locator", [](kelffa_item &i) { i.fields = F_LOCATOR, i.locator = "\xC3"; }, "/m",
     "locator is not valid UTF-8", "locator is not valid UTF-8"},
    {"unknown bits are ignored", [](kelffa_item &i) { i.fields = 0xFFFFFFC0u; }, "/m", nullptr,
     nullptr},
    {"year checked before title", [](kelffa_item &i) { i.fields = F_YEAR | F_TITLE; }, "/m",
     "F_YEAR outside 1800..9999", "F_YEAR outside 1800..9999"},
};

TEST(FfaItem, ValidationRulesInOrderInBothModes) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    kelffa_item it = good();
    c.edit(it);
    const char *why = "untouched";
    EXPECT_EQ(kelffa__validate(&it, c.folder, 0, &why), c.listing_reason ? 0 : 1);
    EXPECT_STREQ(why, c.listing_reason ? c.listing_reason : "untouched");
    why = "untouched";
    EXPECT_EQ(kelffa__validate(&it, c.folder, 1, &why), c.stat_reason ? 0 : 1);
    EXPECT_STREQ(why, c.stat_reason ? c.stat_reason : "untouched");
  }
  const char *why = nullptr;
  EXPECT_EQ(kelffa__validate(nullptr, nullptr, 1, &why), 0);
  EXPECT_STREQ(why, "null item");
  EXPECT_EQ(kelffa__validate(nullptr, nullptr, 0, nullptr), 0);
}

TEST(FfaItem, Utf8IsWellFormedRfc3629) {
  struct {
    const char *bytes;
    int valid;
  } cases[] = {
      {"", 1},
      {"plain", 1},
      {"\xE2\x82\xAC", 1},      // euro sign
      {"\xF0\x9F\x98\x80", 1},  // U+1F600
      {"\xF4\x8F\xBF\xBF", 1},  // U+10FFFF
      {"\xED\x9F\xBF", 1},      // U+D7FF
      {"\xC0\x80", 0},          // overlong NUL
      {"\xE0\x9F\xBF", 0},      // overlong three-byte
      {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte
      {"\xED\xA0\x80", 0},      // surrogate
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},  // lead byte out of range
      {"\x80", 0},              // lone continuation
      {"\xC3", 0},              // continuation missing at the terminator
      {"\xE2\x82", 0},          // truncated
      {"\xE2\x28\xAC", 0},      // wrong continuation
      {"\xF0\x9F\x98\x28", 0},  // wrong last continuation
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(kelffa__utf8_valid(c.bytes), c.valid);
  }
  EXPECT_EQ(kelffa__utf8_valid(nullptr), 0);
}

TEST(FfaItem, CopyKeepsOnlyVouchedFieldsAndOwnsItsStrings) {
  std::string name = "n", path = "/m/n", title = "T", id = "ID7";
  kelffa_item src = good();
  src.name = name.c_str();
  src.path = path.c_str();
  src.fields = 0xFF & ~(F_LOCATOR | F_SIZE);  // locator and size not vouched for
  src.is_folder = 1;
  src.size = 99;
  src.mtime_ms = 5;
  src.year = 2001;
  src.title = title.c_str();
  src.id = id.c_str();
  src.locator = "\xFF not read";
  src.struct_size = 999;
  kelffa_item dst;
  ASSERT_EQ(kelffa__item_copy(&dst, &src), KELFFA_OK);
  name[0] = path[0] = title[0] = id[0] = 'Z';  // the copy must not share storage
  EXPECT_EQ(dst.struct_size, 72u);
  EXPECT_EQ(dst.fields, 0x3Fu & ~(F_LOCATOR | F_SIZE));
  EXPECT_STREQ(dst.name, "n");
  EXPECT_STREQ(dst.path, "/m/n");
  EXPECT_STREQ(dst.title, "T");
  EXPECT_STREQ(dst.id, "ID7");
  EXPECT_EQ(dst.locator, nullptr);
  EXPECT_EQ(dst.size, -1);
  EXPECT_EQ(dst.mtime_ms, 5);
  EXPECT_EQ(dst.year, 2001);
  EXPECT_EQ(dst.is_folder, 1);
  kelffa__item_free(&dst);
  kelffa_item zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&dst, &zero, sizeof zero), 0);

  // Without F_YEAR a stored copy carries year 0; 0xFF is stored as 0x3F.
  kelffa_item s2 = good();
  s2.year = 1999;
  s2.fields = 0xFF;
  s2.title = s2.id = s2.locator = "t";
  s2.size = s2.mtime_ms = 1;
  s2.year = 2000;
  ASSERT_EQ(kelffa__item_copy(&dst, &s2), KELFFA_OK);
  EXPECT_EQ(dst.fields, 0x3Fu);
  EXPECT_STREQ(dst.locator, "t");
  kelffa__item_free(&dst);
  s2.fields = 0;
  ASSERT_EQ(kelffa__item_copy(&dst, &s2), KELFFA_OK);
  EXPECT_EQ(dst.year, 0);
  EXPECT_EQ(dst.title, nullptr);
  kelffa__item_free(&dst);
}

TEST(FfaItem, AccessorsReadBitsAndNeverFail) {
  EXPECT_STREQ(kelffa_item_name(nullptr), "");
  EXPECT_STREQ(kelffa_item_path(nullptr), "");
  EXPECT_EQ(kelffa_item_is_folder(nullptr), 0);
  EXPECT_EQ(kelffa_item_size(nullptr), -1);
  EXPECT_EQ(kelffa_item_mtime_ms(nullptr), -1);
  EXPECT_EQ(kelffa_item_has(nullptr, F_SIZE), 0);
  EXPECT_EQ(kelffa_item_fields(nullptr), 0);
  EXPECT_STREQ(kelffa_item_title(nullptr), "");
  EXPECT_EQ(kelffa_item_year(nullptr), 0);
  EXPECT_STREQ(kelffa_item_backend_id(nullptr), "");
  EXPECT_STREQ(kelffa_item_locator(nullptr), "");

  kelffa_item it;
  std::memset(&it, 0, sizeof it);  // null strings read as ""
  EXPECT_STREQ(kelffa_item_name(&it), "");
  EXPECT_STREQ(kelffa_item_path(&it), "");
  it.fields = F_TITLE | F_ID | F_LOCATOR;  // bits set, pointers null
  EXPECT_STREQ(kelffa_item_title(&it), "");
  EXPECT_STREQ(kelffa_item_backend_id(&it), "");
  EXPECT_STREQ(kelffa_item_locator(&it), "");

  it.size = 12;
  it.mtime_ms = 34;
  it.year = 1990;
  it.title = "T";
  it.id = "I";
  it.locator = "L";
  it.fields = 0;  // nothing vouched for
  EXPECT_EQ(kelffa_item_size(&it), -1);
  EXPECT_EQ(kelffa_item_mtime_ms(&it), -1);
  EXPECT_EQ(kelffa_item_year(&it), 0);
  EXPECT_STREQ(kelffa_item_title(&it), "");
  EXPECT_STREQ(kelffa_item_backend_id(&it), "");
  EXPECT_STREQ(kelffa_item_locator(&it), "");
  it.fields = 0xFFFFFFFFu;  // read unmasked on records the layer did not store
  EXPECT_EQ(kelffa_item_fields(&it), -1);
  EXPECT_EQ(kelffa_item_size(&it), 12);
  EXPECT_EQ(kelffa_item_mtime_ms(&it), 34);
  EXPECT_EQ(kelffa_item_year(&it), 1990);
  EXPECT_STREQ(kelffa_item_title(&it), "T");
  EXPECT_STREQ(kelffa_item_backend_id(&it), "I");
  EXPECT_STREQ(kelffa_item_locator(&it), "L");
  it.is_folder = 7;
  EXPECT_EQ(kelffa_item_is_folder(&it), 7);

  it.fields = F_TITLE;
  EXPECT_EQ(kelffa_item_has(&it, 0), 0);
  EXPECT_EQ(kelffa_item_has(&it, F_TITLE), 1);
  EXPECT_EQ(kelffa_item_has(&it, F_TITLE | F_YEAR), 0);
  it.fields = F_TITLE | F_YEAR;
  EXPECT_EQ(kelffa_item_has(&it, F_TITLE | F_YEAR), 1);
}

TEST(FfaItem, ValidateItemRecordsRejectionOnlyOnFailure) {
  kelffa_reset();
  kelffa__fail(KELFFA_ERR_ACCESS, "earlier");
  kelffa_item it = good();
  EXPECT_EQ(kelffa_validate_item(&it, "/m"), KELFFA_OK);
  EXPECT_STREQ(kelffa_last_error(), "earlier");
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_ACCESS);
  it.path = "/m/";
  EXPECT_EQ(kelffa_validate_item(&it, nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa_validate_item(&it, "/m"), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "item rejected: path equals the listed folder (self-loop)");
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_INVALID_ARG);
  EXPECT_EQ(kelffa_validate_item(nullptr, nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "item rejected: null item");
  kelffa_reset();
}

}  // namespace
