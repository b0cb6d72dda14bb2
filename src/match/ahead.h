// Requests made ahead of time on the scanning thread through the built-in
// client: the title lookups of the files a scan will categorize next, and the
// movie checks their answers call for, several in flight at once. The answers
// wait until the scan asks for exactly that URL through kel_http_get, which
// then reports them as if the request had been made at that moment (last
// HTTP code, last URL, messages), so a scan decides exactly what it would
// decide one request at a time.
//
// Everything here belongs to the thread that started it; other threads see
// no look-ahead at all.
#ifndef KELMCAT_MATCH_AHEAD_H
#define KELMCAT_MATCH_AHEAD_H

#include <cstdint>

// Starts the look-ahead on this thread when requests go through the built-in
// client and "max_concurrent" is above 1. False (nothing started) otherwise,
// also when libcurl or memory fails: requests are then made one at a time.
bool kel_ahead_start(void);
// Aborts every request still in flight, frees every answer not asked for and
// ends the look-ahead on this thread. Harmless when none was started.
void kel_ahead_stop(void);
// True when the look-ahead runs on this thread.
bool kel_ahead_active(void);
// True while fewer files have requests pending than "max_concurrent" allows.
bool kel_ahead_has_room(void);
// Queues the lookup of name, as kel_match_file will request it, for the next
// file; when its answer arrives, the movie check it calls for follows. Nothing
// happens when the URL cannot be made or the built-in client is no longer the
// IO.
void kel_ahead_lookup(const char *name);
// Starts queued requests and collects finished ones, without waiting.
void kel_ahead_pump(void);
// Aborts and forgets every request queued or in flight (the files they were
// made for will not be asked about).
void kel_ahead_drop(void);

// Installed into kel_http_get while the look-ahead runs: the answer to url, waited for if
// it is still in flight, or requested now alongside the others when it was
// not asked for ahead. True with rc (0, -1 or KEL_CURL_CANCELLED), status,
// body and error filled as the IO table's http_get fills them (body and
// error malloc'ed); false when no look-ahead runs on this thread or the
// request cannot be made here (the caller then makes it itself).
bool kel_ahead_take(const char *url, int32_t *rc, char **body, int32_t *status, char **error);

#endif
