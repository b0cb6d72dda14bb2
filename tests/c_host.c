/* A host written in C: includes only the public header and calls the library
 * through the shared object. Each family adds a check function below. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelmcat.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

static void check_version(void) {
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d", KELMCAT_VERSION_MAJOR, KELMCAT_VERSION_MINOR,
           KELMCAT_VERSION_PATCH);
  CHECK(strcmp(text, KELMCAT_VERSION_STRING) == 0);
  CHECK(strcmp(kelmcat_version(), KELMCAT_VERSION_STRING) == 0);
}

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
#ifdef KELMCAT_NO_CURL
  CHECK(kelmcat_use_curl() == KELMCAT_ERR_NO_IO);
  CHECK(strcmp(kelmcat_last_error(), "this build has no libcurl backend (KELMCAT_NO_CURL)") == 0);
#else
  CHECK(kelmcat_use_curl() == KELMCAT_OK);
  kelmcat_set_io(&io);
#endif
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

static void check_service_configuration(void) {
  CHECK(kelmcat_set_service_bases("https://index.example", "http://cat.example") ==
        KELMCAT_ERR_ARG);
  CHECK(strncmp(kelmcat_last_error(), "catalogue base must be https://", 31) == 0);
  CHECK(kelmcat_set_service_bases("https://index.example", "https://cat.example") == KELMCAT_OK);
  CHECK(kelmcat_set_http_options("{\"timeout_ms\":5000,\"user_agent\":\"host/2\"}") == KELMCAT_OK);
  CHECK(kelmcat_set_http_options("{\"timeout\":5000}") == KELMCAT_ERR_ARG);
  CHECK(strcmp(kelmcat_last_error(), "http options: unknown member \"timeout\"") == 0);
  kelmcat_shutdown();
}

static void check_fake_tree(void) {
  const char *tree =
      "{\"name\":\"\",\"children\":[{\"name\":\"Movies\",\"children\":["
      "{\"name\":\"a.mkv\",\"size\":7},{\"name\":\"b.mkv\"}]}]}";
  CHECK(kelffa_fake_set_fault(0, 0) == KELFFA_OK);
  CHECK(kelmcat_fake_load_tree("") == KELMCAT_ERR_ARG);
  CHECK(strcmp(kelmcat_last_error(), "null tree json") == 0);
  CHECK(kelmcat_fake_load_tree(tree) == KELMCAT_OK);
  CHECK(kelffa_open("fake", "{\"page_size\":1}") == KELFFA_OK);
  CHECK(kelffa_list_all("/Movies") == KELFFA_OK);
  CHECK(kelffa_count() == 2);
  CHECK(kelffa_item_size(kelffa_item_at(0)) == 7);
  CHECK(strcmp(kelffa_item_path(kelffa_item_at(1)), "/Movies/b.mkv") == 0);
  CHECK(kelffa_fake_calls(2) == 2 && kelffa_fake_calls(3) == 1);
  {
    const char *loc = kelffa_locator("/Movies/a.mkv");
    CHECK(loc != NULL && strcmp(loc, "fake:///Movies/a.mkv") == 0);
  }
  CHECK(kelffa_fake_set_fault(4, KELFFA_ERR_ACCESS) == KELFFA_OK);
  CHECK(kelffa_get("/Movies", NULL) == KELFFA_ERR_ACCESS);
  CHECK(kelffa_fake_set_fault(0, 0) == KELFFA_OK);
  CHECK(kelffa_fake_calls(4) == 0);
  CHECK(kelffa_fake_set_caps(0x20) == KELFFA_ERR_INVALID_ARG);
  CHECK(kelmcat_use_fake() == KELMCAT_OK);
  kelmcat_shutdown();
  /* The tree outlives shutdown; the registration does not. */
  CHECK(kelffa_open("fake", NULL) == KELFFA_ERR_NO_BACKEND);
  CHECK(kelffa_fake_register() == KELFFA_OK);
  CHECK(kelffa_open("fake", NULL) == KELFFA_OK);
  CHECK(kelffa_list_all("/") == KELFFA_OK && kelffa_count() == 1);
  CHECK(kelffa_fake_load_tree("[]") == KELFFA_ERR_BAD_CONFIG);
  kelmcat_shutdown();
}

/* A two-entry folder served one entry per page by a backend written in C. */
static const char *const c_names[2] = {"a.mkv", "b.mkv"};
static const char *const c_paths[2] = {"/m/a.mkv", "/m/b.mkv"};

static int32_t c_open(void *ctx, const char *config) {
  (void)ctx;
  return strcmp(config, "{}") == 0 ? KELFFA_OK : KELFFA_ERR_BAD_CONFIG;
}

static int32_t c_list(void *ctx, const char *folder, kelffa_page *page) {
  int i = page->cursor ? 1 : 0;
  (void)ctx;
  (void)folder;
  page->items[0].name = c_names[i];
  page->items[0].path = c_paths[i];
  page->items[0].fields = F_SIZE;
  page->items[0].size = 10 + i;
  page->count = 1;
  page->more = i == 0;
  page->next_cursor = i == 0 ? "1" : NULL;
  return *page->cancel ? KELFFA_ERR_CANCELLED : KELFFA_OK;
}

static int32_t c_stat(void *ctx, const char *path, kelffa_item *item) {
  (void)ctx;
  if (strcmp(path, "/m") != 0) return KELFFA_ERR_NOT_FOUND;
  item->name = "m";
  item->path = "/m";
  item->is_folder = 1;
  return KELFFA_OK;
}

static int32_t c_locator(void *ctx, const char *path, char *buf, uint64_t size) {
  (void)ctx;
  snprintf(buf, (size_t)size, "c:%s", path);
  return KELFFA_OK;
}

static void c_close(void *ctx) {
  (void)ctx;
}

static void check_folder_access(void) {
  kelffa_backend b;
  kelffa_item got;
  memset(&b, 0, sizeof b);
  b.struct_size = sizeof b;
  b.id = "c-host";
  b.caps = CAP_STAT;
  b.open = c_open;
  b.list = c_list;
  b.stat = c_stat;
  b.locator = c_locator;
  b.close = c_close;
  kelffa_reset();
  CHECK(sizeof(kelffa_item) == 72 && sizeof(kelffa_page) == 64 && sizeof b == 72);
  CHECK(strcmp(kelffa_version(), "1.0.0") == 0);
  CHECK(kelffa_register(&b) == KELFFA_OK);
  CHECK(kelffa_register(&b) == KELFFA_ERR_INVALID_ARG);
  CHECK(kelffa_backend_count() == 1 && strcmp(kelffa_backend_id(0), "c-host") == 0);
  CHECK(kelffa_backend_caps(0) == (int32_t)CAP_STAT && kelffa_backend_caps(1) == -1);
  CHECK(kelffa_list("/m") == KELFFA_ERR_NOT_OPEN);
  CHECK(strcmp(kelffa_strerror(kelffa_last_code()), "not_open") == 0);
  CHECK(kelffa_open("c-host", NULL) == KELFFA_OK);
  CHECK(kelffa_set_page_size(1) == KELFFA_OK);
  CHECK(kelffa_list("/m") == KELFFA_OK && kelffa_count() == 1 && kelffa_more() == 1);
  CHECK(kelffa_list_next() == 0 && kelffa_count() == 2 && kelffa_rejected() == 0);
  CHECK(kelffa_list_all("/m") == KELFFA_OK && kelffa_count() == 2);
  CHECK(kelffa_item_size(kelffa_item_at(1)) == 11 && kelffa_item_at(2) == NULL);
  CHECK(kelffa_item_has(kelffa_item_at(0), F_SIZE) == 1 &&
        kelffa_item_fields(kelffa_item_at(0)) == 1);
  CHECK(strcmp(kelffa_item_name(kelffa_item_at(0)), "a.mkv") == 0);
  CHECK(kelffa_item_is_folder(kelffa_item_at(0)) == 0 &&
        kelffa_item_mtime_ms(kelffa_item_at(0)) == -1);
  CHECK(strcmp(kelffa_item_title(NULL), "") == 0 && kelffa_item_year(NULL) == 0);
  CHECK(strcmp(kelffa_item_backend_id(NULL), "") == 0 &&
        strcmp(kelffa_item_locator(NULL), "") == 0);
  kelffa_list("/m");
  kelffa_cancel();
  CHECK(kelffa_list_next() == -KELFFA_ERR_CANCELLED);
  memset(&got, 0, sizeof got);
  CHECK(kelffa_get("/m", &got) == KELFFA_OK && got.struct_size == 72 && got.is_folder == 1);
  CHECK(kelffa_got() != NULL && strcmp(kelffa_item_path(kelffa_got()), "/m") == 0);
  CHECK(kelffa_get("/x", NULL) == KELFFA_ERR_NOT_FOUND && kelffa_got() == NULL);
  CHECK(strcmp(kelffa_last_error(), "stat '/x': not_found") == 0);
  CHECK(strcmp(kelffa_result_json(), "{\"backend\":\"c-host\",\"item\":null}") == 0);
  CHECK(kelffa_decode("[{\"name\":\"x\",\"path\":\"/d/x\",\"size\":3},5]") == KELFFA_OK);
  CHECK(kelffa_count() == 1 && kelffa_rejected() == 1 && kelffa_item_size(kelffa_item_at(0)) == 3);
  CHECK(strcmp(kelffa_result_json(),
               "{\"backend\":\"decoded\",\"path\":\"\",\"count\":1,\"more\":false,"
               "\"rejected\":1,\"items\":[{\"name\":\"x\",\"path\":\"/d/x\","
               "\"folder\":false,\"size\":3,\"mtime_ms\":-1}]}") == 0);
  CHECK(kelffa_decode("{}") == KELFFA_ERR_INVALID_ARG && kelffa_count() == 0);
  {
    const char *loc = kelffa_locator("/m/a.mkv");
    CHECK(loc != NULL && strcmp(loc, "c:/m/a.mkv") == 0);
  }
  CHECK(strcmp(kelffa_path_join("/m/", "a.mkv"), "/m/a.mkv") == 0);
  CHECK(kelffa_path_join("/m", "..") == NULL);
  {
    kelffa_item bad;
    memset(&bad, 0, sizeof bad);
    bad.name = "..";
    bad.path = "/m/..";
    CHECK(kelffa_validate_item(&bad, "/m") == KELFFA_ERR_INVALID_ARG);
    CHECK(strcmp(kelffa_last_error(), "item rejected: name is '.' or '..' (cycle)") == 0);
  }
  kelffa_close();
  CHECK(kelffa_count() == 0);
  kelffa_reset();
  CHECK(kelffa_backend_count() == 0 && strcmp(kelffa_last_error(), "") == 0);
}

static void check_keys_and_results(void) {
  char key[64], vkey[25];
  kelmcat_scan_stats st;
  CHECK(kelmcat_derive_key("/Films/a.mkv", 1000, key, sizeof key) == KELMCAT_OK);
  CHECK(strcmp(key, "/Films/a.mkv_1000") == 0);
  CHECK(kelmcat_vault_key(key, vkey, sizeof vkey) == KELMCAT_OK);
  CHECK(strcmp(vkey, "MatchedIMDbId_523603486") == 0);
  CHECK(kelmcat_correction_key(key, vkey, sizeof vkey) == KELMCAT_OK);
  CHECK(strcmp(vkey, "CorrectIMDbId_523603486") == 0);
  CHECK(kelmcat_derive_key(NULL, 0, key, sizeof key) == KELMCAT_ERR_ARG);
  CHECK(strcmp(kelmcat_last_error(), "null path") == 0);

  CHECK(kelmcat_result_count() == 0);
  CHECK(strcmp(kelmcat_result_key(0), "") == 0 && strcmp(kelmcat_result_path(0), "") == 0);
  CHECK(strcmp(kelmcat_result_imdb_id(0), "") == 0 && kelmcat_result_outcome(0) == 0);
  CHECK(kelmcat_result_season(0) == -1 && kelmcat_result_episode(0) == -1);
  CHECK(kelmcat_unmatched_count() == 0 && strcmp(kelmcat_unmatched_name(0), "") == 0);
  memset(&st, 0xAB, sizeof st);
  st.host_word = 42;
  CHECK(kelmcat_stats(&st) == KELMCAT_OK);
  CHECK(st.host_word == 42 && st.walked == 0 && st.depth_max == 0 && st.matcher_calls == 0);
  CHECK(kelmcat_stats(NULL) == KELMCAT_ERR_ARG);
  CHECK(strncmp(kelmcat_result_json(), "{\"results\":[],\"stats\":{\"walked\":0,", 34) == 0);
  CHECK(kelmcat_set_correction(key, "tt0113277") == KELMCAT_ERR_NOT_ARMED);
}

static void check_scan(void) {
  const char *tree =
      "{\"name\":\"\",\"children\":[{\"name\":\"Films\",\"children\":["
      "{\"name\":\"Heat.mkv\",\"size\":5},{\"name\":\"Nope.mkv\",\"size\":6}]}]}";
  kelmcat_shutdown();
  kel_fake_reset();
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_ERR_NO_IO);
  CHECK(kelmcat_use_fake() == KELMCAT_OK);
  CHECK(kelmcat_fake_load_tree(tree) == KELMCAT_OK);
  CHECK(kelmcat_set_backend("fake", NULL) == KELMCAT_OK);
  CHECK(kelmcat_set_matcher_host("https://match.example") == KELMCAT_OK);
  CHECK(kelmcat_set_vault(kel_fake_vault()) == KELMCAT_OK);
  CHECK(kelmcat_set_queue_credential("secret") == KELMCAT_OK);
  CHECK(kel_fake_set_matcher("Heat.mkv", "tt0113277", 0) == KELMCAT_OK);
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_ERR_NOT_ARMED);
  CHECK(kelmcat_arm_writes(1) == KELMCAT_OK);
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_OK);
  CHECK(kelmcat_result_count() == 2 && kelmcat_result_outcome(0) == KELMCAT_OUTCOME_ADDED);
  CHECK(strcmp(kelmcat_result_key(0), "Films/Heat.mkv_5") == 0);
  CHECK(kelmcat_unmatched_count() == 1 && strcmp(kelmcat_unmatched_name(0), "Nope.mkv") == 0);
  CHECK(kel_fake_queue_calls() == 1);
  CHECK(kelmcat_notify_scan_complete("u1", "c1") == KELMCAT_OK && kel_fake_queue_calls() == 2);
  CHECK(kelmcat_notify_scan_complete(NULL, "c1") == KELMCAT_ERR_ARG);
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_OK &&
        kelmcat_result_outcome(0) == KELMCAT_OUTCOME_UNCHANGED);
  kelmcat_cancel();
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_ERR_CANCELLED &&
        kelmcat_last_code() == KELMCAT_ERR_CANCELLED);
  kelmcat_shutdown();
  kel_fake_reset();
}

static int progress_calls = 0;
static int64_t progress_last_walked = -1;

static void on_progress(const kelmcat_progress *p, void *user) {
  (void)user;
  CHECK(p->struct_size == sizeof(kelmcat_progress) && p->folder != NULL);
  CHECK(p->walked >= progress_last_walked);
  progress_last_walked = p->walked;
  ++progress_calls;
}

static void check_scan_reports(void) {
  const char *tree = "{\"name\":\"\",\"children\":[{\"name\":\"a.mkv\",\"size\":1}]}";
  char key[96];
  kelmcat_shutdown();
  kel_fake_reset();
  CHECK(kelmcat_user_correction_key("u1", "abc", key, sizeof key) == KELMCAT_OK);
  CHECK(strcmp(key, "TALMERON_IMediaKeyVault_u1_CorrectIMDbId_1099313834") == 0);
  CHECK(kelmcat_user_vault_key("u1", "abc", key, sizeof key) == KELMCAT_OK);
  CHECK(strcmp(key, "TALMERON_IMediaKeyVault_u1_MatchedIMDbId_1099313834") == 0);
  CHECK(kelmcat_use_fake() == KELMCAT_OK && kelmcat_fake_load_tree(tree) == KELMCAT_OK);
  CHECK(kelmcat_set_backend("fake", NULL) == KELMCAT_OK);
  CHECK(kelmcat_set_matcher_host("https://match.example") == KELMCAT_OK);
  CHECK(kelmcat_set_vault(kel_fake_vault()) == KELMCAT_OK);
  CHECK(kelmcat_arm_writes(1) == KELMCAT_OK);
  CHECK(kelmcat_set_correction_for("u2", "abc", "tt1") == KELMCAT_OK);
  CHECK(kelmcat_set_correction_for(NULL, "abc", "tt1") == KELMCAT_ERR_ARG);
  CHECK(strcmp(kelmcat_last_error(), "null user id") == 0);
  kelmcat_set_progress(on_progress, NULL);
  kelmcat_cancel();
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_ERR_CANCELLED);
  kelmcat_clear_cancel();
  CHECK(kelmcat_scan("u1", "c1") == KELMCAT_OK && kelmcat_result_count() == 1);
  CHECK(progress_calls >= 3); /* the root, the end of each of the two scans */
  kelmcat_set_progress(NULL, NULL);
  kelmcat_shutdown();
  kel_fake_reset();
}

int main(void) {
  check_version();
  check_configuration();
  check_keys_and_results();
  check_io_and_vault();
  check_service_configuration();
  check_fake_tree();
  check_folder_access();
  check_scan();
  check_scan_reports();
  kelmcat_shutdown();
  if (failures) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("c host: all checks passed\n");
  return 0;
}
