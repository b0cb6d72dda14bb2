// What the current listing rejected, for a caller that reports it (the walk).
#ifndef KELMCAT_FFA_REJECTIONS_H
#define KELMCAT_FFA_REJECTIONS_H

#include <cstdint>

// Number of entries the current listing rejected; when there is any, *reason
// gets the first rejection's reason (a constant text) and *name the name of
// the entry it rejected, byte for byte as the backend gave it (possibly cut;
// "" when the entry had none). Both stay valid until the listing changes.
int32_t kelffa__first_rejection(const char **reason, const char **name);

#endif
