// The layer's result as JSON (the listing or the stat document), and decoding
// of listing JSON back into the listing.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/json.h"
#include "ffa/ffa_internal.h"

namespace {

const char kEmptyDoc[] = "{}";

void item_to_json(kj::Writer &w, const kelffa_item *it) {
  w.start_obj();
  w.key("name");
  w.str(it->name ? it->name : "");
  w.key("path");
  w.str(it->path ? it->path : "");
  w.key("folder");
  w.boolean(it->is_folder != 0);
  w.key("size");
  w.sint((it->fields & F_SIZE) ? it->size : -1);
  w.key("mtime_ms");
  w.sint((it->fields & F_MTIME) ? it->mtime_ms : -1);
  if ((it->fields & F_TITLE) && it->title) {
    w.key("title");
    w.str(it->title);
  }
  if (it->fields & F_YEAR) {
    w.key("year");
    w.sint(it->year);
  }
  if ((it->fields & F_ID) && it->id) {
    w.key("id");
    w.str(it->id);
  }
  if ((it->fields & F_LOCATOR) && it->locator) {
    w.key("locator");
    w.str(it->locator);
  }
  w.end_obj();
}

void write_document(kj::Writer &w) {
  w.start_obj();
  if (kelffa__result_kind() == KELFFA_RES_STAT) {
    const kelffa_backend *open = kelffa__session();
    w.key("backend");
    w.str(open && open->id ? open->id : "");
    w.key("item");
    if (const kelffa_item *got = kelffa_got())
      item_to_json(w, got);
    else
      w.null();
  } else {
    const char *path = kelffa__listing_path();
    int32_t n = kelffa_count();
    w.key("backend");
    w.str(kelffa__listing_label());
    w.key("path");
    w.str(path ? path : "");
    w.key("count");
    w.sint(n);
    w.key("more");
    w.boolean(kelffa_more() != 0);
    w.key("rejected");
    w.sint(kelffa_rejected());
    w.key("items");
    w.start_arr();
    for (int32_t i = 0; i < n; ++i) item_to_json(w, kelffa_item_at(i));
    w.end_arr();
  }
  w.end_obj();
}

// Builds the document into a malloc'ed text, or returns NULL.
char *render() {
  kj::Writer w;
  write_document(w);
  if (!w.ok()) return nullptr;
  return kel_strndup(w.text().data(), w.text().size());
}

// ---- Decoding ---------------------------------------------------------------

// The known keys of an entry object, in the order they are looked for.
enum Key { K_NAME, K_PATH, K_FOLDER, K_SIZE, K_MTIME, K_YEAR, K_TITLE, K_ID, K_LOCATOR, K_COUNT };
const std::string_view kKeys[K_COUNT] = {"name", "path",  "folder", "size",   "mtime_ms",
                                         "year", "title", "id",     "locator"};

// The first occurrence of each known key; invalid handles for absent keys.
void first_members(kj::Val obj, kj::Val (&out)[K_COUNT]) {
  size_t n = obj.size();
  int left = K_COUNT;
  for (size_t i = 0; i < n && left > 0; ++i) {
    std::string_view k = obj.key_at(i);
    for (int j = 0; j < K_COUNT; ++j) {
      if (!out[j].valid() && k == kKeys[j]) {
        out[j] = obj.val_at(i);
        --left;
        break;
      }
    }
  }
}

// A string member: absent or null leaves present false; a string is copied
// (one holding a NUL byte cannot be kept as a C text and counts as a bad shape).
bool read_str(kj::Val v, std::string &out, bool &present) {
  present = false;
  if (!v.valid() || v.is_null()) return true;
  if (!v.is_str()) return false;
  std::string_view s = v.str();
  if (s.find('\0') != std::string_view::npos) return false;
  out.assign(s.data(), s.size());
  present = true;
  return true;
}

// "size" and "mtime_ms": an integer 0..INT64_MAX, or -1 / null / absent.
bool read_count(kj::Val v, int64_t &out, bool &present) {
  present = false;
  if (!v.valid() || v.is_null()) return true;
  if (!v.is_sint()) return false;
  int64_t n = v.get_sint();
  if (n == -1) return true;
  if (n < 0) return false;
  out = n;
  present = true;
  return true;
}

// "year": an integer whose magnitude is at most INT32_MAX.
bool read_year(kj::Val v, int32_t &out, bool &present) {
  present = false;
  if (!v.valid() || v.is_null()) return true;
  if (!v.is_sint()) return false;
  int64_t n = v.get_sint();
  if (n > 2147483647 || n < -2147483647) return false;
  out = static_cast<int32_t>(n);
  present = true;
  return true;
}

// The strings behind a decoded record.
struct Texts {
  std::string name, path, title, id, locator;
};

// Fills rec (fresh) from one element; false for a bad shape.
bool element_to_item(kj::Val el, kelffa_item &rec, Texts &t) {
  if (!el.is_obj()) return false;
  kj::Val m[K_COUNT];
  first_members(el, m);
  bool has = false;
  if (!read_str(m[K_NAME], t.name, has)) return false;
  if (has) rec.name = t.name.c_str();
  if (!read_str(m[K_PATH], t.path, has)) return false;
  if (has) rec.path = t.path.c_str();
  if (m[K_FOLDER].valid()) {
    if (!m[K_FOLDER].is_bool()) return false;
    rec.is_folder = m[K_FOLDER].is_true() ? 1 : 0;
  }
  if (!read_count(m[K_SIZE], rec.size, has)) return false;
  if (has) rec.fields |= F_SIZE;
  if (!read_count(m[K_MTIME], rec.mtime_ms, has)) return false;
  if (has) rec.fields |= F_MTIME;
  if (!read_year(m[K_YEAR], rec.year, has)) return false;
  if (has) rec.fields |= F_YEAR;
  if (!read_str(m[K_TITLE], t.title, has)) return false;
  if (has) {
    rec.title = t.title.c_str();
    rec.fields |= F_TITLE;
  }
  if (!read_str(m[K_ID], t.id, has)) return false;
  if (has) {
    rec.id = t.id.c_str();
    rec.fields |= F_ID;
  }
  if (!read_str(m[K_LOCATOR], t.locator, has)) return false;
  if (has) {
    rec.locator = t.locator.c_str();
    rec.fields |= F_LOCATOR;
  }
  return true;
}

int32_t decode_text(const char *json) {
  kj::Doc doc;
  if (!doc.parse(json, std::strlen(json)))
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "decode: not JSON");
  kj::Val root = doc.root();
  kj::Val items;
  kj::Val folder_val;
  if (root.is_arr()) {
    items = root;
  } else if (root.is_obj()) {
    size_t n = root.size();
    for (size_t i = 0; i < n && !(items.valid() && folder_val.valid()); ++i) {
      std::string_view k = root.key_at(i);
      if (!items.valid() && k == "items")
        items = root.val_at(i);
      else if (!folder_val.valid() && k == "path")
        folder_val = root.val_at(i);
    }
  }
  if (!items.is_arr())
    return kelffa__fail(KELFFA_ERR_INVALID_ARG, "decode: expected an items array");

  // The listed folder for the self-loop test; a text holding a NUL byte is not
  // usable as one and counts like a "path" of another type.
  bool have_folder = false;
  std::string folder;
  if (folder_val.is_str()) {
    std::string_view s = folder_val.str();
    if (s.find('\0') == std::string_view::npos) {
      folder.assign(s.data(), s.size());
      have_folder = true;
    }
  }
  kelffa__listing_set_decoded(kel_strdup(folder.c_str()));
  const kelffa__folder self = kelffa__folder_of(have_folder ? folder.c_str() : nullptr);

  size_t n = items.size();
  Texts t;
  for (size_t i = 0; i < n; ++i) {
    kelffa_item rec;
    kelffa__item_fresh(&rec);
    if (!element_to_item(items.at(i), rec, t)) {
      kelffa__listing_add_rejected();
      kelffa__fail(KELFFA_OK, "rejected entry %lu: bad JSON shape", static_cast<unsigned long>(i));
      continue;
    }
    if (kelffa__listing_take(&rec, self) != KELFFA_OK)
      return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  }
  return KELFFA_OK;
}

}  // namespace

extern "C" const char *kelffa_result_json(void) noexcept {
  if (kelffa__result_kind() == KELFFA_RES_OWNED) {
    if (const char *owned = kelffa__result_owned()) return owned;
  }
  kelffa__set_result_built(nullptr);
  char *text = nullptr;
  try {
    text = render();
  } catch (const std::bad_alloc &) {
    text = nullptr;
  }
  if (!text) return kEmptyDoc;
  kelffa__set_result_built(text);
  return text;
}

extern "C" int32_t kelffa_decode(const char *json) noexcept {
  kelffa__listing_clear();
  kelffa__set_result_kind(KELFFA_RES_LISTING);
  if (!json) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "decode: NULL");
  try {
    return decode_text(json);
  } catch (const std::bad_alloc &) {
    return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
  }
}
