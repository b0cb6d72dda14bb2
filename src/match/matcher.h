// Client of the media-index, matching and catalogue services: the per-scan
// corrections table and indexed set, the title lookup and the movie check.
// The per-scan tables have no lock; only the scanning thread touches them.
#ifndef KELMCAT_MATCH_MATCHER_H
#define KELMCAT_MATCH_MATCHER_H

#include <cstdint>

// Frees the corrections table and the indexed set (both become empty).
void kel_matcher_state_reset(void);

// Replaces both per-scan tables by the user's corrections from the media-index
// service (the indexed set is emptied too). Returns 0, the result of
// kel_http_get unchanged, KELMCAT_ERR_HTTP when the body is not a JSON object,
// or KELMCAT_ERR_OOM (pairs loaded so far stay). Odd members become warnings.
int32_t kel_corrections_load(void);

// The IMDb id of the first correction whose key (decimal stable hash of a file
// key) equals key, or null. The text belongs to the table and stays valid until
// the next reset or load. Constant time on average.
const char *kel_corrections_get(const char *key);

// Replaces the indexed set by the file keys the media-index service lists for
// the user and runtime configuration (null ids count as ""). Returns 0, the
// result of kel_http_get unchanged, KELMCAT_ERR_HTTP when the body is not a
// JSON array, KELMCAT_ERR_ARG when the ids do not fit the request URL, or
// KELMCAT_ERR_OOM (entries loaded so far stay).
int32_t kel_find_indexed(const char *user_id, const char *runtime_id);

// 1 when key is in the indexed set, 0 otherwise (also for null). Constant time
// on average.
int32_t kel_indexed_has(const char *key);

// Looks the name up on the matching service. On success *imdb_id receives a
// malloc'ed id (the caller frees it) and *is_tv (when given) 1, 0, or -1 when
// the answer did not say. Otherwise *imdb_id is null and *is_tv -1; results:
// KELMCAT_ERR_NO_MATCH (404, or no usable "imDbId"), KELMCAT_ERR_MATCHER_DOWN
// (transport failure or 5xx), KELMCAT_ERR_HTTP, KELMCAT_ERR_ARG (empty name),
// KELMCAT_ERR_NO_IO, KELMCAT_ERR_OOM.
int32_t kel_match_file(const char *name, int32_t *is_tv, char **imdb_id);

// Asks the catalogue service whether imdb_id is a movie. *is_movie is 1 unless
// a 2xx answer does not begin with "true". Results: 0, KELMCAT_ERR_ARG (empty
// or over-long id), KELMCAT_ERR_MATCHER_DOWN (transport failure or 5xx),
// KELMCAT_ERR_HTTP, KELMCAT_ERR_NO_IO, KELMCAT_ERR_OOM.
int32_t kel_is_movie(const char *imdb_id, int32_t *is_movie);

// The URL kel_match_file requests for name. False when the name is empty, no
// matcher host is set or memory runs out.
bool kel_lookup_url(const char *name, char (&url)[1024]);
// For a lookup answered with a 2xx status and body: true, with the URL of the
// movie check kel_is_movie then requests, when kel_match_file succeeds on that
// body and the answer does not flag a series. Sets no message.
bool kel_lookup_followup_url(const char *body, char (&url)[512]);

#endif
