// File and folder names: the season/episode parser, path cleaning, extensions,
// key derivation, query escaping and path joins on their own, then whole
// scans over a host backend whose listings carry the names.
//
// Input: a flag byte (bit 0 entries carry a backend id, bit 1 title and year,
// bit 2 a path that is the name itself rather than "/" + name, bit 3 correct
// mode), a byte whose bit i makes entry i a folder, then NUL-separated names
// (at most eight entries).
#include <cstring>
#include <string>
#include <vector>

#include "core/core_internal.h"
#include "core/keys.h"
#include "fuzz_common.h"
#include "match/http.h"
#include "match/season_episode.h"
#include "scan/filters.h"

namespace {

struct NameBackend {
  std::vector<std::string> names;
  std::vector<std::string> paths;
  std::vector<std::string> sub_paths;  // built per listing of a subfolder
  unsigned flags = 0;
  unsigned folders = 0;
};

NameBackend *s_nb = nullptr;

int32_t nb_open(void *, const char *) {
  return KELFFA_OK;
}

void fill(kelffa_item *it, const char *name, const char *path, bool folder, unsigned flags) {
  it->name = name;
  it->path = path;
  it->is_folder = folder ? 1 : 0;
  if (!folder) {
    it->fields |= F_SIZE;
    it->size = 1000;
  }
  if (flags & 1u) {
    it->fields |= F_ID;
    it->id = name;
  }
  if (flags & 2u) {
    it->fields |= F_TITLE | F_YEAR;
    it->title = name;
    it->year = 1999;
  }
}

// The root lists the names; a subfolder lists each name again as a file, so
// that the walk goes one level down and no further.
int32_t nb_list(void *, const char *folder, kelffa_page *pg) {
  NameBackend &b = *s_nb;
  bool root = std::strcmp(folder, "/") == 0;
  if (!root) {
    b.sub_paths.clear();
    for (const std::string &n : b.names) b.sub_paths.push_back(std::string(folder) + "/" + n);
  }
  uint64_t n = b.names.size() < pg->cap ? b.names.size() : pg->cap;
  for (uint64_t i = 0; i < n; ++i) {
    const char *path = root ? b.paths[i].c_str() : b.sub_paths[i].c_str();
    fill(&pg->items[i], b.names[i].c_str(), path, root && (b.folders >> i & 1u), b.flags);
  }
  pg->count = n;
  pg->more = 0;
  return KELFFA_OK;
}

int32_t nb_locator(void *, const char *path, char *buf, uint64_t size) {
  if (size == 0) return KELFFA_ERR_INVALID_ARG;
  kel_format(buf, static_cast<size_t>(size), "names:%s", path);
  return KELFFA_OK;
}

void nb_close(void *) {}

// The pure functions over one name.
void one_name(const std::string &name) {
  const char *s = name.c_str();
  int32_t season = 0, episode = 0;
  int32_t found = kel_parse_season_episode(s, &season, &episode);
  FZ_CHECK(found == 0 || found == 1);
  if (found)
    FZ_CHECK(season > 0 && episode > 0);
  else
    FZ_CHECK(season == -1 && episode == -1);

  kel_buf clean{};
  if (kel_clean_path(s, &clean) == 0) {
    FZ_CHECK(clean.data != nullptr && std::strlen(clean.data) == clean.len);
    FZ_CHECK(clean.len <= std::strlen(s));
    if (clean.len) {
      FZ_CHECK(clean.data[0] != '/' && clean.data[0] != '\\');
      FZ_CHECK(clean.data[clean.len - 1] != '/' && clean.data[clean.len - 1] != '\\');
    }
  }
  kel_buf_free(&clean);

  char ext[KEL_EXT_BUF];
  int got = kel_file_extension(s, ext);
  FZ_CHECK(std::strlen(ext) < KEL_EXT_BUF);
  FZ_CHECK(got ? ext[0] == '.' : ext[0] == '\0');
  kel_is_video_ext(ext);

  char key[64], vkey[32], ckey[32];
  int32_t k = kelmcat_derive_key(s, static_cast<int64_t>(name.size()) - 3, key, sizeof key);
  FZ_CHECK(k == KELMCAT_OK || k == KELMCAT_ERR_ARG);
  FZ_CHECK(kelmcat_vault_key(s, vkey, sizeof vkey) == KELMCAT_OK);
  FZ_CHECK(kelmcat_correction_key(s, ckey, sizeof ckey) == KELMCAT_OK);
  FZ_CHECK(std::strncmp(vkey, KEL_MATCHED_PREFIX, std::strlen(KEL_MATCHED_PREFIX)) == 0);
  FZ_CHECK(std::strcmp(vkey + std::strlen(KEL_MATCHED_PREFIX),
                       ckey + std::strlen(KEL_CORRECT_PREFIX)) == 0);

  char *q = kel_query_escape(s);
  FZ_CHECK(q != nullptr);
  for (const char *p = q; *p; ++p)
    FZ_CHECK(
        std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%", *p));
  std::free(q);
  char *r = kel_redact_url(s);
  FZ_CHECK(r != nullptr);
  std::free(r);

  const char *joined = kelffa_path_join("/folder/", s);
  if (joined) FZ_CHECK(std::strncmp(joined, "/folder/", 8) == 0);
  kelffa_path_join(s, "name.mkv");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  NameBackend nb;
  nb.flags = data[0];
  nb.folders = data[1];
  nb.names = fz::split(data + 2, size - 2, 8);
  for (const std::string &n : nb.names) {
    one_name(n);
    nb.paths.push_back((nb.flags & 4u) ? n : "/" + n);
  }

  kelmcat_shutdown();
  s_nb = &nb;
  kelffa_backend b{};
  b.struct_size = sizeof b;
  b.id = "names";
  b.open = nb_open;
  b.list = nb_list;
  b.locator = nb_locator;
  b.close = nb_close;
  FZ_CHECK(kelffa_register(&b) == KELFFA_OK);

  fz::ScriptIO io;
  fz::ScriptVault vault;
  kelmcat_set_io(&io.table);
  FZ_CHECK(kelmcat_set_matcher_host("https://match.test") == KELMCAT_OK);
  FZ_CHECK(kelmcat_set_backend("names", nullptr) == KELMCAT_OK);
  kelmcat_vault t = vault.table();
  FZ_CHECK(kelmcat_set_vault(&t) == KELMCAT_OK);
  FZ_CHECK(kelmcat_set_queue_credential("secret") == KELMCAT_OK);
  kelmcat_arm_writes(1);
  kelmcat_set_correct_mode(nb.flags & 8u);
  // The names as filters too.
  std::vector<const char *> filters;
  for (const std::string &n : nb.names) filters.push_back(n.c_str());
  if (nb.flags & 16u)
    kelmcat_set_include_paths(filters.data(), static_cast<int32_t>(filters.size()));
  if (nb.flags & 32u) kelmcat_set_exclude_paths(filters.data(), 1);
  if (nb.flags & 64u) kelmcat_set_walk_root(nb.names[0].c_str());

  int32_t rc = kelmcat_scan("u1", "c1");
  FZ_CHECK(rc <= 0 && rc >= KELMCAT_ERR_OOM);
  fz::read_scan_results();
  for (int32_t i = 0; i < kelmcat_result_count(); ++i)
    FZ_CHECK(kelmcat_set_correction(kelmcat_result_key(i), "tt0000002") <= 0);
  kelmcat_shutdown();
  s_nb = nullptr;
  return 0;
}
