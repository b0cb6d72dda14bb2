// The media file record: its JSON text, reading a stored text back, merging.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core_internal.h"
#include "scan/mfile.h"

namespace {

std::string json_of(const mfile &m, const char *key) {
  char *t = mfile_json(&m, key);
  std::string s = t ? t : "<null>";
  std::free(t);
  return s;
}

mfile blank() {
  mfile m{};
  m.size = -1;
  m.season = -1;
  m.episode = -1;
  m.required_verify = -1;
  return m;
}

char *dup(const char *s) {
  return kel_strdup(s);
}

struct JsonCase {
  const char *what;
  mfile (*make)();
  const char *json;
};

TEST(MfileJson, MemberOrderAndOmission) {
  const JsonCase cases[] = {
      {"nothing set", [] { return blank(); }, R"({"Key":"k"})"},
      {"every member",
       [] {
         mfile m = blank();
         m.imdb_id = dup("tt1");
         m.file_name = dup("f.mkv");
         m.path = dup("p");
         m.extension = dup(".mkv");
         m.runtime_config_id = dup("rc");
         m.parent_key = dup("pk");
         m.size = 10;
         m.season = 1;
         m.episode = 2;
         m.required_verify = 1;
         return m;
       },
       R"({"Key":"k","IMDbID":"tt1","ParentKey":"pk","FileName":"f.mkv","RuntimeConfigID":"rc",)"
       R"("Path":"p","Size":10,"Season":1,"Episode":2,"RequiredVerify":true,"Extension":".mkv"})"},
      {"new movie",
       [] {
         mfile m;
         mfile_init_new(&m, "Heat.mkv", ".mkv", "rc1", 1000);
         m.imdb_id = dup("tt0113277");
         return m;
       },
       R"({"Key":"k","IMDbID":"tt0113277","FileName":"Heat.mkv","RuntimeConfigID":"rc1",)"
       R"("Path":"","Size":1000,"Extension":".mkv"})"},
      {"new episode of a corrected file, size 0, no extension",
       [] {
         mfile m;
         mfile_init_new(&m, "show", nullptr, "rc1", 0);
         m.imdb_id = dup("tt2");
         m.season = 3;
         m.episode = 0;
         m.required_verify = 0;
         return m;
       },
       R"({"Key":"k","IMDbID":"tt2","FileName":"show","RuntimeConfigID":"rc1","Path":"",)"
       R"("Size":0,"Season":3,"Episode":0,"RequiredVerify":false})"},
      {"unknown size, other verify value",
       [] {
         mfile m;
         mfile_init_new(&m, "a", ".avi", "", -7);
         m.required_verify = 2;
         return m;
       },
       R"({"Key":"k","FileName":"a","RuntimeConfigID":"","Path":"","RequiredVerify":false,)"
       R"("Extension":".avi"})"},
  };
  for (const auto &c : cases) {
    mfile m = c.make();
    EXPECT_EQ(json_of(m, "k"), c.json) << c.what;
    mfile_free(&m);
  }
}

TEST(MfileJson, EscapesAndUtf8) {
  mfile m = blank();
  m.file_name = dup("a/b \"c\" \\ \xC3\xA9\t");
  EXPECT_EQ(json_of(m, "q\"k\\"),
            "{\"Key\":\"q\\\"k\\\\\",\"FileName\":\"a/b \\\"c\\\" \\\\ "
            "\xC3\xA9\\t\"}");
  std::free(m.file_name);
  m.file_name = dup("bad\xFF");
  EXPECT_EQ(mfile_json(&m, "k"), nullptr);
  std::free(m.file_name);
  m.file_name = nullptr;
  EXPECT_EQ(mfile_json(&m, "k\xC3"), nullptr);
  // A correction value from the vault whose last sequence is cut short: the
  // record cannot be written, and nothing past the text's end is read.
  m.imdb_id = dup("tt\xF4i");
  EXPECT_EQ(mfile_json(&m, "k"), nullptr);
  std::free(m.imdb_id);
}

TEST(MfileJson, FreeZeroesEveryField) {
  mfile m;
  mfile_init_new(&m, "a.mkv", ".mkv", "rc", 5);
  mfile_free(&m);
  EXPECT_EQ(m.file_name, nullptr);
  EXPECT_EQ(m.path, nullptr);
  EXPECT_EQ(m.size, 0);
  EXPECT_EQ(m.season, 0);
  EXPECT_EQ(m.required_verify, 0);
  mfile_free(&m);  // a second free is harmless
}

TEST(JStr, FirstMemberOfThatNameOnly) {
  kj::Doc doc;
  ASSERT_TRUE(doc.parse(R"({"a":"x","a":"y","n":1,"n":"s","e":""})"));
  kj::Val r = doc.root();
  EXPECT_EQ(j_str(r, "a").value_or("<none>"), "x");
  EXPECT_FALSE(j_str(r, "n"));  // first "n" is a number; the later string is not looked at
  EXPECT_EQ(j_str(r, "e").value_or("<none>"), "");
  EXPECT_FALSE(j_str(r, "missing"));
  EXPECT_FALSE(j_str(r.get("a"), "a"));  // not an object
  EXPECT_FALSE(j_str(kj::Val(), "a"));
}

TEST(MfileRead, StoredValuesAndTheirTypes) {
  mfile s;
  mfile_read_stored(&s, R"({"Key":"k","IMDbID":"tt1","IMDbID":"tt2","FileName":"f","Path":"p",)"
                        R"("Extension":".mkv","RuntimeConfigID":"rc","ParentKey":"pk","Size":77,)"
                        R"("Season":4294967298,"Episode":-3,"RequiredVerify":true,"Poster":"x"})");
  EXPECT_STREQ(s.imdb_id, "tt1");
  EXPECT_STREQ(s.file_name, "f");
  EXPECT_STREQ(s.path, "p");
  EXPECT_STREQ(s.extension, ".mkv");
  EXPECT_STREQ(s.runtime_config_id, "rc");
  EXPECT_STREQ(s.parent_key, "pk");
  EXPECT_EQ(s.size, 0);    // not taken over
  EXPECT_EQ(s.season, 2);  // low 32 bits
  EXPECT_EQ(s.episode, -3);
  EXPECT_EQ(s.required_verify, 1);
  mfile_free(&s);

  mfile_read_stored(&s, R"({"IMDbID":5,"IMDbID":"tt9","Season":3.0,"Episode":1e1,)"
                        R"("RequiredVerify":"true","FileName":null})");
  EXPECT_EQ(s.imdb_id, nullptr);
  EXPECT_EQ(s.file_name, nullptr);
  EXPECT_EQ(s.season, -1);
  EXPECT_EQ(s.episode, -1);
  EXPECT_EQ(s.required_verify, -1);
  mfile_free(&s);

  mfile_read_stored(&s, R"({"Season":7,"Season":8,"RequiredVerify":false,"RequiredVerify":true})");
  EXPECT_EQ(s.season, 7);
  EXPECT_EQ(s.required_verify, 0);
  mfile_free(&s);
}

TEST(MfileRead, NonObjectsKeepTheStartValues) {
  const char *texts[] = {"",
                         "not json",
                         "[1,2]",
                         "\"IMDbID\"",
                         R"({"IMDbID":"tt1",})",
                         R"({"IMDbID":"tt1"} /* c */)",
                         nullptr};
  for (const char *t : texts) {
    mfile s;
    mfile_read_stored(&s, t);
    EXPECT_EQ(s.imdb_id, nullptr) << (t ? t : "null");
    EXPECT_EQ(s.size, 0);
    EXPECT_EQ(s.season, -1);
    EXPECT_EQ(s.episode, -1);
    EXPECT_EQ(s.required_verify, -1);
    mfile_free(&s);
  }
}

TEST(MfileMerge, NewValuesOverStoredOnes) {
  mfile s;
  mfile_read_stored(&s, R"({"Key":"k","IMDbID":"tt1","ParentKey":"pk","FileName":"old.mkv",)"
                        R"("RuntimeConfigID":"rc0","Path":"/x","Size":5,"Season":2,"Episode":9,)"
                        R"("RequiredVerify":true,"Poster":"p.jpg"})");
  mfile n;
  mfile_init_new(&n, "new.mkv", ".mkv", "rc1", 1000);  // no id, season, episode or flag
  mfile_merge(&s, &n, "rc1");
  EXPECT_EQ(json_of(s, "k"),
            R"({"Key":"k","IMDbID":"tt1","ParentKey":"pk","FileName":"old.mkv",)"
            R"("RuntimeConfigID":"rc1","Path":"/x","Size":1000,"Season":2,"Episode":9,)"
            R"("RequiredVerify":true})");

  n.imdb_id = dup("tt2");
  n.season = 5;
  n.episode = 0;
  n.required_verify = 0;
  n.size = -1;
  mfile_merge(&s, &n, "rc2");
  EXPECT_STREQ(s.imdb_id, "tt2");
  EXPECT_EQ(s.season, 5);
  EXPECT_EQ(s.episode, 0);
  EXPECT_EQ(s.required_verify, 0);
  EXPECT_EQ(s.size, -1);
  EXPECT_STREQ(s.runtime_config_id, "rc2");

  std::free(n.imdb_id);
  n.imdb_id = dup("");  // an empty id keeps the stored one
  n.required_verify = 1;
  mfile_merge(&s, &n, "rc2");
  EXPECT_STREQ(s.imdb_id, "tt2");
  EXPECT_EQ(s.required_verify, 0);
  mfile_free(&s);
  mfile_free(&n);
}

TEST(MfileMerge, StoredValueThatIsNotARecord) {
  mfile s;
  mfile_read_stored(&s, "garbage");
  mfile n;
  mfile_init_new(&n, "a.mkv", ".mkv", "rc", 3);
  n.imdb_id = dup("tt3");
  mfile_merge(&s, &n, "rc");
  EXPECT_EQ(json_of(s, "k"), R"({"Key":"k","IMDbID":"tt3","RuntimeConfigID":"rc","Size":3})");
  mfile_free(&s);
  mfile_free(&n);
}

}  // namespace
