// The flat hash map behind the scan's per-file lookups.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "core/flat_map.h"

namespace {

TEST(FlatMap, FirstValueWinsAcrossGrowth) {
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) keys.push_back("key" + std::to_string(i));
  keys.push_back("");                      // the empty key is a key like any other
  keys.push_back(std::string("a\0b", 3));  // bytes, not C texts
  keys.push_back(std::string("a\0c", 3));
  kel::FlatMap<int> m;
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(m.insert(keys[i], static_cast<int>(i)));
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_FALSE(m.insert(keys[i], -1));  // first stays
  EXPECT_EQ(m.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const int *v = m.find(keys[i]);
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(*v, static_cast<int>(i));
  }
  EXPECT_EQ(m.find("key5000"), nullptr);
  EXPECT_EQ(m.find("a"), nullptr);
  m.clear();
  EXPECT_EQ(m.find("key1"), nullptr);
  EXPECT_EQ(m.find(""), nullptr);
  m.reserve(100);
  EXPECT_TRUE(m.insert("key1", 7));
  EXPECT_EQ(*m.find("key1"), 7);
}

// A slot records a key's length in 32 bits: a longer key is refused as if
// memory had run out, and never found; its bytes are not read.
TEST(FlatMap, KeysOf4GiBOrMoreAreRefused) {
  const char bytes[] = "k";
  const std::string_view huge(bytes, size_t{1} << 32);
  kel::FlatMap<int> m;
  EXPECT_TRUE(m.insert("k", 1));
  EXPECT_THROW(m.insert(huge, 2), std::bad_alloc);
  EXPECT_EQ(m.find(huge), nullptr);
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(*m.find("k"), 1);
}

// The hash picks slots by its low bits: for families of keys alike but for a
// few bytes (counters at either end, lengths, bytes in the last partial
// block, NUL bytes), the low 13 bits of 4,096 keys must spread about as a
// random function's would (about 3,220 distinct values), and no two whole
// hashes may be equal.
TEST(FlatMap, HashSpreadsKeysThatDifferInFewBytes) {
  auto two_bytes = [](int i) {
    return std::string{static_cast<char>(i & 0xFF), static_cast<char>(i >> 8)};
  };
  const struct {
    const char *family;
    std::function<std::string(int)> key;
  } families[] = {
      {"decimal counter", [](int i) { return std::to_string(i); }},
      {"counter at the end of a path",
       [](int i) { return "Films/Some Show/Season 1/S01E" + std::to_string(i) + ".mkv_1000"; }},
      {"counter at the start", [&](int i) { return two_bytes(i) + std::string(40, 'x'); }},
      {"length only", [](int i) { return std::string(static_cast<size_t>(i + 1), 'a'); }},
      {"NUL bytes of every length",
       [](int i) { return std::string(static_cast<size_t>(i), '\0'); }},
      {"last partial block", [&](int i) { return "12345678" + two_bytes(i) + "z"; }},
      {"short keys", [&](int i) { return two_bytes(i).substr(0, i < 256 ? 1 : 2); }},
  };
  for (const auto &f : families) {
    SCOPED_TRACE(f.family);
    std::set<uint64_t> whole, low;
    for (int i = 0; i < 4096; ++i) {
      uint64_t h = kel::flat_hash(f.key(i));
      whole.insert(h);
      low.insert(h & 8191);
    }
    EXPECT_EQ(whole.size(), 4096u);
    EXPECT_GT(low.size(), 3000u);
  }
}

}  // namespace
