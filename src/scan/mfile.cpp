// The media file record: building it for a file, its vault JSON text, reading
// a stored text back and merging a new record into a stored one. Other
// programs read these texts, so member names, order and types are fixed.
#include "scan/mfile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/core_internal.h"

namespace {

char *copy_view(std::string_view v) {
  return kel_strndup(v.data(), v.size());
}

// Frees one of m's texts unless it lives in the record's shared block (the
// offset of a text before the block wraps round to a large one).
void free_text(const mfile *m, char *text) {
  if (!text) return;
  uintptr_t at = reinterpret_cast<uintptr_t>(text), start = reinterpret_cast<uintptr_t>(m->block);
  if (!m->block || at - start >= m->block_size) std::free(text);
}

bool replace(mfile *m, char **field, const char *value) {
  char *copy = kel_strdup(value);
  free_text(m, *field);
  *field = copy;
  return copy || !value;
}

// The record's member names.
constexpr kj::Name kKey("Key"), kImdbId("IMDbID"), kParentKey("ParentKey"), kFileName("FileName"),
    kRuntimeConfigId("RuntimeConfigID"), kPath("Path"), kSize("Size"), kSeason("Season"),
    kEpisode("Episode"), kRequiredVerify("RequiredVerify"), kExtension("Extension");
static_assert(kKey.plain() && kImdbId.plain() && kParentKey.plain() && kFileName.plain() &&
                  kRuntimeConfigId.plain() && kPath.plain() && kSize.plain() && kSeason.plain() &&
                  kEpisode.plain() && kRequiredVerify.plain() && kExtension.plain(),
              "record member names are written without escaping");

void write_str(kj::Writer &w, kj::Name name, const char *value) {
  if (!value) return;
  w.key(name);
  w.str(value);
}

// A member that is an integer: its low 32 bits, signed.
void read_int32(kj::Val v, int32_t *field) {
  if (!v.is_int()) return;
  uint64_t bits = v.is_sint() ? static_cast<uint64_t>(v.get_sint()) : v.get_uint();
  *field = static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

bool mfile_init_new(mfile *m, const char *name, const char *extension, const char *config_id,
                    int64_t size) {
  *m = mfile{};
  m->file_name = kel_strdup(name);
  m->path = kel_strdup("");
  m->extension = kel_strdup(extension);
  m->runtime_config_id = kel_strdup(config_id);
  m->size = size >= 0 ? size : -1;
  m->season = -1;
  m->episode = -1;
  m->required_verify = -1;
  return m->file_name && m->path && (m->extension || !extension) &&
         (m->runtime_config_id || !config_id);
}

void mfile_free(mfile *m) {
  if (!m) return;
  free_text(m, m->imdb_id);
  free_text(m, m->file_name);
  free_text(m, m->path);
  free_text(m, m->extension);
  free_text(m, m->runtime_config_id);
  free_text(m, m->parent_key);
  if (m->block) std::free(m->block);
  *m = mfile{};
}

char *mfile_json(const mfile *m, const char *key) {
  if (!m) return nullptr;
  try {
    kj::Writer w;
    w.start_obj();
    w.key(kKey);
    w.str(key ? key : "");
    write_str(w, kImdbId, m->imdb_id);
    write_str(w, kParentKey, m->parent_key);
    write_str(w, kFileName, m->file_name);
    write_str(w, kRuntimeConfigId, m->runtime_config_id);
    write_str(w, kPath, m->path);
    if (m->size >= 0) {
      w.key(kSize);
      w.sint(m->size);
    }
    if (m->season >= 0) {
      w.key(kSeason);
      w.sint(m->season);
    }
    if (m->episode >= 0) {
      w.key(kEpisode);
      w.sint(m->episode);
    }
    if (m->required_verify >= 0) {
      w.key(kRequiredVerify);
      w.boolean(m->required_verify == 1);
    }
    write_str(w, kExtension, m->extension);
    w.end_obj();
    if (!w.ok()) return nullptr;
    return copy_view(w.text());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

std::optional<std::string_view> j_str(kj::Val obj, std::string_view name) {
  kj::Val v = obj.get(name);  // an invalid handle unless obj is an object with that member
  if (!v.is_str()) return std::nullopt;
  return v.str();
}

bool mfile_read_stored(mfile *s, const char *text) {
  kj::Doc doc;
  bool whole = true;
  try {
    if (text) doc.parse(text, std::strlen(text));
  } catch (const std::bad_alloc &) {
    whole = false;
  }
  return mfile_read_stored_root(s, doc.root()) && whole;
}

bool mfile_read_stored_root(mfile *s, kj::Val root) {
  *s = mfile{};
  s->season = -1;
  s->episode = -1;
  s->required_verify = -1;
  if (!root.is_obj()) return true;
  static constexpr std::string_view names[] = {"IMDbID",    "FileName",        "Path",
                                               "Extension", "RuntimeConfigID", "ParentKey",
                                               "Season",    "Episode",         "RequiredVerify"};
  kj::Val v[9];
  root.get_many(names, 9, v);
  char **texts[] = {&s->imdb_id,   &s->file_name,         &s->path,
                    &s->extension, &s->runtime_config_id, &s->parent_key};
  // The texts go into one block, each followed by its NUL.
  std::string_view t[6];
  bool has[6];
  size_t total = 0;
  for (int i = 0; i < 6; ++i) {
    has[i] = v[i].is_str();
    t[i] = v[i].str();
    if (has[i]) total += t[i].size() + 1;
  }
  bool whole = true;
  if (total > 0) {
    s->block = static_cast<char *>(std::malloc(total));
    if (s->block) {
      s->block_size = total;
      char *at = s->block;
      for (int i = 0; i < 6; ++i) {
        if (!has[i]) continue;
        std::memcpy(at, t[i].data(), t[i].size());
        at[t[i].size()] = '\0';
        *texts[i] = at;
        at += t[i].size() + 1;
      }
    } else {
      whole = false;
    }
  }
  read_int32(v[6], &s->season);
  read_int32(v[7], &s->episode);
  if (v[8].is_bool()) s->required_verify = v[8].is_true() ? 1 : 0;
  return whole;
}

bool mfile_merge(mfile *s, const mfile *n, const char *config_id) {
  bool whole = true;
  s->size = n->size;
  if (n->imdb_id && *n->imdb_id) whole = replace(s, &s->imdb_id, n->imdb_id);
  if (n->season >= 0) s->season = n->season;
  if (n->episode >= 0) s->episode = n->episode;
  whole = replace(s, &s->runtime_config_id, config_id) && whole;
  if (n->required_verify == 0) s->required_verify = 0;
  return whole;
}
