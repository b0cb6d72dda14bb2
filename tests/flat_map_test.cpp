// The flat hash map behind the scan's per-file lookups.
#include <gtest/gtest.h>

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

}  // namespace
