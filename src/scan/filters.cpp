// Path filters and video types. Comparisons are byte-wise and case-sensitive;
// '/' is the only separator the ancestry test knows.
#include "scan/filters.h"

#include <cstring>
#include <mutex>
#include <string_view>

#include "core/path.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

inline bool is_sep(char c) {
  return c == '/' || c == '\\';
}

// The cleaned form of a path as a view into it.
std::string_view clean_view(const char *path) {
  if (!path) return {};
  const char *b = path;
  while (is_sep(*b)) ++b;
  const char *e = b + std::strlen(b);
  while (e > b && is_sep(e[-1])) --e;
  return std::string_view(b, static_cast<size_t>(e - b));
}

bool matches_any_locked(const kel_strlist &list, std::string_view path, bool on_the_way) {
  for (int32_t i = 0; i < list.count; ++i) {
    std::string_view e = clean_view(list.items[i]);
    if (ancestor_or_equal(e.data(), e.size(), path.data(), path.size())) return true;
    // The path is a folder above the entry: walking it leads there.
    if (on_the_way && !e.empty() && path.size() < e.size() &&
        e.compare(0, path.size(), path) == 0 && e[path.size()] == '/')
      return true;
  }
  return false;
}

}  // namespace

int kel_clean_path(const char *path, kel_buf *out) {
  if (!out) return -1;
  std::string_view v = clean_view(path);
  if (path && out->data && path >= out->data && path < out->data + out->cap) {
    // The path lives in the buffer itself: clean it in place.
    std::memmove(out->data, v.data(), v.size());
    out->data[v.size()] = '\0';
    out->len = v.size();
    return 0;
  }
  if (kel_buf_add(out, nullptr, 0) != 0) return -1;
  if (v.empty()) return 0;
  return kel_buf_add(out, v.data(), v.size());
}

int kel_clean_file_path(kel_file_paths *paths, const char *listing_path, const char *name) {
  const char *lp = listing_path ? listing_path : "";
  kel_buf &folder = paths->folder;
  kel_buf &clean = paths->clean;
  bool same_folder =
      folder.data && std::strncmp(lp, folder.data, folder.len) == 0 && lp[folder.len] == '\0';
  if (!same_folder) {
    // The folder's part of every cleaned path: the listing path and its '/',
    // without leading separators.
    size_t len = std::strlen(lp);
    size_t lead = 0;
    while (lead < len && is_sep(lp[lead])) ++lead;
    bool slash = len > 0 && lp[len - 1] != '/';
    if (kel_buf_add(&folder, nullptr, 0) != 0 || kel_buf_add(&folder, lp, len) != 0 ||
        kel_buf_add(&clean, nullptr, 0) != 0 || kel_buf_add(&clean, lp + lead, len - lead) != 0 ||
        (slash && lead < len && kel_buf_add(&clean, "/", 1) != 0)) {
      kel_buf_free(&folder);  // nothing half-built is taken for this folder later
      return -1;
    }
    paths->prefix_len = clean.len;
  }
  clean.len = paths->prefix_len;
  clean.data[clean.len] = '\0';
  // Separators at the start of the joined path are dropped, also into the name.
  const char *n = name ? name : "";
  if (clean.len == 0)
    while (is_sep(*n)) ++n;
  if (*n && kel_buf_add(&clean, n, std::strlen(n)) != 0) return -1;
  while (clean.len > 0 && is_sep(clean.data[clean.len - 1])) --clean.len;
  clean.data[clean.len] = '\0';
  // A name of separators only cut into the folder's part: build it anew next time.
  if (clean.len < paths->prefix_len) kel_buf_free(&folder);
  return 0;
}

void kel_file_paths_free(kel_file_paths *paths) {
  kel_buf_free(&paths->folder);
  kel_buf_free(&paths->clean);
  paths->prefix_len = 0;
}

int ancestor_or_equal(const char *a, size_t alen, const char *b, size_t blen) {
  if (alen == 0 || blen < alen || std::memcmp(a, b, alen) != 0) return 0;
  return blen == alen || b[alen] == '/';
}

int kel_path_included(const char *path, int dflt) {
  Guard g(g_st.lock);
  return kel_path_included_locked(path, dflt);
}

int kel_path_included_locked(const char *path, int dflt) {
  std::string_view p(path ? path : "");
  if (matches_any_locked(g_st.exclude_paths, p, false)) return 0;
  if (g_st.include_paths.count <= 0) return 1;
  if (matches_any_locked(g_st.include_paths, p, true)) return 1;
  return dflt;
}

int kel_file_extension(const char *name, char *out) {
  out[0] = '\0';
  if (!name) return 0;
  // Only a last '.' within the last KEL_EXT_BUF - 1 bytes starts an extension
  // short enough, so the search stops there.
  size_t len = std::strlen(name);
  size_t lowest = len > KEL_EXT_BUF - 1 ? len - (KEL_EXT_BUF - 1) : 0;
  size_t end = len;
  while (end > lowest && name[end - 1] != '.') --end;
  if (end == lowest) return 0;  // no '.' in reach: none, or one too far back
  size_t dot = end - 1;
  if (dot == 0) return 0;
  size_t n = len - dot;
  for (size_t i = 0; i < n; ++i) {
    char c = name[dot + i];
    out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  out[n] = '\0';
  return 1;
}

int kel_is_video_ext(const char *ext) {
  Guard g(g_st.lock);
  return kel_is_video_ext_locked(ext);
}

int kel_is_video_ext_locked(const char *ext) {
  if (!ext || !*ext) return 0;
  const kel_strlist &list = g_st.video_extensions;
  if (list.count > 0) {
    for (int32_t i = 0; i < list.count; ++i)
      if (std::strcmp(list.items[i], ext) == 0) return 1;
    return 0;
  }
  for (const char *t : s_video_types)
    if (std::strcmp(t, ext) == 0) return 1;
  return 0;
}

int kel_item_has_metadata(const kelffa_item *item) {
  return kelffa_item_has(item, F_TITLE | F_YEAR) || kelffa_item_has(item, F_ID);
}

int kel_is_candidate(const kelffa_item *item) {
  char ext[KEL_EXT_BUF];
  kel_file_extension(item ? kelffa_item_name(item) : nullptr, ext);
  Guard g(g_st.lock);
  return kel_is_candidate_locked(item, ext);
}

int kel_is_candidate_locked(const kelffa_item *item, const char *ext) {
  if (!item || kelffa_item_is_folder(item) != 0) return 0;
  const char *name = kelffa_item_name(item);
  if (!*name || kel_is_dot_name(name)) return 0;
  if (kel_item_has_metadata(item)) return 1;
  if (!*ext || !kel_is_video_ext_locked(ext) || std::strcmp(ext, ".m2ts") == 0) return 0;
  return kelffa_item_size(item) != 0;
}
