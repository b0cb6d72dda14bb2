/* The demo scan: a small host written against the public header alone.
 *
 * It selects the built-in fakes (scripted matcher, in-memory folder tree and
 * key/value store), loads the sample library below, scripts what the matching
 * service answers, scans it with progress lines on stderr, and prints the
 * result document on stdout. */
#include <stdio.h>
#include <stdlib.h>

#include "kelmcat.h"

/* A few films (one described by the backend with a title and a year), a TV
 * season, a file the matcher does not know, a file that is not a video, and a
 * folder of extras that the configuration excludes. */
static const char sample_tree[] =
    "{\"name\":\"\",\"children\":["
    " {\"name\":\"Films\",\"children\":["
    "  {\"name\":\"Heat.1995.mkv\",\"size\":7340032000},"
    "  {\"name\":\"alien_1979.avi\",\"size\":1468006400},"
    "  {\"name\":\"rn98.mkv\",\"size\":2202009600,\"title\":\"Ronin\",\"year\":1998},"
    "  {\"name\":\"Holiday 2003.mp4\",\"size\":734003200},"
    "  {\"name\":\"poster.jpg\",\"size\":204800},"
    "  {\"name\":\"Extras\",\"children\":["
    "   {\"name\":\"Making of Heat.mkv\",\"size\":524288000}]}]},"
    " {\"name\":\"TV\",\"children\":["
    "  {\"name\":\"The Expanse\",\"children\":["
    "   {\"name\":\"Season 1\",\"children\":["
    "    {\"name\":\"The.Expanse.S01E01.mkv\",\"size\":1073741824},"
    "    {\"name\":\"The.Expanse.S01E02.mkv\",\"size\":1073741824},"
    "    {\"name\":\"The Expanse 1x03.mkv\",\"size\":1073741824}]}]}]}]}";

static void progress(const char *line, void *user) {
  (void)user;
  fprintf(stderr, "[kelmcat] %s\n", line);
}

static int check(int32_t rc, const char *what) {
  if (rc != KELMCAT_OK) {
    fprintf(stderr, "demo: %s failed (%d): %s\n", what, (int)rc, kelmcat_last_error());
    return 0;
  }
  return 1;
}

int main(void) {
  static const char *const excluded[] = {"Films/Extras"};
  int32_t rc;

  kelmcat_set_logger(progress, NULL);
  if (!check(kelmcat_use_fake(), "kelmcat_use_fake") ||
      !check(kelmcat_fake_load_tree(sample_tree), "kelmcat_fake_load_tree") ||
      !check(kelmcat_set_backend("fake", NULL), "kelmcat_set_backend") ||
      !check(kelmcat_set_matcher_host("https://matcher.example.net"), "matcher host") ||
      !check(kelmcat_set_queue_credential("demo-queue-secret"), "queue credential") ||
      !check(kelmcat_set_vault(kel_fake_vault()), "kelmcat_set_vault") ||
      !check(kelmcat_set_exclude_paths(excluded, 1), "exclude paths") ||
      !check(kelmcat_arm_writes(1), "kelmcat_arm_writes"))
    return 1;

  /* What the matching service knows: lookups go by file name, or by "title
   * year" when the backend reports both. The series is flagged as a TV show,
   * so its files get season and episode from their names. */
  if (!check(kel_fake_set_matcher("Heat.1995.mkv", "tt0113277", 0), "route") ||
      !check(kel_fake_set_matcher("alien_1979.avi", "tt0078748", 0), "route") ||
      !check(kel_fake_set_matcher("Ronin 1998", "tt0122690", 0), "route") ||
      !check(kel_fake_set_tvshow("The.Expanse.S01E01.mkv", "tt3230854"), "route") ||
      !check(kel_fake_set_tvshow("The.Expanse.S01E02.mkv", "tt3230854"), "route") ||
      !check(kel_fake_set_tvshow("The Expanse 1x03.mkv", "tt3230854"), "route"))
    return 1;

  rc = kelmcat_scan("demo-user", "demo-config");
  if (rc != KELMCAT_OK) {
    fprintf(stderr, "demo: scan failed (%d): %s\n", (int)rc, kelmcat_last_error());
    kelmcat_shutdown();
    return 1;
  }
  printf("%s\n", kelmcat_result_json());
  fprintf(stderr, "demo: %d results, %d unmatched, %d vault writes in the fake store\n",
          (int)kelmcat_result_count(), (int)kelmcat_unmatched_count(),
          (int)kel_fake_vault_calls(1));
  kelmcat_shutdown();
  return 0;
}
