/* A host written in C: includes only the public header and calls the library
 * through the shared object. Each family adds a check function below. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelmcat.h"

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

static void check_configuration(void) {
  int32_t n = 0;
  const char *const *ext = kelmcat_default_video_extensions(&n);
  CHECK(n == 17);
  CHECK(strcmp(ext[16], ".rm") == 0);
  CHECK(kelmcat_set_matcher_host("http://x") == KELMCAT_ERR_ARG);
  CHECK(strncmp(kelmcat_last_error(), "matcher host must be https://", 29) == 0);
  CHECK(kelmcat_set_matcher_host("https://match.example") == KELMCAT_OK);
  CHECK(kelmcat_set_max_depth(0) == KELMCAT_ERR_ARG);
  CHECK(kelmcat_arm_writes(5) == KELMCAT_OK);
  {
    const char *paths[2] = {"/a", "/b"};
    CHECK(kelmcat_set_include_paths(paths, 2) == KELMCAT_OK);
  }
  CHECK(kelmcat_warning_count() == 0);
  CHECK(strcmp(kelmcat_warning(0), "") == 0);
  kelmcat_shutdown();
  CHECK(strcmp(kelmcat_last_error(), "") == 0);
  CHECK(kelmcat_last_code() == 0);
  CHECK(kelmcat_last_http_code() == 0);
  CHECK(strcmp(kelmcat_last_url(), "") == 0);
}

static int32_t host_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
  (void)ctx;
  (void)url;
  (void)body;
  (void)error;
  *status = 200;
  return 0;
}

static void host_release(void *ctx, void *ptr) {
  (void)ctx;
  (void)ptr;
}

static void check_io_and_vault(void) {
  static const kelmcat_io io = {NULL, host_get, NULL, host_release};
  const kelmcat_vault *fv = kel_fake_vault();
  kelmcat_vault partial;
  char *value = NULL;
  char **keys = NULL;
  size_t count = 0;
  kelmcat_set_io(&io);
  CHECK(kelmcat_use_curl() == KELMCAT_ERR_NO_IO);
  CHECK(strcmp(kelmcat_last_error(), "this build has no libcurl backend (KELMCAT_NO_CURL)") == 0);
  CHECK(kelmcat_set_vault(NULL) == KELMCAT_ERR_ARG);
  partial = *fv;
  partial.search_keys = NULL;
  CHECK(kelmcat_set_vault(&partial) == KELMCAT_ERR_ARG);
  CHECK(kelmcat_set_vault(fv) == KELMCAT_OK);

  CHECK(kel_fake_set_matcher("Heat", "tt0113277", 0) == KELMCAT_OK);
  CHECK(kel_fake_set_matcher("Nothing", NULL, 302) == KELMCAT_ERR_ARG);
  CHECK(kel_fake_set_tvshow("Show", "tt1") == KELMCAT_OK);
  CHECK(kel_fake_set_ismovie("tt1", 0) == KELMCAT_OK);
  CHECK(kel_fake_fail_matcher("") == KELMCAT_ERR_ARG);
  CHECK(kel_fake_set_corrections("{}") == KELMCAT_OK);
  CHECK(kel_fake_set_indexed("[]") == KELMCAT_OK);
  CHECK(kel_fake_matcher_calls() == 0 && kel_fake_queue_calls() == 0);

  CHECK(kel_fake_vault_seed("ns:a", "1") == 0);
  CHECK(kel_fake_vault_seed("ns:b", NULL) == 0);
  CHECK(fv->get(fv->ctx, "ns:a", &value) == 0 && value && strcmp(value, "1") == 0);
  free(value);
  CHECK(fv->search_keys(fv->ctx, "ns:", &keys, &count) == 0 && count == 2);
  while (count > 0) free(keys[--count]);
  free(keys);
  CHECK(kel_fake_vault_calls(0) == 1 && kel_fake_vault_calls(1) == 2);
  CHECK(kel_fake_vault_calls(2) == 1 && kel_fake_vault_calls(3) == -1);
  kel_fake_reset();
  CHECK(kel_fake_vault_calls(1) == 0);
  CHECK(fv->get(fv->ctx, "ns:a", &value) == 1 && value == NULL);
  kelmcat_set_io(NULL);
  kelmcat_shutdown();
}

int main(void) {
  check_configuration();
  check_io_and_vault();
  kelmcat_shutdown();
  if (failures) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("c host: all checks passed\n");
  return 0;
}
