// A scripted storage backend for the folder-access tests: each operation is a
// replaceable function; by default it serves a list of entries page by page
// with the index of the next entry as its cursor.
#ifndef KELMCAT_TESTS_FFA_SCRIPT_H
#define KELMCAT_TESTS_FFA_SCRIPT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ffa/ffa_internal.h"
#include "kelmcat.h"

namespace script {

struct Entry {
  std::string name;
  std::string path;
  int32_t is_folder = 0;
};

struct Backend {
  std::vector<Entry> entries;
  std::function<int32_t(const char *config)> open;
  std::function<int32_t(const char *folder, kelffa_page *page)> list;
  std::function<int32_t(const char *path, kelffa_item *item)> stat;
  std::function<int32_t(const char *path, char *buf, uint64_t size)> locator;
  int open_calls = 0;
  int list_calls = 0;
  int close_calls = 0;
  std::string last_config;
  std::string last_folder;
  std::vector<std::string> cursors;  // cursor of each list call; "(null)" for none
  std::string cursor_buf;            // storage behind next_cursor
};

inline Backend &sb() {
  static Backend b;
  return b;
}

// The default list operation: entries from the cursor's index on, at most cap.
inline int32_t serve(const char *, kelffa_page *pg) {
  Backend &b = sb();
  size_t start = pg->cursor ? std::strtoul(pg->cursor, nullptr, 10) : 0;
  size_t i = start;
  while (i < b.entries.size() && pg->count < pg->cap) {
    kelffa_item &it = pg->items[pg->count++];
    it.name = b.entries[i].name.c_str();
    it.path = b.entries[i].path.c_str();
    it.is_folder = b.entries[i].is_folder;
    ++i;
  }
  pg->more = i < b.entries.size();
  if (pg->more) {
    b.cursor_buf = std::to_string(i);
    pg->next_cursor = b.cursor_buf.c_str();
  }
  return KELFFA_OK;
}

inline int32_t op_open(void *, const char *config) {
  Backend &b = sb();
  ++b.open_calls;
  b.last_config = config ? config : "(null)";
  return b.open ? b.open(config) : KELFFA_OK;
}

inline int32_t op_list(void *, const char *folder, kelffa_page *pg) {
  Backend &b = sb();
  ++b.list_calls;
  b.last_folder = folder ? folder : "(null)";
  b.cursors.push_back(pg->cursor ? pg->cursor : "(null)");
  return b.list ? b.list(folder, pg) : serve(folder, pg);
}

inline int32_t op_stat(void *, const char *path, kelffa_item *item) {
  Backend &b = sb();
  if (b.stat) return b.stat(path, item);
  item->name = "x";
  item->path = path;
  return KELFFA_OK;
}

inline int32_t op_locator(void *, const char *path, char *buf, uint64_t size) {
  Backend &b = sb();
  if (b.locator) return b.locator(path, buf, size);
  std::snprintf(buf, static_cast<size_t>(size), "s:%s", path);
  return KELFFA_OK;
}

inline void op_close(void *) {
  ++sb().close_calls;
}

inline kelffa_backend table(const char *id, uint32_t caps = CAP_STAT) {
  kelffa_backend t;
  std::memset(&t, 0, sizeof t);
  t.struct_size = sizeof t;
  t.id = id;
  t.caps = caps;
  t.open = op_open;
  t.list = op_list;
  t.stat = op_stat;
  t.locator = op_locator;
  t.close = op_close;
  return t;
}

// Entries /m/e0 .. /m/e<n-1> in the folder /m.
inline std::vector<Entry> numbered(size_t n, const std::string &folder = "/m") {
  std::vector<Entry> v;
  for (size_t i = 0; i < n; ++i) {
    std::string name = "e" + std::to_string(i);
    v.push_back({name, folder + "/" + name, 0});
  }
  return v;
}

// Each test starts from the load state with the script backend "s" registered
// and open.
class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kelffa_reset();
    kelffa__cancel_clear();
    sb() = Backend();
    kelffa_backend t = table("s");
    ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
    ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  }
  void TearDown() override {
    kelffa_reset();
    kelffa__cancel_clear();
    sb() = Backend();
  }
};

}  // namespace script

#endif
