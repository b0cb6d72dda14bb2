// The fake tree JSON: loaded through both entry points, then every folder is
// listed and every entry stat'ed, located and rendered, as a host would.
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

// Generated entries are cheap but not free: keep each run small by skipping
// texts whose "generate" objects ask for more than this many entries in all.
constexpr int64_t kMaxGenerated = 5000;

bool too_many_generated(const std::string &text) {
  kj::Doc doc;
  if (!doc.parse(text, kj::Mode::allow_invalid_unicode)) return false;
  kj::Val gen = doc.root().get("generate");
  int64_t total = 0;
  for (size_t i = 0; i < gen.size(); ++i) {
    kj::Val count = gen.at(i).get("count");
    if (!count.is_int()) continue;
    // The store takes the low 32 bits.
    uint32_t n = static_cast<uint32_t>(count.is_sint() ? static_cast<uint64_t>(count.get_sint())
                                                       : count.get_uint());
    total += n;
    if (total > kMaxGenerated) return true;
  }
  return false;
}

// Lists the folder and, depth first, every folder below it (at most a few
// hundred listings in all, the tree being at most 64 levels deep).
void walk(const std::string &folder, int depth, int *budget) {
  if (depth > 70 || --*budget < 0) return;
  if (kelffa_list_all(folder.c_str()) != KELFFA_OK) return;
  fz::check_json_or_empty(kelffa_result_json());
  std::vector<std::string> folders;
  for (int32_t i = 0; i < kelffa_count(); ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    FZ_CHECK(it != nullptr);
    FZ_CHECK(kelffa_validate_item(it, folder.c_str()) == KELFFA_OK);
    if (kelffa_item_is_folder(it)) folders.push_back(kelffa_item_path(it));
  }
  for (const std::string &f : folders) {
    kelffa_item got{};
    if (kelffa_get(f.c_str(), &got) == KELFFA_OK) fz::check_json_or_empty(kelffa_result_json());
    FZ_CHECK(kelffa_locator(f.c_str()) != nullptr || kelffa_last_code() != 0);
    walk(f, depth + 1, budget);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  if (too_many_generated(text)) return 0;
  // A text that does not parse keeps the tree loaded before: start every run
  // from the same one.
  kelmcat_shutdown();
  kelffa_fake_set_fault(0, 0);
  kelffa_fake_set_caps(0x0F);
  FZ_CHECK(kelffa_fake_load_tree(R"({"name":"","children":[{"name":"kept.mkv"}]})") == KELFFA_OK);
  FZ_CHECK(kelffa_fake_register() == KELFFA_OK);

  int32_t rc = kelffa_fake_load_tree(text.c_str());
  FZ_CHECK(rc == KELFFA_OK || rc == KELFFA_ERR_BAD_CONFIG || rc == KELFFA_ERR_OOM);
  FZ_CHECK((rc == KELFFA_OK) == (kelffa_last_error()[0] == '\0'));
  int32_t rc2 = kelmcat_fake_load_tree(text.c_str());
  if (rc == KELFFA_OK) FZ_CHECK(rc2 == KELMCAT_OK);
  if (rc == KELFFA_ERR_BAD_CONFIG && !text.empty()) FZ_CHECK(rc2 == KELMCAT_ERR_ARG);

  if (kelffa_open("fake", nullptr) == KELFFA_OK) {
    int budget = 300;
    walk("/", 0, &budget);
    // The root by the paths that normalise to it.
    for (const char *p : {"", "///"}) {
      if (kelffa_get(p, nullptr) == KELFFA_OK) FZ_CHECK(kelffa_got() != nullptr);
      kelffa_locator(p);
    }
    kelffa_close();
  }
  kelmcat_shutdown();
  return 0;
}
