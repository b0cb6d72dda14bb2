// The backend configuration JSON: opening the fake backend with any text, and
// a listing through the session it opened.
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  kelffa_reset();
  kelffa_fake_set_fault(0, 0);
  kelffa_fake_set_caps(0x0F);
  FZ_CHECK(kelffa_fake_load_tree(R"({"name":"","generate":[{"path":"/g","count":40}]})") ==
           KELFFA_OK);
  FZ_CHECK(kelffa_fake_register() == KELFFA_OK);
  int32_t rc = kelffa_open("fake", text.c_str());
  FZ_CHECK(rc == KELFFA_OK || rc == KELFFA_ERR_BAD_CONFIG || rc == KELFFA_ERR_OOM);
  if (rc == KELFFA_OK) {
    FZ_CHECK(kelffa_list_all("/g") == KELFFA_OK);
    FZ_CHECK(kelffa_count() == 40);
  } else {
    FZ_CHECK(kelffa_list("/g") == KELFFA_ERR_NOT_OPEN);
  }
  kelffa_reset();

  // The same text as the categorizer's stored configuration, opened by a scan.
  fz::ScriptIO io;
  fz::ScriptVault vault;
  fz::setup_scan(&io, &vault);
  if (kelmcat_set_backend("fake", text.c_str()) == KELMCAT_OK) {
    int32_t s = kelmcat_scan("u1", "c1");
    FZ_CHECK(s <= 0);
    fz::read_scan_results();
  }
  kelmcat_shutdown();
  return 0;
}
