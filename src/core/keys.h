// Stable hash of identity keys and the vault key formats built from it.
#ifndef KELMCAT_CORE_KEYS_H
#define KELMCAT_CORE_KEYS_H

#include <cstddef>
#include <cstdint>

// Prefix shared by every vault key the library writes; also the vault search prefix.
#define KEL_VAULT_NAMESPACE "TALMERON_IMediaKeyVault"
#define KEL_MATCHED_PREFIX "MatchedIMDbId_"
#define KEL_CORRECT_PREFIX "CorrectIMDbId_"

// Namespaced keys are built into 1200-byte buffers. The longest key after the
// user id is "_" plus "MatchedIMDbId_2147483647" (25 bytes), so a user id of
// at most this many bytes always leaves the whole key intact.
#define KEL_MAX_USER_ID (1199 - (sizeof(KEL_VAULT_NAMESPACE "_") - 1) - 25)

// Converts NUL-terminated UTF-8 to UTF-16 code units (no terminator written).
// With units == nullptr only counts. Returns the number of units, or -1 for a
// null text, invalid UTF-8, a count beyond INT32_MAX or, when writing, an array
// of fewer than the needed units (the units written so far stay).
int32_t kel_utf8_to_utf16_units(const char *text, uint16_t *units, uint64_t capacity);

// 31-bit hash over UTF-16 units; hashing stops at the first zero unit.
int32_t kelmcat_stable_hash_utf16(const uint16_t *units, uint64_t n);
// The same hash over the UTF-16 form of a UTF-8 text; 0 for a null or invalid
// text.
int32_t kelmcat_stable_hash_utf8(const char *text);

// Writes "TALMERON_IMediaKeyVault_<user>_<key>" into out[size] (null texts read
// as ""), cut to size - 1 bytes when it does not fit. Returns the full length.
int kel_vault_prefixed_key(char *out, size_t size, const char *user_id, const char *key);

// KELMCAT_OK for a user id of at most KEL_MAX_USER_ID bytes; otherwise records
// "user id too long (%zu > %zu)" and returns KELMCAT_ERR_ARG.
int32_t kel_check_user_id_length(const char *user_id);

#endif
