// Folder-access layer: what the layer's own files and the fake tree backend
// may call besides the public kelffa_* functions. Its files depend one way:
// error and item at the bottom, then the registry and the stored results
// (listed entries, stat result, result texts), then the session, and the
// listing, stat and listing JSON on top of the session.
#ifndef KELMCAT_FFA_INTERNAL_H
#define KELMCAT_FFA_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "core/buf.h"
#include "core/utf8.h"
#include "kelmcat.h"

#define KELFFA_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Sizes of the records as this version knows them.
constexpr uint32_t KELFFA_ITEM_V1_SIZE = 72;
constexpr uint32_t KELFFA_PAGE_V1_SIZE = 64;
constexpr uint32_t KELFFA_BACKEND_V1_SIZE = 72;
// Longest folder path a listing accepts, and longest joined path.
constexpr size_t KELFFA_PATH_MAX = 4096;

// ---- Last error ------------------------------------------------------------

// Formats the message (cut UTF-8-safely to 1023 bytes) as the layer's last error
// with that code and returns the code. Code 0 records a warning. The arguments
// may point into the current message.
int32_t kelffa__fail(int32_t code, const char *fmt, ...) KELFFA_PRINTF(2, 3);
// Empties the message and sets the code to 0.
void kelffa__clear_error();
// Number of kelffa__fail calls so far; lets a caller tell whether a message was
// recorded while it had called out (to a backend).
uint64_t kelffa__fail_seq();

// Maps the code a backend operation returned. 0 stays 0. A code outside 0..10
// becomes KELFFA_ERR_TRANSPORT with "backend <op> returned out-of-taxonomy code
// <rc>". Any other failure keeps the message the backend recorded with that
// code during the call (kelffa__fail ran after fail_seq_before was taken);
// otherwise the operation's own message (fmt, ...) is recorded with the code.
int32_t kelffa__backend_result(int32_t rc, uint64_t fail_seq_before, const char *op,
                               const char *fmt, ...) KELFFA_PRINTF(4, 5);
// True when a backend's code lies outside the taxonomy (compared as unsigned).
inline bool kelffa__out_of_taxonomy(int32_t rc) {
  return static_cast<uint32_t>(rc) > 10u;
}

// ---- Registry (the backend table) -----------------------------------------

// Slot of the backend registered under id (byte-wise comparison), or -1.
int32_t kelffa__slot(const char *id);
// The stored table in a slot below the backend count.
const kelffa_backend *kelffa__backend_at(int32_t slot);
// The stored table registered under id, or NULL.
const kelffa_backend *kelffa__find(const char *id);
// Frees the id copy of a slot and closes the gap; later slots move down by one.
void kelffa__registry_remove(int32_t slot);
// Frees every id copy and empties the table.
void kelffa__registry_clear();

// ---- Session (the open backend and the cancel flag) ------------------------

// The stored table of the open session, or NULL when none is open.
const kelffa_backend *kelffa__session();
// Removes a backend (closing it first when it is the open session). 0 when one
// was removed, KELFFA_ERR_NO_BACKEND for a NULL or unknown id. Records nothing.
int32_t kelffa__unregister(const char *id);

// The cancel flag. kelffa_cancel raises it from any thread; these read and clear
// it with relaxed atomic accesses.
int kelffa__cancelled();
void kelffa__cancel_clear();
// Address handed to backends in kelffa_page.cancel.
const volatile int32_t *kelffa__cancel_flag();

// ---- Items -----------------------------------------------------------------

// 1 when s is well-formed UTF-8 (RFC 3629) up to its terminator; 0 when not or
// for NULL.
int kelffa__utf8_valid(const char *s);
// Checks a record: listing mode (stat_mode 0; folder may be NULL to skip the
// self-loop test) or stat mode. Returns 1 when it passes; else 0 and, when
// reason is not NULL, a constant reason text there. Records nothing.
int kelffa__validate(const kelffa_item *item, const char *folder, int stat_mode,
                     const char **reason);
// A listed folder as the self-loop test compares it: the text and its length
// without trailing slashes; a NULL path skips the test.
struct kelffa__folder {
  const char *path;
  size_t len;
};
kelffa__folder kelffa__folder_of(const char *folder);
// Lengths of a record's texts (0 for a text the record does not carry).
struct kelffa__text_lengths {
  size_t name, path, title, id, locator;
};
// kelffa__validate in listing mode, with the folder measured beforehand: the
// reason the record is rejected for, or NULL when it passes; then *len holds
// the lengths of its texts.
const char *kelffa__listing_fault(const kelffa_item *item, const kelffa__folder &folder,
                                  kelffa__text_lengths *len);
// A fresh record, as handed to a backend.
void kelffa__item_fresh(kelffa_item *item);
// Deep copy of a validated record (strings only where their bit is set, fields
// masked to 0x3F). 0 or KELFFA_ERR_OOM; on failure dst is all zero.
int32_t kelffa__item_copy(kelffa_item *dst, const kelffa_item *src);
// Frees the strings of a stored record and zeroes every byte of it.
void kelffa__item_free(kelffa_item *item);
// The same copy of a record that passed kelffa__listing_fault (len: the
// lengths it measured) with all its strings in one run of bytes that
// take(ctx, bytes) hands out (null: no memory); the record does not own them,
// and a name that ends the path points into the path's copy. 0 or
// KELFFA_ERR_OOM; on failure dst is all zero.
int32_t kelffa__item_copy_packed(kelffa_item *dst, const kelffa_item *src,
                                 const kelffa__text_lengths &len,
                                 char *(*take)(void *ctx, size_t bytes), void *ctx);

// ---- Listed entries ------------------------------------------------------

// Drops the current listing (entries, path, cursor, counters, label); the
// entry array keeps its size for the next listing.
void kelffa__listing_clear();
// The same, and frees the entry array (when the session ends).
void kelffa__listing_release();
// Starts a continuable listing of a folder (the malloc'ed path is taken over)
// for the backend with that id (a text that outlives the listing).
void kelffa__listing_begin(char *owned_path, const char *label);
// Validates one entry against the listed folder and appends a copy, or counts it
// as rejected with the warning "rejected entry: <reason>". 0 or KELFFA_ERR_OOM.
int32_t kelffa__listing_take(const kelffa_item *entry, const kelffa__folder &folder);
// Marks the (just cleared) listing as decoded: label "decoded", listed path =
// the given malloc'ed text (ownership taken; may be NULL). Not continuable.
void kelffa__listing_set_decoded(char *owned_path);
// Counts one more rejected entry (for entries rejected before validation).
void kelffa__listing_add_rejected();
// Listing label: the listed backend's id, "decoded", or "" when none.
const char *kelffa__listing_label();
// The listed folder, or NULL when there is none.
const char *kelffa__listing_path();
// The listed folder measured for the self-loop test (path NULL when none).
kelffa__folder kelffa__listing_folder();
// Records for the backend to fill, `records` of them (the page's guards
// included): the buffer kept from the listing's previous page or a new one;
// NULL when memory runs out. Their content is left to the caller.
kelffa_item *kelffa__page_buffer_take(uint64_t records);
// Hands the buffer back after the page: kept while the listing can continue,
// released otherwise (and by kelffa__listing_clear).
void kelffa__page_buffer_return(kelffa_item *items, uint64_t records);
// The cursor of the next page, or NULL.
const char *kelffa__listing_cursor();
// True when the listing came from a backend and has more pages.
bool kelffa__listing_continuable();
// Ends a taken page: the next page's cursor (malloc'ed, taken over; may be
// NULL) and whether there is one.
void kelffa__listing_end_page(char *owned_cursor, int more);
// Marks the listing as having no more pages.
void kelffa__listing_stop();

// What the listing held before a page, so that the page can be rolled back.
struct kelffa__listing_mark {
  uint64_t count;
  void *texts;
  size_t texts_used;
  int32_t rejected;
};
kelffa__listing_mark kelffa__listing_mark_now();
// Drops the entries, texts and rejections taken since the mark.
void kelffa__listing_rollback(const kelffa__listing_mark &m);

// The page size asked of backends, and back to the size at load (256).
int32_t kelffa__page_size();
void kelffa__page_size_reset();
// When set, called on the listing thread with each entry's index on the page
// just before the cancel flag is read for that entry, so that a test can raise
// the flag at a known point of the copy. Null unless a test sets it.
extern void (*kelffa__entry_probe)(uint64_t index);

// ---- Stat result -----------------------------------------------------------

// Keeps a deep copy of a validated record as the stat result: 0 or
// KELFFA_ERR_OOM (then there is none).
int32_t kelffa__stat_keep(const kelffa_item *rec);
// Releases the stored stat result.
void kelffa__stat_clear();

// ---- Result kind and result texts (rendered by the listing JSON) -------------

enum { KELFFA_RES_LISTING = 0, KELFFA_RES_STAT = 1, KELFFA_RES_OWNED = 2 };
int kelffa__result_kind();
void kelffa__set_result_kind(int kind);
// Takes ownership of a malloc'ed text (freeing the previous one) and sets the
// kind to KELFFA_RES_OWNED.
void kelffa__set_result_owned(char *text);
// The owned text, or NULL.
const char *kelffa__result_owned();
// Replaces the last built text (malloc'ed; ownership taken; NULL frees it).
void kelffa__set_result_built(char *text);
// Frees the owned and the built texts.
void kelffa__result_texts_free();

#endif
