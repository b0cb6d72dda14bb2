// The scan-complete notification sent to the catalogue's message queue.
#ifndef KELMCAT_MATCH_NOTIFY_H
#define KELMCAT_MATCH_NOTIFY_H

#include <cstdint>

// Tells the catalogue's queue that the index of user_id / runtime_id is complete
// (null ids count as ""). Returns KELMCAT_ERR_ARG when no credential is set or
// the request would not fit its URL, KELMCAT_ERR_OOM when the message cannot be built
// (also for ids that are not valid UTF-8), else exactly what kel_http_get
// returns. Never call with the state lock held.
int32_t kel_notify_scan_complete(const char *user_id, const char *runtime_id);

#endif
