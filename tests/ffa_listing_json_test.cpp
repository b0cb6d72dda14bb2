// Listing JSON: the listing and stat documents, the owned text, decoding with
// its shape rules, and hostile input.
#include <string>
#include <vector>

#include "ffa_script.h"

namespace {

using script::sb;

class FfaJson : public script::Fixture {};

const char kEmpty[] =
    "{\"backend\":\"\",\"path\":\"\",\"count\":0,\"more\":false,\"rejected\":0,\"items\":[]}";

// A stored entry, copied out so that it can be compared after the listing changed.
struct Snap {
  std::string name, path, title, id, locator;
  int32_t is_folder, year, fields;
  int64_t size, mtime;
  bool operator==(const Snap &o) const {
    return name == o.name && path == o.path && title == o.title && id == o.id &&
           locator == o.locator && is_folder == o.is_folder && year == o.year &&
           fields == o.fields && size == o.size && mtime == o.mtime;
  }
};

std::vector<Snap> snapshot() {
  std::vector<Snap> v;
  for (int32_t i = 0; i < kelffa_count(); ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    v.push_back({kelffa_item_name(it), kelffa_item_path(it), kelffa_item_title(it),
                 kelffa_item_backend_id(it), kelffa_item_locator(it), kelffa_item_is_folder(it),
                 kelffa_item_year(it), kelffa_item_fields(it), kelffa_item_size(it),
                 kelffa_item_mtime_ms(it)});
  }
  return v;
}

// Entries with every field, none, zero values, an empty id, a string whose bit
// is clear (not valid UTF-8, never kept), and one entry the listing rejects.
int32_t rich_page(const char *, kelffa_page *pg) {
  kelffa_item *e = pg->items;
  e[0].name = "Film \"\xC3\x9C\" \\ 1.mkv";
  e[0].path = "/m/Film \"\xC3\x9C\" \\ 1.mkv";
  e[0].fields = F_SIZE | F_MTIME | F_TITLE | F_YEAR | F_ID | F_LOCATOR;
  e[0].size = 123456789012;
  e[0].mtime_ms = 1700000000000;
  e[0].title = "T\xC3\xAFtle\n\t\x01 \xF0\x9F\x98\x80";
  e[0].year = 1999;
  e[0].id = "id-1";
  e[0].locator = "loc:/m/1";
  e[1].name = "sub";
  e[1].path = "/m/sub";
  e[1].is_folder = 1;
  e[2].name = "zero";
  e[2].path = "/m/zero";
  e[2].fields = F_SIZE | F_MTIME | F_ID;
  e[2].size = 0;
  e[2].mtime_ms = 0;
  e[2].id = "";
  e[3].name = "..";
  e[3].path = "/m/..";
  e[4].name = "junk";
  e[4].path = "/m/junk";
  e[4].title = "\xFF";
  e[4].fields = F_YEAR | 0xC0;
  e[4].year = 9999;
  pg->count = 5;
  return KELFFA_OK;
}

TEST_F(FfaJson, RenderedListingDecodesToTheSameEntries) {
  sb().list = rich_page;
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_count(), 4);
  std::vector<Snap> before = snapshot();
  std::string text = kelffa_result_json();
  EXPECT_EQ(
      text.rfind("{\"backend\":\"s\",\"path\":\"/m\",\"count\":4,\"more\":false,\"rejected\":1,"
                 "\"items\":[",
                 0),
      0u)
      << text;

  ASSERT_EQ(kelffa_decode(text.c_str()), KELFFA_OK);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(kelffa_rejected(), 0);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_STREQ(kelffa__listing_label(), "decoded");
  EXPECT_STREQ(kelffa__listing_path(), "/m");
  EXPECT_EQ(kelffa_list_next(), 0);  // a decoded listing is not continued
  EXPECT_EQ(sb().list_calls, 1);

  // Rendering the decoded listing gives the same text but for the label and
  // the count of rejections.
  std::string again = kelffa_result_json();
  std::string expect = text;
  expect.replace(expect.find("\"s\""), 3, "\"decoded\"");
  expect.replace(expect.find("\"rejected\":1"), 12, "\"rejected\":0");
  EXPECT_EQ(again, expect);

  // "count", "more" and "rejected" of the input are ignored; no session needed.
  kelffa_close();
  ASSERT_EQ(kelffa_decode("{\"backend\":\"x\",\"count\":99,\"more\":true,\"rejected\":5,\"items\":"
                          "[{\"name\":\"a\",\"path\":\"/a\"}]}"),
            KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 1);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_EQ(kelffa_rejected(), 0);
  EXPECT_STREQ(kelffa_result_json(),
               "{\"backend\":\"decoded\",\"path\":\"\",\"count\":1,\"more\":false,\"rejected\":0,"
               "\"items\":[{\"name\":\"a\",\"path\":\"/a\",\"folder\":false,\"size\":-1,"
               "\"mtime_ms\":-1}]}");
}

TEST_F(FfaJson, DocumentsFollowTheResultKind) {
  kelffa_reset();
  EXPECT_STREQ(kelffa_result_json(), kEmpty);

  // The stat document, also without a session and after a failed stat.
  EXPECT_EQ(kelffa_get("/x", nullptr), KELFFA_ERR_NOT_OPEN);
  EXPECT_STREQ(kelffa_result_json(), "{\"backend\":\"\",\"item\":null}");
  kelffa_backend t = script::table("s");
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  sb().stat = [](const char *path, kelffa_item *it) {
    it->name = "";
    it->path = path;
    it->is_folder = 1;
    it->fields = F_YEAR | F_TITLE | F_SIZE;
    it->year = 2001;
    it->title = "T";
    it->size = 7;
    return KELFFA_OK;
  };
  ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
  EXPECT_STREQ(kelffa_result_json(),
               "{\"backend\":\"s\",\"item\":{\"name\":\"\",\"path\":\"/m\",\"folder\":true,"
               "\"size\":7,\"mtime_ms\":-1,\"title\":\"T\",\"year\":2001}}");
  sb().stat = [](const char *, kelffa_item *) { return KELFFA_ERR_NOT_FOUND; };
  EXPECT_EQ(kelffa_get("/m", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_STREQ(kelffa_result_json(), "{\"backend\":\"s\",\"item\":null}");

  // A listing switches back to the listing document.
  sb().entries = script::numbered(2);
  ASSERT_EQ(kelffa_set_page_size(1), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_STREQ(kelffa_result_json(),
               "{\"backend\":\"s\",\"path\":\"/m\",\"count\":1,\"more\":true,\"rejected\":0,"
               "\"items\":[{\"name\":\"e0\",\"path\":\"/m/e0\",\"folder\":false,\"size\":-1,"
               "\"mtime_ms\":-1}]}");

  // An owned text is returned as it is until the kind changes; without one the
  // listing document is rendered.
  kelffa__set_result_owned(nullptr);
  EXPECT_EQ(std::string(kelffa_result_json()).rfind("{\"backend\":\"s\",\"path\":\"/m\"", 0), 0u);
  char *owned = kel_strdup("owned text");
  kelffa__set_result_owned(owned);
  EXPECT_EQ(kelffa_result_json(), owned);
  EXPECT_EQ(kelffa_result_json(), owned);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_NE(std::string(kelffa_result_json()), "owned text");
  kelffa_close();
  EXPECT_STREQ(kelffa_result_json(), kEmpty);
}

TEST_F(FfaJson, EscapesTextAndRefusesInvalidUtf8) {
  sb().entries = {{"q\"b\\s\x01\n/\xC3\xA9", "/m/q\"b\\s\x01\n/\xC3\xA9"}};
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_rejected(), 1);  // the name holds '/'
  sb().entries = {{"q\"b\\s\x01\n\t\x7F\xC3\xA9", "/m/\xE2\x82\xAC"}};
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  std::string text = kelffa_result_json();
  EXPECT_EQ(text,
            "{\"backend\":\"s\",\"path\":\"/m\",\"count\":1,\"more\":false,\"rejected\":0,"
            "\"items\":[{\"name\":\"q\\\"b\\\\s\\u0001\\n\\t\x7F\xC3\xA9\",\"path\":\"/m/"
            "\xE2\x82\xAC\",\"folder\":false,\"size\":-1,\"mtime_ms\":-1}]}");
  ASSERT_EQ(kelffa_decode(text.c_str()), KELFFA_OK);
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(0)), "q\"b\\s\x01\n\t\x7F\xC3\xA9");

  // The listed path is not checked by the listing, so the document cannot be
  // written: "{}".
  ASSERT_EQ(kelffa_list("/m\xFF"), KELFFA_OK);
  EXPECT_STREQ(kelffa_result_json(), "{}");
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(std::string(kelffa_result_json()).rfind("{\"backend\":\"s\"", 0), 0u);
}

// One element decoded from a root array: kept with these values, or rejected
// with this warning.
struct Shape {
  const char *element;
  const char *warning;  // nullptr: kept
  uint32_t fields = 0;
  int64_t size = -1;
  int64_t mtime = -1;
  int32_t year = 0;
  int32_t is_folder = 0;
};

const char kBad[] = "rejected entry 0: bad JSON shape";
#define E(extra) "{\"name\":\"a\",\"path\":\"/d/a\"" extra "}"

const Shape kShapes[] = {
    {E(""), nullptr},
    {E(",\"size\":-1"), nullptr},
    {E(",\"size\":null,\"mtime_ms\":null,\"year\":null,\"title\":null"), nullptr},
    {E(",\"size\":0"), nullptr, F_SIZE, 0},
    {E(",\"size\":9223372036854775807"), nullptr, F_SIZE, INT64_MAX},
    {E(",\"size\":9223372036854775808"), kBad},
    {E(",\"size\":-2"), kBad},
    {E(",\"size\":-9223372036854775808"), kBad},
    {E(",\"size\":1.5"), kBad},
    {E(",\"size\":1.0"), kBad},
    {E(",\"size\":1e2"), kBad},
    {E(",\"size\":\"3\""), kBad},
    {E(",\"size\":true"), kBad},
    {E(",\"mtime_ms\":5"), nullptr, F_MTIME, -1, 5},
    {E(",\"mtime_ms\":-3"), kBad},
    {E(",\"mtime_ms\":[]"), kBad},
    {E(",\"folder\":true"), nullptr, 0, -1, -1, 0, 1},
    {E(",\"folder\":false"), nullptr},
    {E(",\"folder\":null"), kBad},
    {E(",\"folder\":1"), kBad},
    {E(",\"year\":1800"), nullptr, F_YEAR, -1, -1, 1800},
    {E(",\"year\":9999"), nullptr, F_YEAR, -1, -1, 9999},
    {E(",\"year\":1799"), "rejected entry: F_YEAR outside 1800..9999"},
    {E(",\"year\":-2147483647"), "rejected entry: F_YEAR outside 1800..9999"},
    {E(",\"year\":2147483648"), kBad},
    {E(",\"year\":-2147483648"), kBad},
    {E(",\"year\":1800.0"), kBad},
    {E(",\"title\":5"), kBad},
    {E(",\"id\":{}"), kBad},
    {E(",\"locator\":false"), kBad},
    {E(",\"title\":\"T\",\"id\":\"i\",\"locator\":\"l\""), nullptr, F_TITLE | F_ID | F_LOCATOR},
    {E(",\"extra\":[1,{\"size\":\"x\"}],\"Size\":\"x\""), nullptr},
    // The first occurrence of a key counts.
    {E(",\"name\":\"b\",\"size\":4,\"size\":\"x\",\"folder\":true,\"folder\":null"), nullptr,
     F_SIZE, 4, -1, 0, 1},
    {"{\"name\":null,\"path\":\"/d/a\",\"name\":\"a\"}", "rejected entry: name is NULL"},
    {"{\"name\":\"a\",\"path\":null}", "rejected entry: path is empty"},
    {"{\"name\":5,\"path\":\"/d/a\"}", kBad},
    {"{}", "rejected entry: name is NULL"},
    {"{\"name\":\"..\",\"path\":\"/d/..\"}", "rejected entry: name is '.' or '..' (cycle)"},
    {"{\"name\":\"a/b\",\"path\":\"/d/a\"}", "rejected entry: name contains '/'"},
    // A text with a NUL byte cannot be kept as a C text.
    {"{\"name\":\"a\\u0000b\",\"path\":\"/d/a\"}", kBad},
    {E(",\"title\":\"x\\u0000\""), kBad},
    {"5", kBad},
    {"null", kBad},
    {"\"a\"", kBad},
    {"[]", kBad},
};

TEST_F(FfaJson, DecodeShapes) {
  for (const Shape &s : kShapes) {
    SCOPED_TRACE(s.element);
    kelffa__fail(KELFFA_ERR_ACCESS, "before");
    std::string text = std::string("[") + s.element + "]";
    ASSERT_EQ(kelffa_decode(text.c_str()), KELFFA_OK);
    if (!s.warning) {
      ASSERT_EQ(kelffa_count(), 1);
      EXPECT_EQ(kelffa_rejected(), 0);
      EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_ACCESS);  // a clean decode records nothing
      EXPECT_STREQ(kelffa_last_error(), "before");
      const kelffa_item *it = kelffa_item_at(0);
      EXPECT_STREQ(kelffa_item_name(it), "a");
      EXPECT_STREQ(kelffa_item_path(it), "/d/a");
      EXPECT_EQ(static_cast<uint32_t>(kelffa_item_fields(it)), s.fields);
      EXPECT_EQ(kelffa_item_size(it), s.size);
      EXPECT_EQ(kelffa_item_mtime_ms(it), s.mtime);
      EXPECT_EQ(kelffa_item_year(it), s.year);
      EXPECT_EQ(kelffa_item_is_folder(it), s.is_folder);
      if (s.fields & F_TITLE) {
        EXPECT_STREQ(kelffa_item_title(it), "T");
        EXPECT_STREQ(kelffa_item_backend_id(it), "i");
        EXPECT_STREQ(kelffa_item_locator(it), "l");
      }
    } else {
      EXPECT_EQ(kelffa_count(), 0);
      EXPECT_EQ(kelffa_rejected(), 1);
      EXPECT_EQ(kelffa_last_code(), 0);
      EXPECT_STREQ(kelffa_last_error(), s.warning);
    }
  }
}
#undef E

TEST_F(FfaJson, DecodeFindsTheItemsAndTheListedFolder) {
  struct Doc {
    const char *text;
    int32_t code;
    const char *msg;  // expected last error for a failure
  };
  const Doc docs[] = {
      {"[]", 0, nullptr},
      {"{\"items\":[]}", 0, nullptr},
      {" [ ] ", 0, nullptr},
      {"{}", 9, "decode: expected an items array"},
      {"{\"items\":{}}", 9, "decode: expected an items array"},
      {"{\"items\":null,\"items\":[]}", 9, "decode: expected an items array"},
      {"{\"Items\":[]}", 9, "decode: expected an items array"},
      {"\"[]\"", 9, "decode: expected an items array"},
      {"5", 9, "decode: expected an items array"},
      {"null", 9, "decode: expected an items array"},
      {"", 9, "decode: not JSON"},
      {"[] x", 9, "decode: not JSON"},
      {"[] // c", 9, "decode: not JSON"},
      {"/* c */ []", 9, "decode: not JSON"},
      {"[1,]", 9, "decode: not JSON"},
      {"{'items':[]}", 9, "decode: not JSON"},
      {"[NaN]", 9, "decode: not JSON"},
      {"[{\"name\":\"\xFF\"}]", 9, "decode: not JSON"},
      {"[{\"name\":\"\xED\xA0\x80\"}]", 9, "decode: not JSON"},
      {"[{\"name\":\"\\uD800\"}]", 9, "decode: not JSON"},
      {"\xEF\xBB\xBF[]", 9, "decode: not JSON"},
      {"[1e400]", 9, "decode: not JSON"},
  };
  for (const Doc &d : docs) {
    SCOPED_TRACE(d.text);
    sb().entries = script::numbered(3);
    ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
    EXPECT_EQ(kelffa_decode(d.text), d.code);
    EXPECT_EQ(kelffa_count(), 0);  // the listing is dropped either way
    if (d.msg) {
      EXPECT_EQ(kelffa_last_code(), d.code);
      EXPECT_STREQ(kelffa_last_error(), d.msg);
      EXPECT_STREQ(kelffa_result_json(), kEmpty);
    } else {
      EXPECT_STREQ(kelffa__listing_label(), "decoded");
    }
  }
  EXPECT_EQ(kelffa_decode(nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "decode: NULL");

  // The root object's "path" (first occurrence) is the listed folder for the
  // self-loop test; a root array, or a "path" of another type, has none.
  const char *loop = "{\"name\":\"m\",\"path\":\"/m/\"}";
  ASSERT_EQ(
      kelffa_decode((std::string("{\"items\":[") + loop + "],\"path\":\"/m\",\"path\":1}").c_str()),
      KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: path equals the listed folder (self-loop)");
  EXPECT_EQ(std::string(kelffa_result_json()).rfind("{\"backend\":\"decoded\",\"path\":\"/m\",", 0),
            0u);
  for (std::string text :
       {std::string("[") + loop + "]", std::string("{\"path\":5,\"items\":[") + loop + "]}",
        std::string("{\"path\":\"/m\\u0000\",\"items\":[") + loop + "]}"}) {
    SCOPED_TRACE(text);
    ASSERT_EQ(kelffa_decode(text.c_str()), KELFFA_OK);
    EXPECT_EQ(kelffa_count(), 1);
    EXPECT_STREQ(kelffa__listing_path(), "");
  }

  // The index of a rejected element is its position in the array.
  ASSERT_EQ(kelffa_decode("[{\"name\":\"a\",\"path\":\"/a\"},{\"name\":\"b\"},7,{}]"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 1);
  EXPECT_EQ(kelffa_rejected(), 3);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: name is NULL");
  ASSERT_EQ(kelffa_decode("[{\"name\":\"a\",\"path\":\"/a\"},{\"name\":\"b\"},{},7]"), KELFFA_OK);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry 3: bad JSON shape");
}

TEST_F(FfaJson, HostileInputIsHandled) {
  const size_t kDeep = 100000;
  // Nesting 100k levels deep: as the whole document, as an element, inside an
  // ignored member, and unclosed.
  std::string open(kDeep, '['), close(kDeep, ']');
  ASSERT_EQ(kelffa_decode((open + close).c_str()), KELFFA_OK);
  EXPECT_EQ(kelffa_rejected(), 1);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry 0: bad JSON shape");
  std::string objs;
  for (size_t i = 0; i < kDeep; ++i) objs += "{\"a\":";
  objs += "1" + std::string(kDeep, '}');
  std::string member = "[{\"name\":\"a\",\"path\":\"/a\",\"x\":" + objs + "}]";
  ASSERT_EQ(kelffa_decode(member.c_str()), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 1);
  EXPECT_EQ(kelffa_decode(open.c_str()), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "decode: not JSON");

  // A large array, every third element of bad shape.
  const size_t kMany = 300000;
  std::string big = "{\"items\":[";
  for (size_t i = 0; i < kMany; ++i) {
    if (i) big += ',';
    if (i % 3 == 2)
      big += "0";
    else
      big += "{\"name\":\"e" + std::to_string(i) + "\",\"path\":\"/d/e" + std::to_string(i) + "\"}";
  }
  big += "]}";
  ASSERT_EQ(kelffa_decode(big.c_str()), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 200000);
  EXPECT_EQ(kelffa_rejected(), 100000);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry 299999: bad JSON shape");
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(199999)), "e299998");

  // An element with many members, all but the first "name" ignored.
  std::string wide = "[{\"name\":\"a\",\"path\":\"/a\"";
  for (int i = 0; i < 100000; ++i) wide += ",\"name\":" + std::to_string(i);
  wide += "}]";
  ASSERT_EQ(kelffa_decode(wide.c_str()), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 1);
}

}  // namespace
