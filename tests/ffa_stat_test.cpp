// Stat, locator and path join.
#include <string>

#include "ffa_script.h"

namespace {

using script::sb;

class FfaStat : public script::Fixture {};

TEST_F(FfaStat, StoresAValidatedCopy) {
  std::string name = "movie", path = "/m/movie";
  sb().stat = [&](const char *p, kelffa_item *it) {
    EXPECT_STREQ(p, "/m/movie");
    EXPECT_EQ(it->struct_size, 72u);  // a fresh record
    EXPECT_EQ(it->fields, 0u);
    EXPECT_EQ(it->size, -1);
    it->name = name.c_str();
    it->path = path.c_str();
    it->fields = F_SIZE | F_TITLE | 0x80;
    it->size = 42;
    it->title = "Heat";
    return 0;
  };
  kelffa__fail(KELFFA_ERR_ACCESS, "old");
  ASSERT_EQ(kelffa_get("/m/movie", nullptr), KELFFA_OK);
  EXPECT_STREQ(kelffa_last_error(), "");
  name = path = "gone";
  const kelffa_item *got = kelffa_got();
  ASSERT_NE(got, nullptr);
  EXPECT_STREQ(kelffa_item_name(got), "movie");
  EXPECT_STREQ(kelffa_item_path(got), "/m/movie");
  EXPECT_STREQ(kelffa_item_title(got), "Heat");
  EXPECT_EQ(kelffa_item_size(got), 42);
  EXPECT_EQ(kelffa_item_fields(got), static_cast<int32_t>(F_SIZE | F_TITLE));

  // Stat mode accepts an empty name; a bad answer fails and leaves no result.
  sb().stat = [](const char *p, kelffa_item *it) {
    it->name = "";
    it->path = p;
    return 0;
  };
  EXPECT_EQ(kelffa_get("/", nullptr), KELFFA_OK);
  EXPECT_STREQ(kelffa_item_name(kelffa_got()), "");
  sb().stat = [](const char *p, kelffa_item *it) {
    it->name = "x";
    it->path = p;
    it->is_folder = 2;
    return 0;
  };
  EXPECT_EQ(kelffa_get("/m", nullptr), KELFFA_ERR_TRANSPORT);
  EXPECT_STREQ(kelffa_last_error(), "stat returned an invalid item: is_folder not 0/1");
  EXPECT_EQ(kelffa_got(), nullptr);
}

TEST_F(FfaStat, CallerRecordGetsItsKnownPrefix) {
  struct Big {
    kelffa_item v1;
    char tail[128];
  };
  sb().stat = [](const char *p, kelffa_item *it) {
    it->name = "n";
    it->path = p;
    it->fields = F_ID;
    it->id = "id-1";
    return 0;
  };
  struct Case {
    uint32_t given;
    uint32_t copied;
  } cases[] = {{0, 72}, {40, 40}, {72, 72}, {200, 72}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    Big out;
    std::memset(&out, 0xAB, sizeof out);
    out.v1.struct_size = c.given;
    ASSERT_EQ(kelffa_get("/m/n", &out.v1), KELFFA_OK);
    EXPECT_EQ(out.v1.struct_size, c.copied);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&out);
    const unsigned char *got = reinterpret_cast<const unsigned char *>(kelffa_got());
    EXPECT_EQ(std::memcmp(bytes + 4, got + 4, c.copied - 4), 0);
    for (size_t i = c.copied; i < sizeof out; ++i) ASSERT_EQ(bytes[i], 0xAB) << i;
    if (c.copied == 72) {
      EXPECT_EQ(out.v1.path, kelffa_got()->path);  // shallow: the layer's strings
      EXPECT_STREQ(kelffa_item_backend_id(&out.v1), "id-1");
    }
  }
}

TEST_F(FfaStat, Failures) {
  ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
  struct Case {
    const char *what;
    int32_t rc;
    bool own;
    int32_t code;
    const char *msg;
  } cases[] = {
      {"not found", 3, false, 3, "stat '/p': not_found"},
      {"own message", 4, true, 4, "denied by share"},
      {"out of taxonomy", 12, true, 5, "backend stat returned out-of-taxonomy code 12"},
      {"negative", -7, false, 5, "backend stat returned out-of-taxonomy code -7"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
    sb().stat = [&c](const char *, kelffa_item *) {
      return c.own ? kelffa__fail(c.rc, "denied by share") : c.rc;
    };
    EXPECT_EQ(kelffa_get("/p", nullptr), c.code);
    EXPECT_STREQ(kelffa_last_error(), c.msg);
    EXPECT_EQ(kelffa_got(), nullptr);  // the earlier result is gone
    sb().stat = nullptr;
  }
  EXPECT_EQ(kelffa_get(nullptr, nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "path is NULL");

  // A table that carries stat but not CAP_STAT cannot stat.
  kelffa_backend t = script::table("nostat", 0x01);
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("nostat", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa_get("/m", nullptr), KELFFA_ERR_UNSUPPORTED);
  EXPECT_STREQ(kelffa_last_error(), "backend 'nostat' cannot stat");
  kelffa_close();
  EXPECT_EQ(kelffa_get("/m", nullptr), KELFFA_ERR_NOT_OPEN);
  EXPECT_STREQ(kelffa_last_error(), "no open backend");
}

TEST_F(FfaStat, StatResultEndsWithTheSession) {
  ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
  sb().entries = script::numbered(3);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_NE(kelffa_got(), nullptr);  // a listing leaves it
  EXPECT_NE(kelffa_locator("/m/e0"), nullptr);
  EXPECT_NE(kelffa_got(), nullptr);
  EXPECT_EQ(kelffa_count(), 3);  // stat and locator leave the listing
  ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 3);
  kelffa_close();
  EXPECT_EQ(kelffa_got(), nullptr);
}

TEST_F(FfaStat, Locator) {
  const char *loc = kelffa_locator("/m/a");
  ASSERT_NE(loc, nullptr);
  EXPECT_STREQ(loc, "s:/m/a");
  EXPECT_EQ(kelffa_last_code(), 0);

  struct Case {
    const char *what;
    int32_t (*op)(const char *, char *, uint64_t);
    int32_t code;
    const char *msg;
  } cases[] = {
      {"empty", [](const char *, char *, uint64_t) { return 0; }, 5,
       "backend returned an empty or non-UTF-8 locator"},
      {"not UTF-8",
       [](const char *, char *b, uint64_t) {
         std::strcpy(b, "x\xC0\x80");
         return 0;
       },
       5, "backend returned an empty or non-UTF-8 locator"},
      {"not found", [](const char *, char *, uint64_t) { return 3; }, 3,
       "locator '/m/a': not_found"},
      {"own message, text written",
       [](const char *, char *b, uint64_t) {
         std::strcpy(b, "partial");
         return kelffa__fail(4, "locked");
       },
       4, "locked"},
      {"out of taxonomy", [](const char *, char *, uint64_t) { return 64; }, 5,
       "backend locator returned out-of-taxonomy code 64"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(kelffa_locator("/m/a"), nullptr);
    sb().locator = c.op;
    EXPECT_EQ(kelffa_locator("/m/a"), nullptr);
    EXPECT_EQ(kelffa_last_code(), c.code);
    EXPECT_STREQ(kelffa_last_error(), c.msg);
    EXPECT_EQ(loc[0], '\0');  // the buffer was emptied
    sb().locator = nullptr;
  }

  // A backend that fills the whole buffer without a terminator: the text is cut
  // to 8191 bytes, back to a character boundary (8192 = 3 * 2730 + 2).
  struct {
    const char *unit;
    size_t kept;
  } fills[] = {{"q", 8191}, {"\xE2\x82\xAC", 8190}};
  for (const auto &f : fills) {
    SCOPED_TRACE(f.unit);
    sb().locator = [&f](const char *, char *b, uint64_t size) {
      EXPECT_EQ(size, 8192u);
      size_t u = std::strlen(f.unit);
      for (size_t i = 0; i < size; ++i) b[i] = f.unit[i % u];
      return 0;
    };
    loc = kelffa_locator("/m/a");
    ASSERT_NE(loc, nullptr);
    EXPECT_EQ(std::strlen(loc), f.kept);
    EXPECT_EQ(kelffa__utf8_valid(loc), 1);
  }

  EXPECT_EQ(kelffa_locator(nullptr), nullptr);
  EXPECT_STREQ(kelffa_last_error(), "path is NULL");
  kelffa_close();
  EXPECT_EQ(kelffa_locator("/m/a"), nullptr);
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_NOT_OPEN);
}

TEST(FfaJoin, JoinsOneSegment) {
  kelffa_reset();  // needs no session
  struct {
    const char *folder;
    const char *name;
    const char *want;
  } ok[] = {
      {"/", "a", "/a"},
      {"", "a", "/a"},
      {"/x///", "a", "/x/a"},
      {"x", "a", "x/a"},
      {"/m", "...", "/m/..."},
      {"/m", "a b\\c", "/m/a b\\c"},
      {"//", "\xE2\x82\xAC", "/\xE2\x82\xAC"},
  };
  for (const auto &c : ok) EXPECT_STREQ(kelffa_path_join(c.folder, c.name), c.want) << c.folder;

  kelffa__fail(KELFFA_ERR_ACCESS, "kept");
  ASSERT_NE(kelffa_path_join("/a", "b"), nullptr);
  EXPECT_STREQ(kelffa_last_error(), "kept");  // success leaves the last error

  const char *seg = "join: name must be one segment, not '.', '..' or empty";
  struct {
    const char *folder;
    const char *name;
    const char *msg;
  } bad[] = {
      {nullptr, "a", "join: NULL argument"},
      {"/m", nullptr, "join: NULL argument"},
      {"/m", "", seg},
      {"/m", ".", seg},
      {"/m", "..", seg},
      {"/m", "a/b", seg},
      {"/m", "\xFF", "join: not valid UTF-8"},
      {"/\xED\xA0\x80", "a", "join: not valid UTF-8"},
      {nullptr, "..", "join: NULL argument"},
      {"\xFF", "..", seg},
  };
  for (const auto &c : bad) {
    SCOPED_TRACE(c.msg);
    EXPECT_EQ(kelffa_path_join(c.folder, c.name), nullptr);
    EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_INVALID_ARG);
    EXPECT_STREQ(kelffa_last_error(), c.msg);
  }

  // 4096 bytes fit; one more does not. Trailing slashes do not count.
  std::string folder = "/" + std::string(4092, 'd');
  const char *joined = kelffa_path_join((folder + "///").c_str(), "ab");
  ASSERT_NE(joined, nullptr);
  EXPECT_EQ(std::strlen(joined), 4096u);
  EXPECT_EQ(kelffa_path_join(folder.c_str(), "abc"), nullptr);
  EXPECT_STREQ(kelffa_last_error(), "join: result longer than 4096");
}

}  // namespace
