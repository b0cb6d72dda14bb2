// A C++17 program built against an installed kelmcat through its CMake
// package: scans a two-file fake tree and checks what it learns.
#include <kelmcat.h>

#include <cstdio>
#include <string_view>

static_assert(KELMCAT_VERSION_MAJOR == 1, "built against a kelmcat of another major version");

namespace {

constexpr const char *kTree =
    R"({"name":"","children":[{"name":"Shows","children":[)"
    R"({"name":"Show.S02E05.mkv","size":9},{"name":"Unknown.mkv","size":4}]}]})";

bool ok(int32_t rc, const char *what) {
  if (rc == KELMCAT_OK) return true;
  std::fprintf(stderr, "c++ consumer: %s gave %d: %s\n", what, rc, kelmcat_last_error());
  return false;
}

}  // namespace

int main() {
  if (std::string_view(kelmcat_version()) != KELMCAT_VERSION_STRING) {
    std::fprintf(stderr, "c++ consumer: header %s, library %s\n", KELMCAT_VERSION_STRING,
                 kelmcat_version());
    return 1;
  }
  if (!ok(kelmcat_use_fake(), "use_fake") || !ok(kelmcat_fake_load_tree(kTree), "load_tree") ||
      !ok(kelmcat_set_backend("fake", nullptr), "set_backend") ||
      !ok(kelmcat_set_matcher_host("https://match.example"), "set_matcher_host") ||
      !ok(kelmcat_set_queue_credential("secret"), "set_queue_credential") ||
      !ok(kelmcat_set_vault(kel_fake_vault()), "set_vault") ||
      !ok(kel_fake_set_tvshow("Show.S02E05.mkv", "tt0000001"), "set_tvshow") ||
      !ok(kelmcat_arm_writes(1), "arm_writes") || !ok(kelmcat_scan("u1", "c1"), "scan"))
    return 1;
  if (kelmcat_result_count() != 2 || std::string_view(kelmcat_result_imdb_id(0)) != "tt0000001" ||
      kelmcat_result_season(0) != 2 || kelmcat_result_episode(0) != 5 ||
      kelmcat_unmatched_count() != 1) {
    std::fprintf(stderr, "c++ consumer: unexpected results %s\n", kelmcat_result_json());
    return 1;
  }
  std::printf("c++ consumer: kelmcat %s, %d files scanned\n", kelmcat_version(),
              kelmcat_result_count());
  kelmcat_shutdown();
  return 0;
}
