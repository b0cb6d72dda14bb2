// What a scan shows on stderr: the live status line while it runs (only on a
// terminal) and the summary once it has ended.
#ifndef KELMCAT_CLI_STATUS_H
#define KELMCAT_CLI_STATUS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "kelmcat.h"

namespace cli {

// Redraws one line on stderr from the scan's progress reports, at most ten
// times a second. Installed with kelmcat_set_progress(StatusLine::hook, &line).
class StatusLine {
 public:
  explicit StatusLine(bool enabled);
  static void hook(const kelmcat_progress *progress, void *user);
  // Erases the line, so that what follows starts on a clean line.
  void clear();

 private:
  void update(const kelmcat_progress &p);

  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// Unmatched files the summary names; the rest are counted.
constexpr size_t kMaxListed = 20;

struct Summary {
  kelmcat_scan_stats stats{};
  int64_t rejected = 0;
  std::vector<std::string> unreadable;
  std::vector<std::string> warnings;
  std::vector<std::string> unmatched;  // identity keys, the first kMaxListed
  int64_t unmatched_total = 0;
  double seconds = 0;
  bool cancelled = false;
};

// Counts the rejected entries the library's listing warnings report.
int64_t rejected_entries(const std::vector<std::string> &warnings);

// The summary table, then the warnings, the unmatched files (for a
// correction) and the unreadable folders.
void print_summary(const Summary &summary);

}  // namespace cli

#endif
