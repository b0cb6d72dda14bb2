// The fake tree store, observed through the folder-access layer: the tree JSON
// key rules, path derivation and lookup, the depth limit, "generate", and which
// failed loads keep the previous tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelmcat.h"

namespace {

class FakeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    kelffa_reset();
    kelffa_fake_set_fault(0, 0);
    ASSERT_EQ(kelffa_fake_set_caps(0x0F), KELFFA_OK);
    ASSERT_EQ(kelffa_fake_register(), KELFFA_OK);
  }
  void TearDown() override { kelffa_reset(); }

  // Loads a tree and opens a fake session over it.
  void Load(const std::string &json) {
    ASSERT_EQ(kelffa_fake_load_tree(json.c_str()), KELFFA_OK) << kelffa_last_error();
    ASSERT_EQ(kelffa_open("fake", nullptr), KELFFA_OK) << kelffa_last_error();
  }

  // Names of a folder's accepted entries, in order.
  static std::vector<std::string> Names(const char *folder) {
    std::vector<std::string> out;
    EXPECT_EQ(kelffa_list_all(folder), KELFFA_OK) << kelffa_last_error();
    for (int32_t i = 0; i < kelffa_count(); ++i) out.push_back(kelffa_item_name(kelffa_item_at(i)));
    return out;
  }

  // The stat result of a path, or null when the stat failed.
  static const kelffa_item *Stat(const char *path) {
    return kelffa_get(path, nullptr) == KELFFA_OK ? kelffa_got() : nullptr;
  }
};

using Strs = std::vector<std::string>;

TEST_F(FakeTree, FolderRule) {
  // Root without "children" is a folder; the rest follow the "folder" rule.
  Load(R"({"name":"r","children":[
      {"name":"plain"},
      {"name":"yes","folder":true},
      {"name":"no","folder":false},
      {"name":"str","folder":"x"},
      {"name":"kids","folder":false,"children":[]},
      {"name":"file","folder":0,"children":[{"name":"inner"}]},
      {"name":"two","folder":2},
      {"name":"low","folder":4294967297}]})");
  struct Case {
    const char *path;
    int32_t is_folder;
  } cases[] = {{"/", 1},     {"/plain", 0}, {"/yes", 1}, {"/no", 0},        {"/str", 0},
               {"/kids", 1}, {"/file", 0},  {"/low", 1}, {"/file/inner", 0}};
  for (const Case &c : cases) {
    const kelffa_item *it = Stat(c.path);
    ASSERT_NE(it, nullptr) << c.path << ": " << kelffa_last_error();
    EXPECT_EQ(kelffa_item_is_folder(it), c.is_folder) << c.path;
  }
  // is_folder 2 is stored as given and refused by the layer's validation.
  EXPECT_EQ(kelffa_get("/two", nullptr), KELFFA_ERR_TRANSPORT);
  EXPECT_STREQ(kelffa_last_error(), "stat returned an invalid item: is_folder not 0/1");
  EXPECT_EQ(Names("/"), (Strs{"plain", "yes", "no", "str", "kids", "file", "low"}));
  EXPECT_EQ(kelffa_rejected(), 1);
  // A node turned into a file keeps its children in the index but cannot be listed.
  EXPECT_EQ(kelffa_list("/file"), KELFFA_ERR_INVALID_ARG);

  Load(R"({"name":"solo"})");
  EXPECT_EQ(Names("/"), Strs{});
  Load(R"({"name":"r","folder":0})");
  EXPECT_EQ(kelffa_list("/"), KELFFA_ERR_INVALID_ARG);
}

TEST_F(FakeTree, ValueKeysAndFirstOccurrence) {
  Load(R"({"name":"","children":[
      {"name":"a","size":5,"mtime_ms":10,"title":"T","year":1999,"id":"x1"},
      {"name":"neg","size":-3,"mtime_ms":-1},
      {"name":"real","size":1.5,"mtime_ms":2.0,"title":5,"year":"1999","id":7},
      {"name":"huge","size":18446744073709551615},
      {"name":"first","name":"second","size":"x","size":9,"year":"x","year":2000},
      {"name":"raw","size":-3,"raw_size":null},
      {"name":"wrap","year":4294969295}]})");
  const kelffa_item *a = Stat("/a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(kelffa_item_size(a), 5);
  EXPECT_EQ(kelffa_item_mtime_ms(a), 10);
  EXPECT_STREQ(kelffa_item_title(a), "T");
  EXPECT_EQ(kelffa_item_year(a), 1999);
  EXPECT_STREQ(kelffa_item_backend_id(a), "x1");
  EXPECT_EQ(kelffa_item_fields(a), int32_t(F_SIZE | F_MTIME | F_TITLE | F_YEAR | F_ID));

  for (const char *p : {"/neg", "/real", "/huge", "/first"}) {
    const kelffa_item *it = Stat(p);
    ASSERT_NE(it, nullptr) << p;
    EXPECT_EQ(kelffa_item_fields(it), 0) << p;
    EXPECT_EQ(kelffa_item_size(it), -1) << p;
  }
  EXPECT_STREQ(kelffa_item_name(Stat("/first")), "first");
  // "raw_size" marks a negative size present, which the layer refuses.
  EXPECT_EQ(kelffa_get("/raw", nullptr), KELFFA_ERR_TRANSPORT);
  EXPECT_STREQ(kelffa_last_error(), "stat returned an invalid item: F_SIZE with negative size");
  // The year is taken as its low 32 bits without a range check.
  EXPECT_EQ(kelffa_item_year(Stat("/wrap")), 1999);
}

TEST_F(FakeTree, InvalidUtf8IsKeptByteForByte) {
  Load(
      "{\"name\":\"\",\"children\":[{\"name\":\"bad\xff\"},{\"name\":\"ok\",\"title\":\"t\xc3\"}]"
      "}");
  EXPECT_EQ(Names("/"), Strs{});
  EXPECT_EQ(kelffa_rejected(), 2);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: title is not valid UTF-8");
  EXPECT_EQ(kelffa_get("/ok", nullptr), KELFFA_ERR_TRANSPORT);
  EXPECT_STREQ(kelffa_last_error(), "stat returned an invalid item: title is not valid UTF-8");
  EXPECT_EQ(kelffa_get("/bad\xff", nullptr), KELFFA_ERR_TRANSPORT);
  EXPECT_STREQ(kelffa_last_error(), "stat returned an invalid item: name is not valid UTF-8");
}

TEST_F(FakeTree, PathsAndLookup) {
  Load(R"({"name":"","children":[
      {"name":"Movies","children":[{"name":"m.mkv","size":1}]},
      {"name":"a/b"},
      {"name":"twin","size":1},{"name":"twin","size":2},
      {"name":"x","path":"/elsewhere/x","children":[{"name":"y"}]},
      {"name":"slashed","path":"/s/"},
      {"name":"rel","path":"r","children":[{"name":"c"}]},
      {"name":"keeps","path":"/k/","children":[{"name":"d"}]}]})");
  struct Case {
    const char *lookup, *path;
  } found[] = {{"/Movies/m.mkv", "/Movies/m.mkv"},
               {"/Movies/", "/Movies"},
               {"/Movies///", "/Movies"},
               {"", "/"},
               {"///", "/"},
               {"/elsewhere/x/y", "/elsewhere/x/y"},
               {"r/c", "r/c"},
               {"/k//d", "/k//d"}};
  for (const Case &c : found) {
    const kelffa_item *it = Stat(c.lookup);
    ASSERT_NE(it, nullptr) << c.lookup << ": " << kelffa_last_error();
    EXPECT_STREQ(kelffa_item_path(it), c.path);
  }
  // A name with a slash is found by its derived path (the layer refuses the item).
  const char *loc = kelffa_locator("/a/b");
  ASSERT_NE(loc, nullptr) << kelffa_last_error();
  EXPECT_STREQ(loc, "fake:///a/b");
  // A stored path with a trailing slash can never be found.
  EXPECT_EQ(kelffa_get("/s/", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_EQ(kelffa_get("/s", nullptr), KELFFA_ERR_NOT_FOUND);
  // The first of two equal paths wins the index; both stay listed.
  EXPECT_EQ(kelffa_item_size(Stat("/twin")), 1);
  EXPECT_EQ(Names("/"), (Strs{"Movies", "twin", "twin", "x", "slashed", "rel", "keeps"}));
  EXPECT_EQ(kelffa_rejected(), 1);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: name contains '/'");

  Load(R"({"name":"m","path":"/media","children":[{"name":"a"}]})");
  EXPECT_NE(Stat("/media/a"), nullptr);
  EXPECT_EQ(kelffa_get("/", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_EQ(kelffa_list("/"), KELFFA_ERR_NOT_FOUND);
}

TEST_F(FakeTree, OverlongLookupFindsNothing) {
  const std::string full = "/" + std::string(4095, 'a');  // the longest path that is looked up
  Load(R"({"name":"","children":[{"name":"a","path":")" + full + R"("}]})");
  ASSERT_EQ(kelffa_get((full + "///").c_str(), nullptr), KELFFA_OK) << kelffa_last_error();
  EXPECT_EQ(kelffa_get((full + "b").c_str(), nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_EQ(kelffa_locator((full + "/x").c_str()), nullptr);
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_NOT_FOUND);
}

std::string Nested(int levels, const std::string &innermost) {
  std::string s;
  for (int i = 0; i < levels; ++i) s += R"({"name":"n","children":[)";
  s += innermost;
  for (int i = 0; i < levels; ++i) s += "]}";
  return s;
}

TEST_F(FakeTree, DepthLimit) {
  // Root plus 64 levels load; the 65th level below the root does not, whatever it is.
  Load(Nested(64, R"({"name":"leaf"})"));
  std::string deepest;
  for (int i = 0; i < 63; ++i) deepest += "/n";  // the root itself is "/"
  deepest += "/leaf";
  ASSERT_NE(Stat(deepest.c_str()), nullptr) << kelffa_last_error();
  EXPECT_EQ(Names((deepest.substr(0, deepest.size() - 5)).c_str()), Strs{"leaf"});

  for (const char *inner : {R"({"name":"leaf"})", "7", "{}"}) {
    EXPECT_EQ(kelffa_fake_load_tree(Nested(65, inner).c_str()), KELFFA_ERR_BAD_CONFIG) << inner;
    EXPECT_STREQ(kelffa_last_error(), "fake tree deeper than 64");
    EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_BAD_CONFIG);
  }
  // Nothing of the refused tree is left.
  EXPECT_EQ(kelffa_get("/n", nullptr), KELFFA_ERR_NOT_FOUND);
}

TEST_F(FakeTree, FailedLoads) {
  const std::string keep = R"({"name":"","children":[{"name":"keep"}]})";
  struct Case {
    const char *json;  // nullptr: a null text
    int32_t code;
    const char *message;
    bool tree_kept;
  } cases[] = {
      {nullptr, KELFFA_ERR_INVALID_ARG, "fake tree: NULL", true},
      {"{", KELFFA_ERR_BAD_CONFIG, "fake tree: not JSON", true},
      {"", KELFFA_ERR_BAD_CONFIG, "fake tree: not JSON", true},
      {R"({"name":""} x)", KELFFA_ERR_BAD_CONFIG, "fake tree: not JSON", true},
      {"[]", KELFFA_ERR_BAD_CONFIG, "fake tree: node is not an object", false},
      {R"({"children":[]})", KELFFA_ERR_BAD_CONFIG, "fake tree: node without string name", false},
      {R"({"name":1,"name":"a"})", KELFFA_ERR_BAD_CONFIG, "fake tree: node without string name",
       false},
      {R"({"name":"","children":{}})", KELFFA_ERR_BAD_CONFIG, "fake tree: children is not an array",
       false},
      {R"({"name":"","children":[{"name":"a"},null]})", KELFFA_ERR_BAD_CONFIG,
       "fake tree: node is not an object", false},
      {R"({"name":"","generate":{}})", KELFFA_ERR_BAD_CONFIG, "fake generate: not an array", false},
      {R"({"name":"","generate":[1]})", KELFFA_ERR_BAD_CONFIG, "fake generate: need path + count",
       false},
      {R"({"name":"","generate":[{}]})", KELFFA_ERR_BAD_CONFIG, "fake generate: need path + count",
       false},
      {R"({"name":"","generate":[{"path":"/"}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: need path + count", false},
      {R"({"name":"","generate":[{"path":"/","count":"3"}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: need path + count", false},
      {R"({"name":"","generate":[{"path":"/","count":1.0}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: need path + count", false},
      {R"({"name":"","generate":[{"path":3,"count":1}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: need path + count", false},
      {R"({"name":"","generate":[{"path":"/","count":-1}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: count 0..1000000", false},
      {R"({"name":"","generate":[{"path":"/","count":1000001}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: count 0..1000000", false},
      {R"({"name":"","generate":[{"path":"/","count":4294967297}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: count 0..1000000", false},
      {R"({"name":"","generate":[{"path":"/new/sub","count":1}]})", KELFFA_ERR_BAD_CONFIG,
       "fake generate: parent of '/new/sub' missing", false},
      {R"({"name":"","children":[{"name":"f"}],"generate":[{"path":"/f","count":1}]})",
       KELFFA_ERR_BAD_CONFIG, "fake generate: not a folder", false},
      {R"({"name":"","generate":[{"path":"/a","count":1},{"path":"/b","count":-5}]})",
       KELFFA_ERR_BAD_CONFIG, "fake generate: count 0..1000000", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.json ? c.json : "(null)");
    Load(keep);
    EXPECT_EQ(kelffa_fake_load_tree(c.json), c.code);
    EXPECT_EQ(kelffa_last_code(), c.code);
    EXPECT_STREQ(kelffa_last_error(), c.message);
    // The open session serves whatever tree is current, or finds nothing.
    EXPECT_EQ(kelffa_get("/keep", nullptr), c.tree_kept ? KELFFA_OK : KELFFA_ERR_NOT_FOUND);
  }
  // A successful load clears the layer's last error.
  kelffa_fake_load_tree("{");
  EXPECT_EQ(kelffa_fake_load_tree(keep.c_str()), KELFFA_OK);
  EXPECT_STREQ(kelffa_last_error(), "");
  EXPECT_EQ(kelffa_last_code(), KELFFA_OK);
}

TEST_F(FakeTree, Generate) {
  Load(R"({"name":"","children":[{"name":"Movies","children":[{"name":"old.mkv"}]}],
      "generate":[{"path":"/","count":3},
                  {"path":"/Movies/","count":4,"folders":2,"size":0},
                  {"path":"/new","count":0},
                  {"path":"/new/sub","count":1,"size":7,"folders":-1},
                  {"path":"rel","count":1},
                  {"path":"/all","count":2,"folders":4294967296}]})");
  EXPECT_EQ(Names("/"),
            (Strs{"Movies", "f000000.bin", "f000001.bin", "f000002.bin", "new", "rel", "all"}));
  EXPECT_EQ(kelffa_item_size(kelffa_item_at(1)), -1);
  EXPECT_EQ(kelffa_item_fields(kelffa_item_at(1)), 0);
  EXPECT_STREQ(kelffa_item_path(kelffa_item_at(5)), "rel");

  EXPECT_EQ(Names("/Movies"),
            (Strs{"old.mkv", "d000000", "d000001", "f000002.bin", "f000003.bin"}));
  for (int32_t i = 1; i < 5; ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    EXPECT_EQ(kelffa_item_is_folder(it), i <= 2 ? 1 : 0) << i;
    EXPECT_EQ(kelffa_item_size(it), i <= 2 ? -1 : 0) << i;
  }
  EXPECT_STREQ(kelffa_item_path(kelffa_item_at(3)), "/Movies/f000002.bin");
  EXPECT_EQ(Names("/new"), Strs{"sub"});
  EXPECT_EQ(kelffa_item_is_folder(kelffa_item_at(0)), 1);
  EXPECT_EQ(Names("/new/sub"), Strs{"f000000.bin"});
  EXPECT_EQ(kelffa_item_size(kelffa_item_at(0)), 7);
  EXPECT_EQ(Names("rel"), Strs{"f000000.bin"});
  EXPECT_STREQ(kelffa_item_path(kelffa_item_at(0)), "rel/f000000.bin");
  // A "folders" count beyond 32 bits still means every entry.
  EXPECT_EQ(Names("/all"), (Strs{"d000000", "d000001"}));
}

TEST_F(FakeTree, GenerateMaximumCount) {
  Load(R"({"name":"","generate":[{"path":"/big","count":1000000,"size":3}]})");
  ASSERT_EQ(kelffa_set_page_size(65536), KELFFA_OK);
  ASSERT_EQ(kelffa_list_all("/big"), KELFFA_OK) << kelffa_last_error();
  ASSERT_EQ(kelffa_count(), 1000000);
  EXPECT_EQ(kelffa_rejected(), 0);
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(0)), "f000000.bin");
  EXPECT_STREQ(kelffa_item_path(kelffa_item_at(999999)), "/big/f999999.bin");
  EXPECT_EQ(kelffa_item_size(kelffa_item_at(999999)), 3);
  const kelffa_item *it = Stat("/big/f500000.bin");
  ASSERT_NE(it, nullptr);
  EXPECT_STREQ(kelffa_item_name(it), "f500000.bin");
  EXPECT_EQ(kelffa_fake_calls(2), 16);  // ceil(1000000 / 65536) pages
}

}  // namespace
