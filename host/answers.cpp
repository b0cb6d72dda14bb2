// The answers IO: the services' requests answered from a JSON document.
//
// Every answer body is built once, when the document is read, and handed out
// as a stable text: http_get never allocates, release has nothing to free, and
// any number of threads may ask at once (the tables are read-only after load;
// only the request counter changes, atomically).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/json.h"
#include "host_internal.h"

namespace {

const char kNotFound[] =
    "{\"type\":\"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.5\","
    "\"title\":\"Not Found\",\"status\":404}";
const char kBadRequest[] =
    "{\"type\":\"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.1\","
    "\"title\":\"Bad Request\",\"status\":400}";
const char kTrue[] = "true";
const char kFalse[] = "false";
const char kEmpty[] = "";

// Whether a path ends with the given route.
bool ends_with(std::string_view path, std::string_view route) {
  return path.size() >= route.size() && path.substr(path.size() - route.size()) == route;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes a query value; a "%" not followed by two hexadecimal digits
// stays as it is, and "+" stays "+" (the library escapes a space as %20).
std::string decode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    int hi, lo;
    if (raw[i] == '%' && i + 2 < raw.size() && (hi = hexval(raw[i + 1])) >= 0 &&
        (lo = hexval(raw[i + 2])) >= 0) {
      out.push_back(static_cast<char>((hi << 4) | lo));
      i += 2;
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

// The decoded value of the first query parameter called name; false when the
// query has none.
bool query_param(std::string_view query, std::string_view name, std::string *value) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view part = query.substr(0, amp);
    size_t eq = part.find('=');
    if (part.substr(0, eq) == name) {
      *value = eq == std::string_view::npos ? std::string() : decode(part.substr(eq + 1));
      return true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

}  // namespace

struct kelhost_answers {
  kelmcat_io io{};
  std::unordered_map<std::string, std::string> lookup;  // name -> lookup body
  std::unordered_map<std::string, bool> movie;          // id -> is a movie
  std::string corrections = "{}";
  std::string indexed = "[]";
  std::atomic<int64_t> requests{0};
};

namespace {

void reply(char **body, int32_t *status, int32_t code, const char *text) {
  *status = code;
  *body = const_cast<char *>(text);
}

void answer(const kelhost_answers *a, std::string_view url, char **body, int32_t *status) {
  size_t q = url.find('?');
  std::string_view path = url.substr(0, q);
  std::string_view query = q == std::string_view::npos ? std::string_view() : url.substr(q + 1);
  // A fragment is not part of the query.
  query = query.substr(0, query.find('#'));
  std::string value;
  if (ends_with(path, "/api/lookup")) {
    if (!query_param(query, "id", &value)) return reply(body, status, 400, kBadRequest);
    auto it = a->lookup.find(value);
    if (it == a->lookup.end()) return reply(body, status, 404, kNotFound);
    return reply(body, status, 200, it->second.c_str());
  }
  if (ends_with(path, "/api/AAA/IsMovie")) {
    if (!query_param(query, "imdbId", &value) || value.empty())
      return reply(body, status, 400, kBadRequest);
    auto it = a->movie.find(value);
    return reply(body, status, 200, it == a->movie.end() || it->second ? kTrue : kFalse);
  }
  if (ends_with(path, "/api/MediaIndex/Corrections"))
    return reply(body, status, 200, a->corrections.c_str());
  if (ends_with(path, "/api/MediaIndex/Find")) return reply(body, status, 200, a->indexed.c_str());
  if (ends_with(path, "/api/AAA/SendMessageQueue")) return reply(body, status, 200, kEmpty);
  reply(body, status, 404, kNotFound);
}

int32_t answers_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
  auto *a = static_cast<kelhost_answers *>(ctx);
  char *unused_body = nullptr;
  int32_t unused_status = 0;
  if (!body) body = &unused_body;
  if (!status) status = &unused_status;
  *body = nullptr;
  *status = 0;
  if (error) *error = nullptr;
  if (!a || !url) {
    if (error) *error = const_cast<char *>("answers IO: no request");
    return -1;
  }
  a->requests.fetch_add(1, std::memory_order_relaxed);
  try {
    answer(a, url, body, status);
  } catch (const std::bad_alloc &) {
    if (error) *error = const_cast<char *>("answers IO: out of memory");
    *body = nullptr;
    return -1;
  }
  return 0;
}

// Every text handed out is owned by the answers and stays valid until they
// are freed.
void answers_release(void *, void *) {}

// ---- Loading ----------------------------------------------------------------

struct Loader {
  const char *where;  // the file's path, or "answers" for a text
  std::string error;

  bool fail(const std::string &what) {
    error = std::string(where) + ": " + what;
    return false;
  }
};

std::string quoted(std::string_view s) {
  std::string out = "\"";
  // Names in messages are cut, never inside a UTF-8 sequence.
  size_t n = s.size();
  if (n > 64) {
    n = 64;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  }
  out.append(s.data(), n);
  if (n < s.size()) out += "...";
  return out + "\"";
}

// The body the matching service gives for a found name.
bool lookup_body(std::string_view name, std::string_view id, bool tv, std::string *out) {
  kj::Writer w;
  w.start_obj();
  w.key("imDbId");
  w.str(id);
  w.key("title");
  w.str(name);
  w.key("isTVShow");
  w.boolean(tv);
  w.end_obj();
  if (!w.ok()) return false;
  *out = w.text();
  return true;
}

bool load_lookup(Loader &l, kj::Val lookup, kelhost_answers *a) {
  if (!lookup.is_obj()) return l.fail("\"lookup\" is not an object");
  a->lookup.reserve(lookup.size());
  for (size_t i = 0, n = lookup.size(); i < n; ++i) {
    std::string_view name = lookup.key_at(i);
    kj::Val v = lookup.val_at(i);
    std::string_view id;
    bool tv = false;
    if (v.is_null()) {
      // Explicitly not found; a later duplicate cannot make it found.
      a->lookup.emplace(std::string(name), std::string());
      continue;
    }
    if (v.is_str()) {
      id = v.str();
    } else if (v.is_obj()) {
      for (size_t k = 0, m = v.size(); k < m; ++k) {
        std::string_view key = v.key_at(k);
        if (key != "id" && key != "tv")
          return l.fail("\"lookup\" " + quoted(name) + ": unknown member " + quoted(key));
      }
      kj::Val idv = v.get("id");
      kj::Val tvv = v.get("tv");
      if (!idv.is_str())
        return l.fail("\"lookup\" " + quoted(name) + ": \"id\" is missing or not a string");
      if (tvv.valid() && !tvv.is_bool())
        return l.fail("\"lookup\" " + quoted(name) + ": \"tv\" is not true or false");
      id = idv.str();
      tv = tvv.is_true();
    } else {
      return l.fail("\"lookup\" " + quoted(name) +
                    ": not an id, an object with \"id\" and \"tv\", or null");
    }
    if (id.empty() || id.find('\0') != std::string_view::npos)
      return l.fail("\"lookup\" " + quoted(name) + ": the id is empty or holds a NUL");
    std::string body;
    if (!lookup_body(name, id, tv, &body)) return l.fail("\"lookup\": cannot write an answer");
    a->lookup.emplace(std::string(name), std::move(body));
  }
  // Names given as null were kept only to hold their place: they answer 404.
  for (auto it = a->lookup.begin(); it != a->lookup.end();)
    it = it->second.empty() ? a->lookup.erase(it) : std::next(it);
  return true;
}

bool load_movie(Loader &l, kj::Val movie, kelhost_answers *a) {
  if (!movie.is_obj()) return l.fail("\"movie\" is not an object");
  a->movie.reserve(movie.size());
  for (size_t i = 0, n = movie.size(); i < n; ++i) {
    kj::Val v = movie.val_at(i);
    if (!v.is_bool()) return l.fail("\"movie\" " + quoted(movie.key_at(i)) + ": not true or false");
    a->movie.emplace(std::string(movie.key_at(i)), v.is_true());
  }
  return true;
}

bool compact(Loader &l, kj::Val v, const char *member, std::string *out) {
  kj::Writer w;
  w.value(v);
  if (!w.ok()) return l.fail(std::string("\"") + member + "\": cannot be written back");
  *out = w.text();
  return true;
}

// Line and column (from 1) of a byte offset.
std::string position(const char *text, size_t len, size_t offset) {
  if (offset == SIZE_MAX) return "an escape that is not UTF-8";
  if (offset > len) offset = len;
  size_t line = 1, col = 1;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 1;
    } else {
      ++col;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(col) + " (byte " +
         std::to_string(offset) + ")";
}

bool load(Loader &l, const char *text, size_t len, kelhost_answers *a) {
  kj::Doc doc;
  if (!doc.parse(text, len))
    return l.fail("not valid JSON, at " + position(text, len, doc.error_offset()));
  kj::Val root = doc.root();
  if (!root.is_obj()) return l.fail("the answers are not a JSON object");
  bool seen[4] = {};
  for (size_t i = 0, n = root.size(); i < n; ++i) {
    std::string_view key = root.key_at(i);
    kj::Val v = root.val_at(i);
    static const char *const kMembers[] = {"lookup", "movie", "corrections", "indexed"};
    int which = -1;
    for (int m = 0; m < 4; ++m)
      if (key == kMembers[m]) which = m;
    if (which < 0)
      return l.fail("unknown member " + quoted(key) +
                    " (expected \"lookup\", \"movie\", \"corrections\" or \"indexed\")");
    if (seen[which]) return l.fail("member " + quoted(key) + " given twice");
    seen[which] = true;
    bool ok = true;
    switch (which) {
      case 0:
        ok = load_lookup(l, v, a);
        break;
      case 1:
        ok = load_movie(l, v, a);
        break;
      case 2:
        ok = v.is_obj() ? compact(l, v, "corrections", &a->corrections)
                        : l.fail("\"corrections\" is not an object");
        break;
      default:
        ok = v.is_arr() ? compact(l, v, "indexed", &a->indexed)
                        : l.fail("\"indexed\" is not an array");
        break;
    }
    if (!ok) return false;
  }
  return true;
}

int32_t parse_answers(const char *where, const char *text, size_t len, kelhost_answers **out) {
  auto *a = new (std::nothrow) kelhost_answers;
  if (!a) {
    kelhost_set_error("out of memory reading the answers");
    return KELHOST_ERR_OOM;
  }
  try {
    Loader l{where, {}};
    if (!load(l, text, len, a)) {
      kelhost_set_error("%s", l.error.c_str());
      delete a;
      return KELHOST_ERR_FORMAT;
    }
  } catch (const std::bad_alloc &) {
    delete a;
    kelhost_set_error("out of memory reading the answers");
    return KELHOST_ERR_OOM;
  }
  a->io = kelmcat_io{a, answers_get, nullptr, answers_release};
  *out = a;
  kelhost_clear_error();
  return KELHOST_OK;
}

}  // namespace

extern "C" int32_t kelhost_answers_parse(const char *json, size_t len,
                                         kelhost_answers **out) noexcept {
  if (out) *out = nullptr;
  if (!json || !out) {
    kelhost_set_error("kelhost_answers_parse: null text or output");
    return KELHOST_ERR_ARG;
  }
  return parse_answers("answers", json, len, out);
}

extern "C" int32_t kelhost_answers_load(const char *path, kelhost_answers **out) noexcept {
  if (out) *out = nullptr;
  if (!path || !*path || !out) {
    kelhost_set_error("kelhost_answers_load: null path or output");
    return KELHOST_ERR_ARG;
  }
  std::FILE *f = std::fopen(path, "rb");
  if (!f) {
    kelhost_set_error("cannot open answers file %s: %s", path, std::strerror(errno));
    return KELHOST_ERR_IO;
  }
  std::string text;
  int32_t rc = KELHOST_OK;
  try {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    if (std::ferror(f)) {
      kelhost_set_error("cannot read answers file %s: %s", path, std::strerror(errno));
      rc = KELHOST_ERR_IO;
    }
  } catch (const std::bad_alloc &) {
    kelhost_set_error("out of memory reading answers file %s", path);
    rc = KELHOST_ERR_OOM;
  }
  std::fclose(f);
  if (rc != KELHOST_OK) return rc;
  return parse_answers(path, text.data(), text.size(), out);
}

extern "C" const kelmcat_io *kelhost_answers_io(kelhost_answers *answers) noexcept {
  return answers ? &answers->io : nullptr;
}

extern "C" int64_t kelhost_answers_requests(const kelhost_answers *answers) noexcept {
  return answers ? answers->requests.load() : 0;
}

extern "C" void kelhost_answers_free(kelhost_answers *answers) noexcept {
  delete answers;
}
