// kelffa_decode over any text. A decoded listing is rendered; the rendering
// decodes again, and a second round trip keeps every entry.
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  kelffa_reset();
  int32_t rc = kelffa_decode(text.c_str());
  FZ_CHECK(rc == KELFFA_OK || rc == KELFFA_ERR_INVALID_ARG || rc == KELFFA_ERR_OOM);
  FZ_CHECK(kelffa_count() >= 0 && kelffa_rejected() >= 0);
  FZ_CHECK(kelffa_more() == 0);
  FZ_CHECK(kelffa_list_next() <= 0);
  for (int32_t i = 0; i < kelffa_count(); ++i)
    FZ_CHECK(kelffa_validate_item(kelffa_item_at(i), nullptr) == KELFFA_OK);

  std::string first = kelffa_result_json();
  fz::check_json_or_empty(first.c_str());
  if (rc == KELFFA_OK && first != "{}") {
    // The first rendering names the listed folder "" when the text had none,
    // which rejects an entry whose path is only slashes as a self-loop; from
    // then on nothing is rejected and only the rejection count changes.
    FZ_CHECK(kelffa_decode(first.c_str()) == KELFFA_OK);
    std::string second = kelffa_result_json();
    FZ_CHECK(second != "{}");
    int32_t count = kelffa_count();
    std::string rejected = "\"rejected\":" + std::to_string(kelffa_rejected()) + ",\"items\":";
    size_t at = second.find(rejected);
    FZ_CHECK(at != std::string::npos);
    std::string expected = second;
    expected.replace(at, rejected.size(), "\"rejected\":0,\"items\":");
    FZ_CHECK(kelffa_decode(second.c_str()) == KELFFA_OK);
    FZ_CHECK(kelffa_count() == count);
    FZ_CHECK(kelffa_rejected() == 0);
    FZ_CHECK(expected == kelffa_result_json());
  }
  kelffa_reset();
  return 0;
}
