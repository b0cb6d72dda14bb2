// The scan driver: one whole scan of the configured backend.
#ifndef KELMCAT_SCAN_SCAN_H
#define KELMCAT_SCAN_SCAN_H

#include <cstdint>

#include "scan/walk_context.h"

// Runs one scan for the user and runtime configuration: the checks, the
// backend session, the preloads, the walk, the summary and the scan-complete
// notification, with results and counters going to out. 0 or a negative
// categorizer code; never throws.
int32_t kel_scan_run(const char *user_id, const char *runtime_config_id,
                     const kel_scan_output *out) noexcept;

#endif
