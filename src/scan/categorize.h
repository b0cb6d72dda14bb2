// The categorization of one listed file entry.
#ifndef KELMCAT_SCAN_CATEGORIZE_H
#define KELMCAT_SCAN_CATEGORIZE_H

#include <cstdint>

#include "kelmcat.h"
#include "scan/walk_context.h"

// Categorizes one listed file entry of the folder listed under listing_path.
// 0 to go on with the next entry (also for skipped files), or a negative code
// that ends the walk.
int32_t kel_categorize_file(kel_walk *w, const kelffa_item *entry, const char *listing_path);

#endif
