// The disk backend's table, for the kit's own tests: they call its operations
// directly, as the folder-access layer does.
#ifndef KELMCAT_HOST_DISK_INTERNAL_H
#define KELMCAT_HOST_DISK_INTERNAL_H

#include "kelmcat.h"

// The table kelhost_disk_register() registers.
const kelffa_backend *kelhost__disk_backend();

#endif
