#include "status.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "text.h"

namespace cli {

namespace {

constexpr std::chrono::milliseconds kRedrawInterval{100};

size_t terminal_columns() {
  struct winsize ws {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

double per_second(int64_t count, double seconds) {
  return seconds > 0 ? static_cast<double>(count) / seconds : 0.0;
}

// A listing warning: "listing '<folder>' rejected <n> entry|entries; first: ...".
// The folder may itself hold anything, so the count is the first number that
// follows "' rejected " and is followed by " entr".
int64_t rejected_in(const std::string &w) {
  static const char kPrefix[] = "listing '";
  static const char kMarker[] = "' rejected ";
  if (w.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return 0;
  for (size_t at = w.find(kMarker); at != std::string::npos; at = w.find(kMarker, at + 1)) {
    size_t i = at + sizeof kMarker - 1;
    int64_t n = 0;
    size_t digits = 0;
    while (i < w.size() && w[i] >= '0' && w[i] <= '9' && digits < 18) {
      n = n * 10 + (w[i] - '0');
      ++i;
      ++digits;
    }
    if (digits > 0 && w.compare(i, 5, " entr") == 0) return n;
  }
  return 0;
}

}  // namespace

StatusLine::StatusLine(bool enabled)
    : enabled_(enabled), start_(std::chrono::steady_clock::now()), last_draw_() {}

void StatusLine::hook(const kelmcat_progress *progress, void *user) {
  if (!progress || !user) return;
  static_cast<StatusLine *>(user)->update(*progress);
}

void StatusLine::update(const kelmcat_progress &p) {
  if (!enabled_ || p.depth < 0) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  char counts[200];
  std::snprintf(counts, sizeof counts,
                "  files %" PRId64 "  matched %" PRId64 "  unmatched %" PRId64 "  errors %" PRId64
                "  %.0f files/s",
                p.considered, p.matched, p.unmatched, p.errors, per_second(p.considered, seconds));
  size_t width = terminal_columns() - 1;
  size_t used = std::strlen(counts);
  std::string folder = printable(p.folder ? p.folder : "");
  std::string line;
  if (used + 10 < width) {
    line = tail_fitting(folder, width - used) + counts;
  } else {
    line = tail_fitting(std::string(counts + 2), width);
  }
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void StatusLine::clear() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

int64_t rejected_entries(const std::vector<std::string> &warnings) {
  int64_t n = 0;
  for (const std::string &w : warnings) n += rejected_in(w);
  return n;
}

void print_summary(const Summary &s) {
  const kelmcat_scan_stats &st = s.stats;
  const struct {
    const char *label;
    int64_t value;
  } rows[] = {
      {"added", st.added},
      {"updated", st.updated},
      {"unchanged", st.unchanged},
      {"unmatched", st.unmatched},
      {"errors", st.errors},
      {"rejected entries", s.rejected},
      {"unreadable folders", static_cast<int64_t>(s.unreadable.size())},
  };
  std::fprintf(stderr, "%s\n", s.cancelled ? "scan cancelled; so far:" : "scan summary:");
  for (const auto &r : rows) std::fprintf(stderr, "  %-20s %" PRId64 "\n", r.label, r.value);
  std::fprintf(stderr, "  %-20s %.2f s\n", "time", s.seconds);
  std::fprintf(stderr, "  %-20s %.0f\n", "files per second", per_second(st.considered, s.seconds));
  if (!s.warnings.empty()) {
    std::fprintf(stderr, "warnings:\n");
    for (const std::string &w : s.warnings) std::fprintf(stderr, "  %s\n", printable(w).c_str());
  }
  if (!s.unmatched.empty()) {
    std::fprintf(stderr, "unmatched files (to name one: kelmcat correct KEY IMDB_ID):\n");
    for (const std::string &k : s.unmatched) std::fprintf(stderr, "  %s\n", printable(k).c_str());
    int64_t more = s.unmatched_total - static_cast<int64_t>(s.unmatched.size());
    if (more > 0) std::fprintf(stderr, "  ... and %" PRId64 " more\n", more);
  }
  if (!s.unreadable.empty()) {
    std::fprintf(stderr, "unreadable folders:\n");
    for (const std::string &f : s.unreadable) std::fprintf(stderr, "  %s\n", printable(f).c_str());
  }
}

}  // namespace cli
