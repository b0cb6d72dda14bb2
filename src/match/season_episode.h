// Season and episode numbers read out of a file name.
#ifndef KELMCAT_MATCH_SEASON_EPISODE_H
#define KELMCAT_MATCH_SEASON_EPISODE_H

#include <cstdint>

// Tries the known naming forms in a fixed order and reports the first pair in
// which both numbers are positive. Both outputs are set to -1 first and are
// written together only on success (a null output pointer is skipped).
// Returns 1 when a pair was found, 0 otherwise (also for a null or empty name).
// Pure: no state, no allocation, ASCII only.
//
// A run of digits too long for a 32-bit int (the "season N episode M" and
// "S..EP.." forms read whole runs) is rejected: it counts as a number that is
// not positive, exactly like 0.
int32_t kel_parse_season_episode(const char *name, int32_t *season, int32_t *episode);

#endif
