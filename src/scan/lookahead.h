// The walk's look-ahead over a folder's listing: while one file is being
// categorized, the files after it that will need the matching service are
// found (path filters, the add-new-only set and correct mode applied, and
// their correction read from the vault), and their lookups are requested
// ahead through the built-in client. The categorization then takes each
// correction that was read ahead instead of reading it again, and the
// client's answers in the order it asks for them, so the scan's results are
// those of one request at a time.
#ifndef KELMCAT_SCAN_LOOKAHEAD_H
#define KELMCAT_SCAN_LOOKAHEAD_H

#include <cstdint>

#include "scan/walk_context.h"

// Starts the look-ahead of a scan when its requests go through the built-in
// client with more than one in flight. Null otherwise (also when memory runs
// out): the scan then runs one request at a time, as without it.
kel_lookahead *kel_lookahead_open(void);
// Ends it: requests in flight are aborted, everything read ahead is freed.
void kel_lookahead_close(kel_lookahead *la);

// Before the file pass hands the entry at index of the current listing to the
// categorization: prepares the entries from there on, as far as the window
// allows, and moves the requests in flight on without waiting.
void kel_lookahead_before(kel_walk *w, int32_t index, const char *listing_path);
// After a folder's file pass, however it ended: forgets what was prepared and
// aborts the requests made for it.
void kel_lookahead_folder_end(kel_walk *w);

// The vault's answer for the correction key of the file being categorized,
// when the look-ahead read it: true with *answer and *value (malloc'ed or
// null; the caller frees it) as the vault's get gave them.
bool kel_lookahead_correction(kel_walk *w, const char *vault_key, int32_t *answer, char **value);

#endif
