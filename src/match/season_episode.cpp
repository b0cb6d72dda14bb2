// Season and episode parser. Every form is a single pass over the name with
// constant extra space; nothing is allocated.
#include "match/season_episode.h"

#include <cstddef>
#include <cstring>

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_letter(char c, char lower_letter) {
  return lower(c) == lower_letter;
}

// Case-insensitive (ASCII) test that word, given in lower case, starts at p.
// Stops at the name's NUL because no word holds one.
bool starts_with_ci(const char *p, const char *word) {
  for (; *word; ++p, ++word) {
    if (lower(*p) != *word) return false;
  }
  return true;
}

bool contains_ci(const char *name, const char *word) {
  for (const char *p = name; *p; ++p) {
    if (starts_with_ci(p, word)) return true;
  }
  return false;
}

// One or two digits at p (p must point at a digit); a third is not read.
int32_t short_number(const char *p) {
  int32_t n = p[0] - '0';
  if (is_digit(p[1])) n = n * 10 + (p[1] - '0');
  return n;
}

// Short number plus how many bytes it spans.
size_t short_len(const char *p) {
  return is_digit(p[1]) ? 2 : 1;
}

// The whole run of digits at p; *end receives the first byte after it. A run
// whose value does not fit a 32-bit int gives -1. A run of no digits gives -2.
int32_t long_number(const char *p, const char **end) {
  if (!is_digit(*p)) {
    *end = p;
    return -2;
  }
  int64_t n = 0;
  bool overflow = false;
  for (; is_digit(*p); ++p) {
    if (!overflow) {
      n = n * 10 + (*p - '0');
      if (n > INT32_MAX) overflow = true;
    }
  }
  *end = p;
  return overflow ? -1 : static_cast<int32_t>(n);
}

// The first episode marker of the whole name: "E"/"e" followed by a digit,
// otherwise "Ep" followed by a digit. Writes the episode and returns 1, or
// returns 0 without writing.
int find_episode(const char *name, int32_t *episode) {
  for (const char *p = name; *p; ++p) {
    if (is_letter(*p, 'e') && is_digit(p[1])) {
      *episode = short_number(p + 1);
      return 1;
    }
  }
  for (const char *p = name; *p; ++p) {
    if (p[0] == 'E' && p[1] == 'p' && is_digit(p[2])) {
      *episode = short_number(p + 2);
      return 1;
    }
  }
  return 0;
}

// "S" + digits, with an episode marker anywhere in the name. Only the first
// "S"-and-digit place is tried.
bool s_and_e_form(const char *name, int32_t *season, int32_t *episode) {
  for (const char *p = name; *p; ++p) {
    if (is_letter(*p, 's') && is_digit(p[1])) {
      int32_t s = short_number(p + 1);
      int32_t e = 0;
      if (find_episode(name, &e) && s > 0 && e > 0) {
        *season = s;
        *episode = e;
        return true;
      }
      return false;
    }
  }
  return false;
}

// "season N episode M" with exactly one space between the parts. The first
// place where the whole form matches decides.
bool long_form(const char *name, int32_t *season, int32_t *episode) {
  for (const char *p = name; *p; ++p) {
    if (!starts_with_ci(p, "season") || p[6] != ' ') continue;
    const char *q = p + 7;
    int32_t n = long_number(q, &q);
    if (n == -2 || *q != ' ') continue;
    ++q;
    if (!starts_with_ci(q, "episode") || q[7] != ' ') continue;
    q += 8;
    int32_t m = long_number(q, &q);
    if (m == -2) continue;
    if (n > 0 && m > 0) {
      *season = n;
      *episode = m;
      return true;
    }
    return false;
  }
  return false;
}

// "N x M", trying each "x" from the last one towards the first.
bool x_form(const char *name, size_t len, int32_t *season, int32_t *episode) {
  for (size_t j = len; j-- > 0;) {
    if (!is_letter(name[j], 'x')) continue;
    if (j == 0) return false;
    if (!is_digit(name[j - 1])) continue;
    if (!is_digit(name[j + 1])) continue;
    int32_t s = name[j - 1] - '0';
    if (j >= 2 && is_digit(name[j - 2])) s += (name[j - 2] - '0') * 10;
    int32_t e = short_number(name + j + 1);
    if (s > 0 && e > 0) {
      *season = s;
      *episode = e;
      return true;
    }
    return false;
  }
  return false;
}

// A space, one to four digits and a space; then any episode marker.
bool bare_number_form(const char *name, int32_t *season, int32_t *episode) {
  for (const char *p = name; *p; ++p) {
    if (*p != ' ') continue;
    size_t k = 0;
    int32_t n = 0;
    while (k < 4 && is_digit(p[1 + k])) {
      n = n * 10 + (p[1 + k] - '0');
      ++k;
    }
    if (k == 0 || p[1 + k] != ' ') continue;
    if (n > 0) {
      *season = (n >= 892 && n < 1200) ? 21 : 1;
      *episode = n;
      return true;
    }
    break;  // a bare 0 ends the search for bare numbers
  }
  int32_t e = 0;
  if (find_episode(name, &e) && e > 0) {
    *season = 1;
    *episode = e;
    return true;
  }
  return false;
}

// "S" + one or two digits + "EP" + digits, at every place.
bool s_and_ep_form(const char *name, int32_t *season, int32_t *episode) {
  for (const char *p = name; *p; ++p) {
    if (!is_letter(*p, 's') || !is_digit(p[1])) continue;
    int32_t s = short_number(p + 1);
    const char *q = p + 1 + short_len(p + 1);
    if (!is_letter(q[0], 'e') || !is_letter(q[1], 'p') || !is_digit(q[2])) continue;
    const char *end = nullptr;
    int32_t e = long_number(q + 2, &end);
    if (s > 0 && e > 0) {
      *season = s;
      *episode = e;
      return true;
    }
  }
  return false;
}

}  // namespace

int32_t kel_parse_season_episode(const char *name, int32_t *season, int32_t *episode) {
  if (season) *season = -1;
  if (episode) *episode = -1;
  if (!name || !*name) return 0;

  const bool has_season = contains_ci(name, "season");
  int32_t s = -1;
  int32_t e = -1;
  bool found = s_and_e_form(name, &s, &e) || long_form(name, &s, &e) ||
               x_form(name, std::strlen(name), &s, &e) ||
               (!has_season && bare_number_form(name, &s, &e)) || s_and_ep_form(name, &s, &e);
  if (!found) return 0;
  if (season) *season = s;
  if (episode) *episode = e;
  return 1;
}
