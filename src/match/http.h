// HTTP dispatch, query escaping, URL redaction and the built-in fake IO: what
// the matcher client and the notification may call.
#ifndef KELMCAT_MATCH_HTTP_H
#define KELMCAT_MATCH_HTTP_H

#include "core/core_internal.h"
#include "kelmcat.h"

// Base URLs of the two remote services besides the matching service (whose
// base is configured with kelmcat_set_matcher_host). No trailing slash: the
// request paths ("/api/...") are appended to them.
#define KEL_MEDIA_INDEX_BASE "https://mediaindex.example.net"
#define KEL_CATALOGUE_BASE "https://catalogue.example.net"

// One GET through the installed IO table (host table or built-in fake).
// On a 2xx answer the body, read up to its first NUL, is appended to out
// (when out is not null; a null body leaves out holding the empty text).
// Returns KELMCAT_OK, KELMCAT_ERR_NO_IO (message set), KELMCAT_ERR_TRANSPORT
// (message "transport: ..."), KELMCAT_ERR_HTTP for a status below 200 or from
// 300 to 499, KELMCAT_ERR_MATCHER_DOWN for 500 and above (no message for
// these two), or KELMCAT_ERR_OOM when out cannot grow (no message).
// Every request that reaches a table records the status as the last HTTP
// code and the redacted url as the last URL. Never call with the state lock held.
int kel_http_get(const char *url, kel_buf *out);

// Percent-escapes every byte except A-Z a-z 0-9 - . _ ~ as "%XX" (upper-case
// hex). Returns a malloc'ed text (free with free()), or null when text is null
// or memory runs out.
char *kel_query_escape(const char *text);

// A malloc'ed copy of url with the value of every "password=", "code=",
// "apikey=" and "api_key=" parameter replaced by "***". A null url gives "".
// Null only when memory runs out entirely.
char *kel_redact_url(const char *url);

// The built-in fake IO table (static, built on the first call).
const kelmcat_io *kel_fake_io(void);

// Selects the built-in fake IO (IO kind 1) under the state lock. Takes the lock.
void kel_select_fake_io(void);

// Frees every scripted answer, the fault, the canned bodies and the fake
// store, and sets every counter to 0. Does not take the state lock.
void kel_fake_state_clear(void);

#endif
