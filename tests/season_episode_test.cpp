#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "match/season_episode.h"

namespace {

struct Case {
  const char *name;
  int32_t season;  // -1 -1: nothing found
  int32_t episode;
};

const Case kCases[] = {
    // S-and-E form: the first S+digit gives the season, the first E marker anywhere the episode.
    {"Show S01E02.mkv", 1, 2},
    {"show.s1e2.mkv", 1, 2},
    {"S123E05", 12, 5},
    {"S00E05", 1, 5},  // season 0 refused; the bare E marker then gives season 1
    {"S01E00", -1, -1},
    {"S01E1E2", 1, 1},
    {"E3 S02", 2, 3},
    {"Show E123", 1, 12},
    {"S05 Ep7", 5, 7},  // "Ep" marker when no E+digit exists
    // Long form.
    {"Show Season 1 Episode 2", 1, 2},
    {"SEASON 1 EPISODE 2", 1, 2},
    {"Season 10 Episode 12 & 13", 10, 12},
    {"Myseason 3 episode 4", 3, 4},
    {"Season 1  Episode 2", -1, -1},
    {"Season 2 Episode 0 Season 3 Episode 4", -1, -1},
    {"Season 0012 Episode 0300", 12, 300},
    {"Season 2147483647 Episode 1", 2147483647, 1},
    // Runs too long for a 32-bit int are rejected like 0, never wrapped.
    {"Season 2147483648 Episode 1", -1, -1},
    {"Season 1 Episode 99999999999999999999999", -1, -1},
    {"Season 4294967297 Episode 1", -1, -1},  // would wrap to 1 in 32 bits
    {"Season 00000000000000000007 Episode 3", 7, 3},
    // N-x-M form, rightmost x first.
    {"12x05", 12, 5},
    {"1x05", 1, 5},
    {"123x05", 23, 5},
    {"0x05", -1, -1},
    {"3x05 - 2x01", 2, 1},
    {"Show.1x02.divx", 1, 2},
    {"x5", -1, -1},
    {"2X10", 2, 10},
    // Bare numbers, only without "season".
    {"Show 720 x", 1, 720},
    {"Show 891 x", 1, 891},
    {"Show 892 x", 21, 892},
    {"Show 1000 x", 21, 1000},
    {"Show 1199 x", 21, 1199},
    {"Show 1200 x", 1, 1200},
    {"Movie 2019 1080p", 1, 2019},
    {"Show 12345 x 7 y", 1, 7},
    {"Show 0 z 7 y", -1, -1},
    {"Show 0 z E4", 1, 4},  // a bare 0 stops the bare numbers, not the E marker
    {"Show 03.mkv", -1, -1},
    {"Season Finale 05 x", -1, -1},
    {"Ep5", 1, 5},
    {"EP5", -1, -1},
    {"ep 5", -1, -1},
    // S-and-EP form.
    {"S02EP03", 2, 3},
    {"S2ep3", 2, 3},
    {"S0EP3 S4EP5", 4, 5},  // a non-positive place moves on to the next one
    {"S2EP99999999999", -1, -1},
    {"S 1 E 2", 1, 1},
    // Letters are ASCII only; other bytes never match.
    {"\xC5\x9A"
     "01\xC3\x89"
     "02",
     -1, -1},
    {"Show\tS01E02", 1, 2},
    {"Show\t5\t", -1, -1},  // only 0x20 counts as a space
    {"", -1, -1},
};

TEST(SeasonEpisode, Table) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(std::string("name: \"") + c.name + "\"");
    int32_t season = 77, episode = 77;
    int32_t found = kel_parse_season_episode(c.name, &season, &episode);
    EXPECT_EQ(found, c.season != -1 ? 1 : 0);
    EXPECT_EQ(season, c.season);
    EXPECT_EQ(episode, c.episode);
  }
}

TEST(SeasonEpisode, NullArguments) {
  int32_t season = 5, episode = 5;
  EXPECT_EQ(kel_parse_season_episode(nullptr, &season, &episode), 0);
  EXPECT_EQ(season, -1);
  EXPECT_EQ(episode, -1);
  EXPECT_EQ(kel_parse_season_episode("S01E02", nullptr, nullptr), 1);
  EXPECT_EQ(kel_parse_season_episode("S01E02", nullptr, &episode), 1);
  EXPECT_EQ(episode, 2);
}

// Markers at the very end of the name must not read past the terminator
// (the sanitizer build catches an over-read of the heap copy).
TEST(SeasonEpisode, MarkersAtEnd) {
  const char *tails[] = {
      "S",  "s9",  "Season", "Season 1", "Season 1 Episode", "Season 1 Episode ", "x", "9x", "E",
      "Ep", " 12", "S1E",    "S1EP"};
  for (const char *t : tails) {
    std::string name = t;
    char *heap = new char[name.size() + 1];
    std::memcpy(heap, name.c_str(), name.size() + 1);
    int32_t season = 0, episode = 0;
    kel_parse_season_episode(heap, &season, &episode);
    delete[] heap;
  }
}

}  // namespace
