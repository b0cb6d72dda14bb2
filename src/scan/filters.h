// Path filters, file extensions and the video-type test the walk applies to
// every folder and file entry.
#ifndef KELMCAT_SCAN_FILTERS_H
#define KELMCAT_SCAN_FILTERS_H

#include <cstddef>

#include "core/core_internal.h"

// Size of the buffer kel_file_extension fills: extensions of at most 63 bytes.
#define KEL_EXT_BUF 64

// Writes the path without its leading and trailing '/' and '\' into out,
// replacing its content (nothing else is normalised; null gives "").
// Returns 0, or -1 when memory ran out.
int kel_clean_path(const char *path, kel_buf *out);

// Scratch for the cleaned paths of one folder's files: the folder's listing
// path as last given, and in clean the cleaned path of the last file, whose
// first prefix_len bytes are the folder's part, kept while the folder stays
// the same. A zeroed record is empty; kel_file_paths_free frees it.
struct kel_file_paths {
  kel_buf folder;
  kel_buf clean;
  size_t prefix_len;
};

// Writes into paths->clean what kel_clean_path gives for the listing path
// joined with name (with a '/' between them unless the listing path is empty
// or ends with one). Returns 0, or -1 when memory ran out.
int kel_clean_file_path(kel_file_paths *paths, const char *listing_path, const char *name);
void kel_file_paths_free(kel_file_paths *paths);

// 1 when a is not empty and b is a, or b begins with a followed by '/'.
int ancestor_or_equal(const char *a, size_t alen, const char *b, size_t blen);

// Whether the walk takes a cleaned path: 0 under an exclude entry; else 1 when
// the include list is empty, the path lies under an include entry or on the way
// to one; else dflt (the walk passes 1 for folders, 0 for files). Takes the
// state lock: the caller must not hold it.
int kel_path_included(const char *path, int dflt);
// The same for a caller that holds the state lock.
int kel_path_included_locked(const char *path, int dflt);

// Extension of a file name: from its last '.' (not the first byte) to the end,
// at most 63 bytes, ASCII lower-cased, into out[KEL_EXT_BUF]. Returns 1, or 0
// with out = "" when the name has none.
int kel_file_extension(const char *name, char *out);

// 1 when ext is one of the configured video extensions, or of the default table
// when none are configured. Takes the state lock: the caller must not hold it.
int kel_is_video_ext(const char *ext);
// The same for a caller that holds the state lock.
int kel_is_video_ext_locked(const char *ext);

// 1 when the entry carries backend metadata: F_TITLE and F_YEAR, or F_ID.
int kel_item_has_metadata(const kelffa_item *item);

// 1 when the walk categorizes this entry: a file with a real name that carries
// metadata, or has a video extension other than ".m2ts" and a size that is not
// 0 (unknown passes). The path filter is applied separately. Takes the state
// lock: the caller must not hold it.
int kel_is_candidate(const kelffa_item *item);
// The same for a caller that holds the state lock, with the extension of the
// entry's name as kel_file_extension gives it ("" for none).
int kel_is_candidate_locked(const kelffa_item *item, const char *ext);

#endif
