// The media file record the walk stores in the vault under a file's
// matched-id key, its JSON text, and reading a stored text back.
#ifndef KELMCAT_SCAN_MFILE_H
#define KELMCAT_SCAN_MFILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/json.h"

// Texts are heap copies owned by the record, or null (absent). The texts
// read from a stored record share one heap block, `block`; any other text is
// a heap block of its own.
struct mfile {
  char *imdb_id;            // "IMDbID"
  char *file_name;          // "FileName": the name as listed
  char *path;               // "Path": "" in new records
  char *extension;          // "Extension": lower-cased, with its dot
  char *runtime_config_id;  // "RuntimeConfigID"
  char *parent_key;         // "ParentKey": only carried over from a stored record
  int64_t size;             // "Size"; -1 unknown
  int32_t season;           // "Season"; -1 none
  int32_t episode;          // "Episode"; -1 none
  int32_t required_verify;  // "RequiredVerify"; -1 not set, 0 false, 1 true
  char *block;              // the stored texts' shared block, or null
  size_t block_size;
};

// Fills a fresh record for a listed file: file_name, path "", extension (null
// when none), runtime_config_id, size (-1 when negative); no IMDb id, parent key,
// season, episode or verification flag. False when a copy could not be made
// (that text stays null): such a record must not be stored.
bool mfile_init_new(mfile *m, const char *name, const char *extension, const char *config_id,
                    int64_t size);

// Frees the texts and zeroes every field (texts null, numbers 0).
void mfile_free(mfile *m);

// The compact JSON text of the record with "Key" first, members in their fixed
// order, absent ones left out. Returns a malloc'ed text the caller frees, or
// null when it cannot be written (a text that is not valid UTF-8, no memory).
char *mfile_json(const mfile *m, const char *key);

// The value of the first member of that name when it is a string; nothing when
// obj is not an object, has no such member, or the first one is not a string.
std::optional<std::string_view> j_str(kj::Val obj, std::string_view name);

// Reads a value stored under a matched-id key into *s, which it overwrites
// (free it first if it held anything). Starts from texts null, size 0, season,
// episode and verification flag -1; a text that is not a JSON object leaves it
// there. Size is not read: the merge replaces it. False when memory ran out
// (for the parse or the block of texts): *s then lacks what could not be read.
bool mfile_read_stored(mfile *s, const char *text);
// The same for a value already parsed (an invalid handle reads as "not JSON").
bool mfile_read_stored_root(mfile *s, kj::Val root);

// Lays the new record n over the stored one s, in place: size always, IMDb id
// when n's is not empty, season and episode when n's are 0 or more, the runtime
// configuration id always (from config_id), the verification flag when n's is
// 0. Name, path, extension and parent key keep the stored values. False when a
// copy could not be made: s then lacks that text.
bool mfile_merge(mfile *s, const mfile *n, const char *config_id);

#endif
