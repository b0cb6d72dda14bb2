// The disk backend of the host kit, on temporary folders of real (sparse)
// files: listing order and pages, stat and locators, configurations, escapes
// from the root, symbolic links, unreadable folders and whole scans.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "alloc_fail.h"
#include "disk_internal.h"
#include "kelmcat.h"
#include "kelmcat_host.h"

namespace {

int remove_one(const char *path, const struct stat *, int, struct FTW *) {
  chmod(path, 0755);  // so that the walk below can enter it
  return remove(path);
}

// A temporary folder, removed with everything in it.
class TempTree {
 public:
  TempTree() {
    char tmpl[] = "/tmp/kelhost-disk-XXXXXX";
    char *made = mkdtemp(tmpl);
    if (made) {
      char *real = realpath(made, nullptr);
      root_ = real ? real : made;
      std::free(real);
      chmod(root_.c_str(), 0755);
    }
  }
  ~TempTree() {
    if (root_.empty()) return;
    // Denied folders first get their permissions back, parents before children.
    nftw(
        root_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
          chmod(p, 0755);
          return 0;
        },
        16, FTW_PHYS);
    nftw(root_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempTree(const TempTree &) = delete;
  TempTree &operator=(const TempTree &) = delete;

  const std::string &root() const { return root_; }
  std::string at(const std::string &rel) const { return root_ + "/" + rel; }

  void dir(const std::string &rel) const { ASSERT_EQ(mkdir(at(rel).c_str(), 0755), 0) << rel; }
  // A sparse file of that size.
  void file(const std::string &rel, off_t size = 0) const {
    int fd = open(at(rel).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  void link(const std::string &target, const std::string &rel) const {
    ASSERT_EQ(symlink(target.c_str(), at(rel).c_str()), 0) << rel;
  }
  std::string config(bool follow = false) const {
    return "{\"root\":\"" + root_ + "\"" + (follow ? ",\"follow_symlinks\":true" : "") + "}";
  }

 private:
  std::string root_;
};

struct Listed {
  std::string name, path;
  int32_t is_folder;
  int64_t size, mtime_ms;
  uint32_t fields;
};

// The entries of the layer's current listing.
std::vector<Listed> current_listing() {
  std::vector<Listed> out;
  for (int32_t i = 0; i < kelffa_count(); ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    out.push_back({kelffa_item_name(it), kelffa_item_path(it), kelffa_item_is_folder(it),
                   kelffa_item_size(it), kelffa_item_mtime_ms(it),
                   static_cast<uint32_t>(kelffa_item_fields(it))});
  }
  return out;
}

// Every page of a folder through the folder-access layer.
std::vector<Listed> list_all(const char *folder) {
  kelffa_list_all(folder);
  return current_listing();
}

std::vector<std::string> names(const std::vector<Listed> &v) {
  std::vector<std::string> n;
  for (auto &e : v) n.push_back(e.name);
  return n;
}

class DiskTest : public ::testing::Test {
 protected:
  TempTree t;

  void SetUp() override {
    ASSERT_FALSE(t.root().empty());
    kelmcat_shutdown();
    ASSERT_EQ(kelhost_disk_register(), KELHOST_OK) << kelhost_last_error();
  }
  void TearDown() override { kelmcat_shutdown(); }

  void open_disk(bool follow = false) {
    ASSERT_EQ(kelffa_open("disk", t.config(follow).c_str()), 0) << kelhost_last_error();
  }
};

TEST_F(DiskTest, RegisteringTwiceKeepsOneBackend) {
  int32_t n = kelffa_backend_count();
  EXPECT_EQ(kelhost_disk_register(), KELHOST_OK);
  EXPECT_EQ(kelffa_backend_count(), n);
  EXPECT_EQ(kelffa_backend_caps(n - 1), static_cast<int32_t>(CAP_STAT));
}

TEST_F(DiskTest, ListsEveryPageInByteOrderWithSizesAndTimes) {
  const std::vector<std::string> files = {
      "b.mkv", "B.mkv", "a b.avi", "Z",      "\xC3\xA9t\xC3\xA9.mp4",
      "_x",    "10",    "9",       "~tilde", "a.mkv"};
  for (size_t i = 0; i < files.size(); ++i) t.file(files[i], static_cast<off_t>(i * 1000003));
  t.dir("sub");
  t.dir("Sub");
  // A time with milliseconds, and one before 1970 that cannot be given in
  // milliseconds since then: the file is still listed, without a time.
  struct timespec times[2] = {{1600000000, 123456789}, {1600000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, t.at("a.mkv").c_str(), times, 0), 0);
  struct timespec old[2] = {{-86400, 0}, {-86400, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, t.at("Z").c_str(), old, 0), 0);
  open_disk();

  std::vector<std::string> expected = files;
  expected.push_back("sub");
  expected.push_back("Sub");
  std::sort(expected.begin(), expected.end());  // byte order

  ASSERT_EQ(kelffa_set_page_size(3), 0);
  ASSERT_EQ(kelffa_list("/"), 0);
  EXPECT_EQ(kelffa_count(), 3);
  EXPECT_EQ(kelffa_more(), 1);
  int pages = 1;
  while (kelffa_list_next() == 1) ++pages;
  EXPECT_EQ(pages, 3);  // 12 entries: the fourth page is fetched by the last call
  std::vector<Listed> paged = current_listing();
  EXPECT_EQ(names(paged), expected);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_EQ(kelffa_rejected(), 0);

  // A second listing (as the walk's folder pass makes), with another page
  // size, sees the same order.
  ASSERT_EQ(kelffa_set_page_size(5), 0);
  EXPECT_EQ(names(list_all("/")), expected);

  for (auto &e : paged) {
    EXPECT_EQ(e.path, "/" + e.name);
    if (e.name == "sub" || e.name == "Sub") {
      EXPECT_EQ(e.is_folder, 1);
      EXPECT_FALSE(e.fields & F_SIZE);
      continue;
    }
    size_t i = static_cast<size_t>(std::find(files.begin(), files.end(), e.name) - files.begin());
    EXPECT_EQ(e.is_folder, 0);
    EXPECT_EQ(e.size, static_cast<int64_t>(i * 1000003)) << e.name;
    if (e.name == "a.mkv") {
      EXPECT_EQ(e.mtime_ms, 1600000000123);
    }
    if (e.name == "Z") {
      EXPECT_FALSE(e.fields & F_MTIME);
    } else {
      EXPECT_GT(e.mtime_ms, 0) << e.name;
    }
  }

  // Paths inside subfolders, however the folder path is written.
  t.file("sub/inner.mkv", 7);
  for (const char *folder : {"/sub", "/sub/", "//sub", "/./sub"}) {
    std::vector<Listed> in = list_all(folder);
    ASSERT_EQ(in.size(), 1u) << folder;
    EXPECT_EQ(in[0].path, "/sub/inner.mkv");
    EXPECT_EQ(in[0].size, 7);
  }
}

// Calls the backend's list operation directly, as the layer does.
struct DirectPage {
  std::vector<kelffa_item> items;
  kelffa_page page{};
  int32_t cancel = 0;
  explicit DirectPage(uint64_t cap, const char *cursor = nullptr) : items(cap + 16) {
    for (auto &it : items) {
      it = kelffa_item{};
      it.struct_size = sizeof(kelffa_item);
      it.size = -1;
      it.mtime_ms = -1;
    }
    page.struct_size = sizeof page;
    page.cursor = cursor;
    page.items = items.data();
    page.cap = cap;
    page.cancel = &cancel;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> n;
    for (uint64_t i = 0; i < page.count; ++i) n.push_back(items[i].name);
    return n;
  }
};

TEST_F(DiskTest, CursorsResumeAfterTheLastNameReturned) {
  for (const char *n : {"a", "b", "c", "d", "e"}) t.file(n);
  t.dir("other");
  t.file("other/x");
  const kelffa_backend *b = kelhost__disk_backend();
  ASSERT_EQ(b->open(b->ctx, t.config().c_str()), 0);

  DirectPage first(2);
  ASSERT_EQ(b->list(b->ctx, "/", &first.page), 0);
  EXPECT_EQ(first.names(), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(first.page.more, 1);
  std::string cursor = first.page.next_cursor;

  // Another folder listed in between, and a new name sorting before the
  // cursor: the next page still starts right after "b".
  DirectPage other(2);
  ASSERT_EQ(b->list(b->ctx, "/other", &other.page), 0);
  EXPECT_EQ(other.names(), (std::vector<std::string>{"x"}));
  t.file("aa");
  DirectPage second(2, cursor.c_str());
  ASSERT_EQ(b->list(b->ctx, "/", &second.page), 0);
  EXPECT_EQ(second.names(), (std::vector<std::string>{"c", "d"}));
  ASSERT_EQ(second.page.more, 1);

  // A cursor past every name ends the listing.
  DirectPage past(2, "zzz");
  ASSERT_EQ(b->list(b->ctx, "/", &past.page), 0);
  EXPECT_EQ(past.page.count, 0u);
  EXPECT_EQ(past.page.more, 0);

  // A raised cancel flag stops a long listing.
  t.dir("many");
  for (int i = 0; i < 300; ++i) t.file("many/f" + std::to_string(i));
  DirectPage cancelled(1000);
  cancelled.cancel = 1;
  EXPECT_EQ(b->list(b->ctx, "/many", &cancelled.page), KELFFA_ERR_CANCELLED);
  b->close(b->ctx);
  EXPECT_EQ(b->list(b->ctx, "/", &first.page), KELFFA_ERR_NOT_OPEN);
}

// Every allocation of an open, a listing, a stat and a locator fails in turn:
// each operation answers KELFFA_ERR_OOM or succeeds, and the backend works
// normally afterwards.
TEST_F(DiskTest, RunningOutOfMemoryIsReportedAsSuch) {
  t.dir("a");
  for (const char *n : {"x.mkv", "y.mkv", "z.mkv"}) t.file(std::string("a/") + n, 5);
  t.dir("a/sub");
  t.link("..", "a/up");
  const kelffa_backend *b = kelhost__disk_backend();
  const std::string cfg = t.config(true);
  uint64_t nth = 1;
  for (; nth < 100000; ++nth) {
    SCOPED_TRACE(nth);
    DirectPage first(2), next(2), up(2);
    kelffa_item it{};
    char buf[8192];
    int32_t rc[6] = {};
    alloc_fail::arm(nth);
    rc[0] = b->open(b->ctx, cfg.c_str());
    if (rc[0] == 0) {
      rc[1] = b->list(b->ctx, "/a", &first.page);
      if (rc[1] == 0 && first.page.more) {
        next.page.cursor = first.page.next_cursor;
        rc[2] = b->list(b->ctx, "/a", &next.page);
      }
      rc[3] = b->list(b->ctx, "/a/up", &up.page);
      rc[4] = b->stat(b->ctx, "/a/x.mkv", &it);
      rc[5] = b->locator(b->ctx, "/a/up/a/y.mkv", buf, sizeof buf);
    }
    alloc_fail::disarm();
    b->close(b->ctx);
    for (int32_t r : rc) EXPECT_TRUE(r == 0 || r == KELFFA_ERR_OOM) << r;
    if (alloc_fail::failures() == 0) break;
  }
  EXPECT_GT(nth, 10u);  // the sweep went through the allocations of each step

  ASSERT_EQ(b->open(b->ctx, cfg.c_str()), 0);
  DirectPage all(10);
  ASSERT_EQ(b->list(b->ctx, "/a", &all.page), 0);
  EXPECT_EQ(all.names(), (std::vector<std::string>{"sub", "up", "x.mkv", "y.mkv", "z.mkv"}));
  b->close(b->ctx);
}

TEST_F(DiskTest, StatAndLocator) {
  t.dir("Films");
  t.file("Films/Heat 1995.mkv", 7340032000);
  open_disk();

  kelffa_item it{};
  ASSERT_EQ(kelffa_get("/Films/Heat 1995.mkv", &it), 0) << kelffa_last_error();
  EXPECT_STREQ(kelffa_item_name(&it), "Heat 1995.mkv");
  EXPECT_STREQ(kelffa_item_path(&it), "/Films/Heat 1995.mkv");
  EXPECT_EQ(kelffa_item_is_folder(&it), 0);
  EXPECT_EQ(kelffa_item_size(&it), 7340032000);
  EXPECT_GT(kelffa_item_mtime_ms(&it), 0);
  ASSERT_EQ(kelffa_get("/", &it), 0);
  EXPECT_EQ(kelffa_item_is_folder(&it), 1);
  EXPECT_STREQ(kelffa_item_path(&it), "/");
  EXPECT_EQ(kelffa_get("/Films/missing.mkv", nullptr), KELFFA_ERR_NOT_FOUND);

  // Unreserved characters and '/' stay; every other byte is %XX.
  struct {
    const char *name, *encoded;
  } cases[] = {
      {"plain-name_1.0~x.mkv", "plain-name_1.0~x.mkv"},
      {"a b#c?d%e&f+g.mkv", "a%20b%23c%3Fd%25e%26f%2Bg.mkv"},
      {"\xC3\xA9t\xC3\xA9:[1].mkv", "%C3%A9t%C3%A9%3A%5B1%5D.mkv"},
  };
  std::string root_enc;
  for (char c : t.root()) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || std::strchr("-._~/", c)) {
      root_enc.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      root_enc += hex;
    }
  }
  for (auto &c : cases) {
    t.file(std::string("Films/") + c.name);
    const char *loc = kelffa_locator((std::string("/Films/") + c.name).c_str());
    ASSERT_NE(loc, nullptr) << c.name << ": " << kelffa_last_error();
    EXPECT_EQ(std::string(loc), "file://" + root_enc + "/Films/" + c.encoded);
  }
  EXPECT_EQ(std::string(kelffa_locator("/")), "file://" + root_enc);
  EXPECT_EQ(kelffa_locator("/Films/missing.mkv"), nullptr);
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_NOT_FOUND);

  // A locator that does not fit the buffer is refused, not cut: folders of
  // 100 two-byte characters, each byte written as %XX (601 bytes a folder).
  std::string deep;
  std::string seg;
  for (int i = 0; i < 100; ++i) seg += "\xC3\xA9";
  for (int i = 0; i < 12; ++i) {
    deep += "/" + seg;
    t.dir(deep.substr(1));
  }
  ASSERT_NE(kelffa_locator(deep.c_str()), nullptr);  // about 7,250 bytes
  for (int i = 0; i < 2; ++i) {
    deep += "/" + seg;
    t.dir(deep.substr(1));
  }
  EXPECT_EQ(kelffa_locator(deep.c_str()), nullptr);
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_INVALID_ARG);
  EXPECT_NE(std::strstr(kelhost_last_error(), "needs"), nullptr) << kelhost_last_error();

  // Through a followed link, stat describes the target and the locator names it.
  t.link("Heat 1995.mkv", "Films/link.mkv");
  EXPECT_EQ(kelffa_get("/Films/link.mkv", nullptr), KELFFA_ERR_NOT_FOUND);
  open_disk(true);
  ASSERT_EQ(kelffa_get("/Films/link.mkv", &it), 0);
  EXPECT_EQ(kelffa_item_size(&it), 7340032000);
  EXPECT_EQ(std::string(kelffa_locator("/Films/link.mkv")),
            "file://" + root_enc + "/Films/Heat%201995.mkv");
  EXPECT_EQ(kelffa_list("/Films/missing"), KELFFA_ERR_NOT_FOUND);
}

TEST_F(DiskTest, NoPathLeavesTheRoot) {
  TempTree outside;
  outside.file("secret.mkv", 10);
  t.dir("a");
  t.file("a/in.mkv");
  t.link(outside.root(), "escape");
  t.link(outside.at("secret.mkv"), "a/secret.mkv");
  open_disk();

  for (const char *p : {"..", "/..", "/../", "/a/..", "/a/../..", "/a/../../etc", "a", "", "./a"}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(kelffa_list(p), KELFFA_ERR_INVALID_ARG);
    EXPECT_EQ(kelffa_get(p, nullptr), KELFFA_ERR_INVALID_ARG);
    EXPECT_EQ(kelffa_locator(p), nullptr);
    EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_INVALID_ARG);
  }
  // Links out of the root are not part of the namespace when not followed.
  EXPECT_EQ(names(list_all("/")), (std::vector<std::string>{"a"}));
  EXPECT_EQ(names(list_all("/a")), (std::vector<std::string>{"in.mkv"}));
  for (const char *p : {"/escape", "/escape/secret.mkv", "/a/secret.mkv"}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(kelffa_list(p), KELFFA_ERR_NOT_FOUND);
    EXPECT_EQ(kelffa_get(p, nullptr), KELFFA_ERR_NOT_FOUND);
    EXPECT_EQ(kelffa_locator(p), nullptr);
  }
  EXPECT_EQ(kelffa_list("/a/in.mkv"), KELFFA_ERR_INVALID_ARG);  // a file is not a folder
}

TEST_F(DiskTest, BadConfigurationsAreRefused) {
  t.file("file");
  const std::string r = t.root();
  struct {
    std::string config, message;
  } cases[] = {
      {"{}", "needs \"root\""},
      {"{\"follow_symlinks\":true}", "needs \"root\""},
      {"{\"root\":\"relative/folder\"}", "not an absolute path"},
      {"{\"root\":\"\"}", "not an absolute path"},
      {"{\"root\":\"/a\\u0000b\"}", "not an absolute path"},
      {"{\"root\":42}", "\"root\" must be a text"},
      {"{\"root\":null}", "\"root\" must be a text"},
      {"{\"root\":\"" + r + "/missing\"}", "No such file or directory"},
      {"{\"root\":\"" + r + "/file\"}", "is not a folder"},
      {"{\"root\":\"" + r + "\",\"follow_symlinks\":\"yes\"}", "must be true or false"},
      {"{\"root\":\"" + r + "\",\"follow_symlinks\":1}", "must be true or false"},
      {"{\"root\":\"" + r + "\",\"recursive\":true}", "unknown member \"recursive\""},
      {"{\"root\":\"" + r + "\",\"root\":\"" + r + "\"}", "\"root\" is given twice"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.config);
    EXPECT_EQ(kelffa_open("disk", c.config.c_str()), KELFFA_ERR_BAD_CONFIG);
    EXPECT_NE(std::strstr(kelhost_last_error(), c.message.c_str()), nullptr)
        << kelhost_last_error();
    EXPECT_STREQ(kelffa_last_error(), "open 'disk': bad_config");
  }
  EXPECT_EQ(kelffa_open("disk", (r + "x").c_str()), KELFFA_ERR_BAD_CONFIG);  // not JSON
  EXPECT_EQ(kelffa_open("disk", ("{\"root\":\"" + r + "\",\"follow_symlinks\":false}").c_str()), 0);
}

// ---- Whole scans ------------------------------------------------------------

struct Result {
  std::string key, name, imdb;
  int32_t outcome, season, episode;
};

std::map<std::string, Result> results_by_key() {
  std::map<std::string, Result> m;
  for (int32_t i = 0; i < kelmcat_result_count(); ++i)
    m[kelmcat_result_key(i)] = {kelmcat_result_key(i),     kelmcat_result_path(i),
                                kelmcat_result_imdb_id(i), kelmcat_result_outcome(i),
                                kelmcat_result_season(i),  kelmcat_result_episode(i)};
  return m;
}

std::vector<std::string> warnings() {
  std::vector<std::string> w;
  for (int32_t i = 0; i < kelmcat_warning_count(); ++i) w.push_back(kelmcat_warning(i));
  return w;
}

// The fake services and the fake vault, the disk backend on the tree.
int32_t setup_scan(const TempTree &t, bool follow) {
  kelmcat_shutdown();
  kel_fake_reset();
  int32_t rc = kelhost_disk_register();
  if (rc == 0) rc = kelmcat_use_fake();
  if (rc == 0) rc = kelmcat_set_backend("disk", t.config(follow).c_str());
  if (rc == 0) rc = kelmcat_set_matcher_host("https://matcher.test");
  if (rc == 0) rc = kelmcat_set_queue_credential("secret");
  if (rc == 0) rc = kelmcat_set_vault(kel_fake_vault());
  if (rc == 0) rc = kelmcat_arm_writes(1);
  return rc;
}

class DiskScanTest : public DiskTest {
 protected:
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
  }
};

TEST_F(DiskScanTest, ScansARealTree) {
  t.dir("Films");
  t.file("Films/Heat.1995.mkv", 7340032000);
  t.file("Films/alien_1979.avi", 1468006400);
  t.file("Films/poster.jpg", 204800);
  t.file("Films/Unknown Film.mp4", 1000);
  t.dir("Films/Extras");
  t.file("Films/Extras/Making of.mkv", 5000);
  t.dir("TV");
  t.dir("TV/Show");
  t.dir("TV/Show/Season 1");
  t.file("TV/Show/Season 1/The.Show.S01E02.mkv", 1073741824);
  ASSERT_EQ(setup_scan(t, false), 0) << kelmcat_last_error();
  ASSERT_EQ(kel_fake_set_matcher("Heat.1995.mkv", "tt0113277", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("alien_1979.avi", "tt0078748", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("Making of.mkv", "tt0000001", 0), 0);
  ASSERT_EQ(kel_fake_set_tvshow("The.Show.S01E02.mkv", "tt9999999"), 0);
  ASSERT_EQ(kelffa_set_page_size(2), 0);

  ASSERT_EQ(kelmcat_scan("u1", "c1"), KELMCAT_OK) << kelmcat_last_error();
  auto res = results_by_key();
  ASSERT_EQ(res.size(), 5u);
  auto check = [&](const std::string &key, const char *name, const char *imdb, int32_t outcome,
                   int32_t season, int32_t episode) {
    SCOPED_TRACE(key);
    ASSERT_EQ(res.count(key), 1u);
    const Result &r = res[key];
    EXPECT_EQ(r.name, name);
    EXPECT_EQ(r.imdb, imdb);
    EXPECT_EQ(r.outcome, outcome);
    EXPECT_EQ(r.season, season);
    EXPECT_EQ(r.episode, episode);
  };
  check("Films/Heat.1995.mkv_7340032000", "Heat.1995.mkv", "tt0113277", KELMCAT_OUTCOME_ADDED, -1,
        -1);
  check("Films/alien_1979.avi_1468006400", "alien_1979.avi", "tt0078748", KELMCAT_OUTCOME_ADDED, -1,
        -1);
  check("Films/Unknown Film.mp4_1000", "Unknown Film.mp4", "", KELMCAT_OUTCOME_UNMATCHED, -1, -1);
  check("Films/Extras/Making of.mkv_5000", "Making of.mkv", "tt0000001", KELMCAT_OUTCOME_ADDED, -1,
        -1);
  check("TV/Show/Season 1/The.Show.S01E02.mkv_1073741824", "The.Show.S01E02.mkv", "tt9999999",
        KELMCAT_OUTCOME_ADDED, 1, 2);
  EXPECT_EQ(warnings(), std::vector<std::string>{});
  EXPECT_EQ(kelhost_disk_unreadable_count(), 0);

  // Unchanged files stay unchanged on a second scan.
  ASSERT_EQ(kelmcat_scan("u1", "c1"), KELMCAT_OK) << kelmcat_last_error();
  res = results_by_key();
  EXPECT_EQ(res["Films/Heat.1995.mkv_7340032000"].outcome, KELMCAT_OUTCOME_UNCHANGED);
}

TEST_F(DiskScanTest, LinkLoopsDoNotMultiplyTheWalk) {
  t.dir("a");
  t.file("a/one.mkv", 1);
  t.dir("a/b");
  t.file("a/b/two.mkv", 2);
  t.link("..", "a/b/up");      // back to a
  t.link(t.root(), "a/root");  // back to the root
  t.link("one.mkv", "a/same.mkv");
  t.link("missing.mkv", "a/dangling.mkv");
  TempTree outside;
  outside.file("far.mkv", 3);
  t.link(outside.root(), "outside");

  for (bool follow : {false, true}) {
    SCOPED_TRACE(follow ? "following links" : "not following links");
    ASSERT_EQ(setup_scan(t, follow), 0) << kelmcat_last_error();
    ASSERT_EQ(kelffa_set_page_size(1), 0);  // both passes page through every folder
    ASSERT_EQ(kelmcat_scan("u1", "c1"), KELMCAT_OK) << kelmcat_last_error();
    std::vector<std::string> keys;
    for (auto &kv : results_by_key()) keys.push_back(kv.first);
    std::vector<std::string> expected = {"a/b/two.mkv_2", "a/one.mkv_1"};
    if (follow) {
      // Links to files list as those files; folders reached again list empty.
      expected.push_back("a/same.mkv_1");
      expected.push_back("outside/far.mkv_3");
      std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(kelmcat_result_count(), static_cast<int32_t>(expected.size()));
  }
}

TEST_F(DiskScanTest, NamesThatAreNotUtf8ReachTheRejectionWarning) {
  t.file("good.mkv", 1);
  t.file("bad\xFF.mkv", 2);
  ASSERT_EQ(setup_scan(t, false), 0) << kelmcat_last_error();
  ASSERT_EQ(kelmcat_scan("u1", "c1"), KELMCAT_OK) << kelmcat_last_error();
  EXPECT_EQ(kelmcat_result_count(), 1);
  bool found = false;
  for (auto &w : warnings())
    found = found || (w.find("name is not valid UTF-8") != std::string::npos &&
                      w.find("bad\\xFF.mkv") != std::string::npos);
  EXPECT_TRUE(found) << ::testing::PrintToString(warnings());
}

// In a child process: as an unprivileged user when running as root (who may
// read any folder), scans the tree and checks what the backend reports.
// Returns an empty text when everything holds.
std::string unreadable_scan(const TempTree &t) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return "cannot drop privileges";
  if (setup_scan(t, false) != 0) return std::string("setup: ") + kelmcat_last_error();
  if (kelmcat_scan("u1", "c1") != KELMCAT_OK) return std::string("scan: ") + kelmcat_last_error();
  if (kelmcat_result_count() != 2)
    return "results: " + std::to_string(kelmcat_result_count()) + " instead of 2";
  if (kelhost_disk_unreadable_count() != 2)
    return "unreadable: " + std::to_string(kelhost_disk_unreadable_count()) + " instead of 2";
  if (std::string(kelhost_disk_unreadable(0)) != "/open/denied" ||
      std::string(kelhost_disk_unreadable(1)) != "/secret")
    return std::string("unreadable folders: ") + kelhost_disk_unreadable(0) + ", " +
           kelhost_disk_unreadable(1);
  if (*kelhost_disk_unreadable(2) != '\0' || *kelhost_disk_unreadable(-1) != '\0')
    return "out of range is not empty";
  // A second scan reports them again, once each.
  if (kelmcat_scan("u1", "c1") != KELMCAT_OK || kelhost_disk_unreadable_count() != 2)
    return "second scan";
  if (kelffa_open("disk", t.config().c_str()) != 0 || kelhost_disk_unreadable_count() != 0)
    return "open does not empty the list";
  kelffa_close();
  return "";
}

TEST_F(DiskScanTest, UnreadableFoldersListEmptyAndAreReportedOnce) {
  t.dir("open");
  t.file("open/a.mkv", 1);
  t.dir("open/denied");
  t.file("open/denied/hidden.mkv", 2);
  t.dir("secret");
  t.file("secret/b.mkv", 3);
  t.dir("z");
  t.file("z/c.mkv", 4);
  ASSERT_EQ(chmod(t.at("open/denied").c_str(), 0), 0);
  ASSERT_EQ(chmod(t.at("secret").c_str(), 0), 0);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    std::string err = unreadable_scan(t);
    if (!err.empty()) {
      ssize_t w = write(fds[1], err.data(), err.size());
      (void)w;
    }
    close(fds[1]);
    _exit(err.empty() ? 0 : 1);
  }
  close(fds[1]);
  std::string err;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
  EXPECT_EQ(err, "");
}

}  // namespace
