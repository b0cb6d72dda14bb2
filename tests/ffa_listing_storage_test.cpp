// How listed entries are stored: the copied texts (a name that ends the path
// shares its bytes), the page records handed to the backend (fresh on every
// page although the buffer is reused) and the entry array kept from one
// listing to the next.
#include <string>
#include <vector>

#include "ffa_script.h"

namespace {

using script::sb;

class FfaListingStorage : public script::Fixture {};

TEST_F(FfaListingStorage, TextsAreCopiedWhetherOrNotTheNameEndsThePath) {
  struct Case {
    const char *name;
    const char *path;
    bool shared;  // the name's copy is the tail of the path's copy
  };
  const Case cases[] = {
      {"a.mkv", "/m/a.mkv", true},
      {"x", "/m/ax", true},          // a tail without a '/' before it is the same text
      {"b.mkv", "/m/other", false},  // not a tail
      {"long-name", "/m/g", false},  // longer than the path
      {"m", "m", true},              // the whole path
      {"dir", "/m/dir/", false},     // a trailing slash: the name is not the tail
      {"\xc3\xa9t\xc3\xa9", "/m/\xc3\xa9t\xc3\xa9", true},
  };
  for (const Case &c : cases) sb().entries.push_back({c.name, c.path});
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_count(), static_cast<int32_t>(std::size(cases)));
  for (int i = 0; i < kelffa_count(); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(c.path);
    const kelffa_item *it = kelffa_item_at(i);
    EXPECT_STREQ(kelffa_item_name(it), c.name);
    EXPECT_STREQ(kelffa_item_path(it), c.path);
    const size_t plen = std::strlen(c.path), nlen = std::strlen(c.name);
    const bool shared = nlen <= plen && it->name == it->path + (plen - nlen);
    EXPECT_EQ(shared, c.shared);
  }
}

TEST_F(FfaListingStorage, TitleIdAndLocatorAreCopiedBesideThePath) {
  sb().list = [](const char *, kelffa_page *pg) {
    kelffa_item &it = pg->items[pg->count++];
    it.name = "f.mkv";
    it.path = "/m/f.mkv";
    it.fields = F_TITLE | F_ID | F_LOCATOR | F_YEAR;
    it.title = "T";
    it.year = 1999;
    it.id = "id-7";
    it.locator = "loc://f";
    return KELFFA_OK;
  };
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  const kelffa_item *it = kelffa_item_at(0);
  EXPECT_STREQ(kelffa_item_name(it), "f.mkv");
  EXPECT_STREQ(kelffa_item_path(it), "/m/f.mkv");
  EXPECT_STREQ(kelffa_item_title(it), "T");
  EXPECT_EQ(kelffa_item_year(it), 1999);
  EXPECT_STREQ(kelffa_item_backend_id(it), "id-7");
  EXPECT_STREQ(kelffa_item_locator(it), "loc://f");
}

// A backend that writes into every record of each page, beyond the ones it
// reports and into the scalars, finds every record fresh again on the next.
TEST_F(FfaListingStorage, EveryPageGetsFreshRecords) {
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  static std::vector<std::string> problems;
  problems.clear();
  sb().list = [](const char *, kelffa_page *pg) {
    kelffa_item fresh;
    kelffa__item_fresh(&fresh);
    for (uint64_t i = 0; i < pg->cap; ++i) {
      kelffa_item &it = pg->items[i];
      if (std::memcmp(&it, &fresh, sizeof fresh) != 0)
        problems.push_back("record " + std::to_string(i) + " not fresh");
      it.fields = F_SIZE | F_MTIME;
      it.size = 5;
      it.mtime_ms = 6;
      it.title = "left over";
      it.name = "scribble";
      it.path = "/m/scribble";
    }
    for (uint64_t g = 0; g < 16; ++g)
      if (pg->items[pg->cap + g].name == nullptr) problems.push_back("guard lost");
    pg->count = 1;  // only the first counts
    pg->items[0].name = "e";
    pg->items[0].path = "/m/e";
    pg->more = sb().list_calls < 3;
    pg->next_cursor = "c";
    return KELFFA_OK;
  };
  ASSERT_EQ(kelffa_list_all("/m"), KELFFA_OK);
  EXPECT_EQ(sb().list_calls, 3);
  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_EQ(kelffa_count(), 3);

  // A page size changed between pages gets a buffer of the new size.
  sb().list_calls = 0;
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_set_page_size(40), KELFFA_OK);
  EXPECT_EQ(kelffa_list_next(), 1);
  EXPECT_EQ(kelffa_list_next(), 0);
  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_EQ(kelffa_count(), 3);
}

TEST_F(FfaListingStorage, ALaterSmallerListingShowsOnlyItsOwnEntries) {
  sb().entries = script::numbered(300);
  ASSERT_EQ(kelffa_list_all("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_count(), 300);

  sb().entries = {{"a", "/n/a"}, {"b", "/n/b"}};
  ASSERT_EQ(kelffa_list("/n"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 2);
  EXPECT_EQ(kelffa_item_at(2), nullptr);
  EXPECT_STREQ(kelffa_item_path(kelffa_item_at(1)), "/n/b");

  // The self-loop test compares against the folder of the current listing.
  sb().entries = {{"n", "/n"}, {"c", "/m/c"}};
  ASSERT_EQ(kelffa_list("/n/"), KELFFA_OK);
  EXPECT_EQ(kelffa_rejected(), 1);
  ASSERT_EQ(kelffa_count(), 1);
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(0)), "c");

  // Closing the session drops the entries with the array.
  kelffa_close();
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_EQ(kelffa_item_at(0), nullptr);
}

}  // namespace
