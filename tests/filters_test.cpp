// Path cleaning, include/exclude decisions, extensions and the candidate rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan/filters.h"

namespace {

std::string cleaned(const char *p) {
  kel_buf b{};
  EXPECT_EQ(kel_clean_path(p, &b), 0);
  std::string s = b.data ? b.data : "<no storage>";
  kel_buf_free(&b);
  return s;
}

void set_list(int32_t (*setter)(const char *const *, int32_t), std::vector<const char *> v) {
  ASSERT_EQ(setter(v.data(), static_cast<int32_t>(v.size())), KELMCAT_OK);
}

class Filters : public ::testing::Test {
 protected:
  void SetUp() override { kelmcat_shutdown(); }
  void TearDown() override { kelmcat_shutdown(); }
};

TEST(CleanPath, StripsSeparatorsAtTheEndsOnly) {
  const struct {
    const char *in, *out;
  } cases[] = {
      {nullptr, ""},
      {"", ""},
      {"/", ""},
      {"\\/\\", ""},
      {"/a//b/", "a//b"},
      {"C:\\Media\\", "C:\\Media"},
      {"/Movies/Action/", "Movies/Action"},
      {"\\Movies\\Action\\", "Movies\\Action"},
      {"./x/../y", "./x/../y"},
  };
  for (const auto &c : cases) EXPECT_EQ(cleaned(c.in), c.out) << (c.in ? c.in : "null");
}

TEST(CleanPath, ReplacesContentAndWorksInPlace) {
  kel_buf b{};
  ASSERT_EQ(kel_buf_adds(&b, "old content that is long"), 0);
  ASSERT_EQ(kel_clean_path("/x/", &b), 0);
  EXPECT_STREQ(b.data, "x");
  EXPECT_EQ(b.len, 1u);
  ASSERT_EQ(kel_buf_adds(&b, "//in/place//"), 0);
  ASSERT_EQ(kel_clean_path(b.data + 1, &b), 0);  // "//in/place//" from the second byte
  EXPECT_STREQ(b.data, "in/place");
  EXPECT_EQ(b.len, 8u);
  kel_buf_free(&b);
  EXPECT_EQ(kel_clean_path("a", nullptr), -1);
}

// A file's cleaned path built from its folder's kept part is what cleaning the
// joined path gives, in the order a walk asks: files of one folder, another
// folder, a name that cuts into the folder's part, then the first folder again.
TEST(CleanFilePath, MatchesCleaningTheJoinedPath) {
  const struct {
    const char *folder, *name;
  } steps[] = {
      {"/Movies", "a.mkv"},
      {"/Movies", "b.mkv"},
      {"/Movies", "\\c.mkv\\"},
      {"/Movies", "/\\"},
      {"/Movies", "d.mkv"},
      {"/Movies/", "e.mkv"},
      {"Movies\\", "f.mkv"},
      {"/", "g.mkv"},
      {"/", "\\h.mkv"},
      {"", "i.mkv"},
      {"", "/j.mkv"},
      {"\\", "k.mkv"},
      {"//", "/"},
      {"/TV/Shows", "x.mkv"},
      {"/TV/Show", "x.mkv"},
      {"/TV/Shows", "y.mkv"},
      {"/Movies", "a.mkv"},
  };
  kel_file_paths paths{};
  for (const auto &s : steps) {
    std::string folder = s.folder;
    std::string joined =
        folder.empty() || folder.back() == '/' ? folder + s.name : folder + "/" + s.name;
    ASSERT_EQ(kel_clean_file_path(&paths, folder.c_str(), s.name), 0);
    EXPECT_EQ(std::string(paths.clean.data, paths.clean.len), cleaned(joined.c_str()))
        << s.folder << " + " << s.name;
    EXPECT_EQ(std::strlen(paths.clean.data), paths.clean.len);
  }
  kel_file_paths_free(&paths);
}

TEST(AncestorOrEqual, SegmentBoundaries) {
  const struct {
    const char *a, *b;
    int want;
  } cases[] = {
      {"Movies", "Movies/Action/a.mkv", 1},
      {"Movies", "Movies", 1},
      {"Movies", "MoviesOld/a.mkv", 0},
      {"", "Movies", 0},
      {"", "", 0},
      {"Movies/Action", "Movies", 0},
      {"movies", "Movies/a", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ancestor_or_equal(c.a, strlen(c.a), c.b, strlen(c.b)), c.want) << c.a << " " << c.b;
}

struct Decision {
  const char *path;
  int dflt;
  int want;
};

void expect_decisions(const std::vector<Decision> &ds) {
  for (const auto &d : ds)
    EXPECT_EQ(kel_path_included(d.path, d.dflt), d.want) << d.path << " default " << d.dflt;
}

TEST_F(Filters, NoListsTakeEverything) {
  expect_decisions({{"", 0, 1}, {"a/b.mkv", 0, 1}, {"x", 1, 1}});
}

TEST_F(Filters, ExcludeMatchesWholeSegmentsAndWins) {
  set_list(kelmcat_set_exclude_paths, {"/Movies/Kids/", "/"});
  expect_decisions({{"Movies/Kids/a.mkv", 0, 0},
                    {"Movies/Kids", 1, 0},
                    {"Movies/Kidsville/a.mkv", 0, 1},
                    {"Movies", 1, 1}});
  set_list(kelmcat_set_include_paths, {"TV"});
  set_list(kelmcat_set_exclude_paths, {"TV"});
  expect_decisions({{"TV/a.mkv", 0, 0}, {"TV", 1, 0}});
}

TEST_F(Filters, IncludeTakesEntriesAndTheWayToThem) {
  set_list(kelmcat_set_include_paths, {"/TV/Shows/"});
  expect_decisions({
      {"TV", 1, 1},            // on the way to TV/Shows
      {"TV", 0, 1},            // on the way counts for files too
      {"Movies", 1, 1},        // folder default
      {"Movies/a.mkv", 0, 0},  // file default
      {"TV/Shows/S01/e1.mkv", 0, 1},
      {"TV/Show", 0, 0},  // a prefix, not a segment
      {"TV/ShowsX/e.mkv", 0, 0},
      {"", 0, 0},  // the root is not "on the way" to anything
  });
}

TEST_F(Filters, EntriesThatCleanToNothingOrUseBackslashesMatchNothing) {
  set_list(kelmcat_set_include_paths, {"/"});
  expect_decisions({{"a.mkv", 0, 0}, {"Movies/a.mkv", 0, 0}, {"Movies", 1, 1}});
  set_list(kelmcat_set_include_paths, {"TV\\Shows"});
  expect_decisions({{"TV/Shows/e.mkv", 0, 0}, {"TV", 1, 1}, {"TV\\Shows\\e.mkv", 0, 0}});
}

TEST(FileExtension, LastDotLowerCasedAndBounded) {
  const struct {
    const char *name;
    const char *ext;  // nullptr: none
  } cases[] = {
      {"a.MKV", ".mkv"}, {"a.b.Mp4", ".mp4"},
      {".mkv", nullptr}, {"README", nullptr},
      {"a.", "."},       {"film.\xC3\x89X", ".\xC3\x89x"},  // multi-byte sequences stay as they are
      {"", nullptr},     {nullptr, nullptr},
  };
  for (const auto &c : cases) {
    char out[KEL_EXT_BUF];
    out[0] = 'z';
    int got = kel_file_extension(c.name, out);
    EXPECT_EQ(got, c.ext ? 1 : 0) << (c.name ? c.name : "null");
    EXPECT_STREQ(out, c.ext ? c.ext : "");
  }
  std::string n63 = "f." + std::string(62, 'X'), n64 = "f." + std::string(63, 'x');
  char out[KEL_EXT_BUF];
  ASSERT_EQ(kel_file_extension(n63.c_str(), out), 1);
  EXPECT_EQ(std::string(out), "." + std::string(62, 'x'));
  EXPECT_EQ(kel_file_extension(n64.c_str(), out), 0);
}

TEST_F(Filters, VideoExtensionsConfiguredListReplacesTheTable) {
  EXPECT_EQ(kel_is_video_ext(".mkv"), 1);
  EXPECT_EQ(kel_is_video_ext(".rm"), 1);
  EXPECT_EQ(kel_is_video_ext(".MKV"), 0);
  EXPECT_EQ(kel_is_video_ext(".txt"), 0);
  EXPECT_EQ(kel_is_video_ext(""), 0);
  EXPECT_EQ(kel_is_video_ext(nullptr), 0);
  set_list(kelmcat_set_video_extensions, {".mp4", ".MKV", "avi"});
  EXPECT_EQ(kel_is_video_ext(".mp4"), 1);
  EXPECT_EQ(kel_is_video_ext(".mkv"), 0);  // the table is not consulted any more
  EXPECT_EQ(kel_is_video_ext(".MKV"), 1);
  EXPECT_EQ(kel_is_video_ext(".avi"), 0);
  ASSERT_EQ(kelmcat_set_video_extensions(nullptr, 0), KELMCAT_OK);
  EXPECT_EQ(kel_is_video_ext(".mkv"), 1);
}

kelffa_item file(const char *name, int64_t size = -1, uint32_t fields = 0) {
  kelffa_item it{};
  it.struct_size = sizeof it;
  it.name = name;
  it.path = name;
  it.size = size;
  it.mtime_ms = -1;
  it.fields = fields | (size >= 0 ? F_SIZE : 0u);
  it.title = "T";
  it.year = 2001;
  it.id = "id1";
  return it;
}

TEST_F(Filters, CandidateRule) {
  const struct {
    kelffa_item item;
    int want;
    const char *what;
  } cases[] = {
      {file("a.MKV", 10), 1, "video by extension"},
      {file("a.mkv"), 1, "unknown size is taken"},
      {file("a.mkv", 0), 0, "size 0 without metadata"},
      {file("a.m2ts", 10), 0, ".m2ts needs metadata"},
      {file("a.m2ts", 10, F_TITLE | F_YEAR), 1, ".m2ts with title and year"},
      {file(".mkv", 10), 0, "dot first: no extension"},
      {file("a.txt", 10), 0, "not video"},
      {file("README", 0, F_ID), 1, "id, no extension, size 0"},
      {file("notes.txt", 5, F_TITLE), 0, "title without year is not metadata"},
      {file("", 5, F_ID), 0, "empty name"},
      {file(".", 5, F_ID), 0, "dot"},
      {file("..", 5, F_ID), 0, "dot dot"},
  };
  for (const auto &c : cases) EXPECT_EQ(kel_is_candidate(&c.item), c.want) << c.what;

  kelffa_item folder = file("Season.mkv", 5, F_ID);
  folder.is_folder = 1;
  EXPECT_EQ(kel_is_candidate(&folder), 0);
  EXPECT_EQ(kel_is_candidate(nullptr), 0);

  set_list(kelmcat_set_video_extensions, {".mp4"});
  kelffa_item mkv = file("a.mkv", 10);
  EXPECT_EQ(kel_is_candidate(&mkv), 0);
}

}  // namespace

TEST(FileExtension, OnlyTheLastDotWithinReachCounts) {
  const std::string x62(62, 'x'), x70(70, 'x');
  const struct {
    std::string name;
    std::string ext;  // "": none
  } cases[] = {
      {"." + x62, ""},           // 63 bytes from a leading dot
      {"a.b" + x70, ""},         // the last dot lies too far back
      {"a.mkv.b" + x70, ""},     // an earlier, shorter one does not count
      {"ab." + x62, "." + x62},  // exactly at the edge
      {x70 + ".MKV", ".mkv"},    // a long name with a short extension
  };
  for (const auto &c : cases) {
    char out[KEL_EXT_BUF];
    EXPECT_EQ(kel_file_extension(c.name.c_str(), out), c.ext.empty() ? 0 : 1) << c.name;
    EXPECT_EQ(std::string(out), c.ext) << c.name;
  }
}
