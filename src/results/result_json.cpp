// The result document: results, the last scan's counters and the warnings.
#include <cstdlib>
#include <cstring>

#include "core/core_internal.h"
#include "core/json.h"
#include "results/results_internal.h"

namespace {

// The last document handed out; replaced (and freed) by the next call only.
char *s_json = nullptr;

void write_stats(kj::Writer &w, const kel_counters &c) {
  w.start_obj();
#define KEL_COUNTER_ROW(type, member, name) \
  w.key(name);                              \
  w.sint(c.member);
  KEL_COUNTERS(KEL_COUNTER_ROW)
#undef KEL_COUNTER_ROW
  w.end_obj();
}

std::string_view text_or_empty(const char *s) {
  return s ? std::string_view(s) : std::string_view();
}

// Builds the document with the state lock held; nullptr when it cannot be
// written (memory, or a stored text that is not well-formed UTF-8).
char *build_locked() {
  kj::Writer w;
  w.start_obj();
  w.key("results");
  w.start_arr();
  for (int32_t i = 0; i < g_st.result_count; ++i) {
    const kel_stored_result &r = g_st.results[i];
    w.start_obj();
    w.key("key");
    w.str(kel_stored_key(r));
    w.key("path");
    w.str(kel_stored_path(r));
    w.key("imdbId");
    w.str(kel_stored_imdb_id(r));
    w.key("outcome");
    w.sint(r.outcome);
    if (r.season >= 0) {
      w.key("season");
      w.sint(r.season);
    }
    if (r.episode >= 0) {
      w.key("episode");
      w.sint(r.episode);
    }
    w.end_obj();
  }
  w.end_arr();
  kel_counters c{};
  kel_last_counters_copy(&c);
  w.key("stats");
  write_stats(w, c);
  w.key("warnings");
  w.start_arr();
  for (int32_t i = 0; i < g_st.warning_count; ++i) w.str(text_or_empty(g_st.warnings[i]));
  w.end_arr();
  w.end_obj();
  if (!w.ok()) return nullptr;
  return kel_strndup(w.text().data(), w.text().size());
}

}  // namespace

extern "C" KELMCAT_API const char *kelmcat_result_json(void) noexcept {
  std::lock_guard<std::mutex> g(g_st.lock);
  std::free(s_json);
  s_json = nullptr;
  try {
    s_json = build_locked();
  } catch (const std::bad_alloc &) {
    s_json = nullptr;
  }
  return s_json ? s_json : kel_empty;
}
