/* A program built against an installed kelmcat through pkg-config: scans a
 * two-file fake tree and checks what it learns. */
#include <stdio.h>
#include <string.h>

#include <kelmcat.h>

#if KELMCAT_VERSION_MAJOR != 1
#error "built against a kelmcat of another major version"
#endif

static const char tree[] =
    "{\"name\":\"\",\"children\":[{\"name\":\"Films\",\"children\":["
    "{\"name\":\"Heat.mkv\",\"size\":5},{\"name\":\"Nope.mkv\",\"size\":6}]}]}";

int main(void) {
  int32_t rc;
  if (strcmp(kelmcat_version(), KELMCAT_VERSION_STRING) != 0) {
    fprintf(stderr, "c consumer: header %s, library %s\n", KELMCAT_VERSION_STRING,
            kelmcat_version());
    return 1;
  }
  if (kelmcat_use_fake() != KELMCAT_OK || kelmcat_fake_load_tree(tree) != KELMCAT_OK ||
      kelmcat_set_backend("fake", NULL) != KELMCAT_OK ||
      kelmcat_set_matcher_host("https://match.example") != KELMCAT_OK ||
      kelmcat_set_queue_credential("secret") != KELMCAT_OK ||
      kelmcat_set_vault(kel_fake_vault()) != KELMCAT_OK ||
      kel_fake_set_matcher("Heat.mkv", "tt0113277", 0) != KELMCAT_OK ||
      kelmcat_arm_writes(1) != KELMCAT_OK) {
    fprintf(stderr, "c consumer: setup failed: %s\n", kelmcat_last_error());
    return 1;
  }
  rc = kelmcat_scan("u1", "c1");
  if (rc != KELMCAT_OK || kelmcat_result_count() != 2 ||
      strcmp(kelmcat_result_imdb_id(0), "tt0113277") != 0 ||
      kelmcat_result_outcome(0) != KELMCAT_OUTCOME_ADDED || kelmcat_unmatched_count() != 1) {
    fprintf(stderr, "c consumer: scan gave %d: %s\n%s\n", (int)rc, kelmcat_last_error(),
            kelmcat_result_json());
    return 1;
  }
  printf("c consumer: kelmcat %s, %d files scanned\n", kelmcat_version(),
         (int)kelmcat_result_count());
  kelmcat_shutdown();
  return 0;
}
