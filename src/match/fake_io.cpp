// The built-in fake IO: scripted answers of the matching, media-index and
// catalogue services, for scans without a network.
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "match/fake_store.h"
#include "match/http.h"

namespace {

constexpr int32_t MAX_ROUTES = 256;
constexpr int32_t MAX_MOVIES = 256;
constexpr size_t CANNED_SIZE = 8192;
constexpr size_t FAULT_SIZE = 256;
constexpr size_t NAME_WINDOW = 511;
constexpr size_t MOVIE_ID_MAX = 63;
constexpr size_t ROUTE_BODY_SIZE = 256;

const char NOT_FOUND_BODY[] =
    "{\"type\":\"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.5\","
    "\"title\":\"Not Found\",\"status\":404}";

struct route {
  char *name;
  char *imdb_id;  // null when the route was added without one
  int32_t status;
  int32_t tvshow;
};

struct movie {
  char *imdb_id;
  char *answer;  // "true" or "false"
};

route s_routes[MAX_ROUTES];
int32_t s_nroutes = 0;
movie s_movies[MAX_MOVIES];
int32_t s_nmovies = 0;
// First route per name and first answer per id: later duplicates never answer.
std::unordered_map<std::string, int32_t> s_route_index;
std::unordered_map<std::string, int32_t> s_movie_index;
char s_corrections[CANNED_SIZE];
char s_indexed[CANNED_SIZE];
char s_fault[FAULT_SIZE];
int32_t s_matcher_calls = 0;
int32_t s_queue_calls = 0;
kelmcat_io s_io;
bool s_io_ready = false;

void fake_free_buf(void *, void *p) {
  std::free(p);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole text as a base-10 integer: leading white space and one sign, at
// least one digit, nothing after the digits. Values outside int32 do not read.
bool parse_int(const char *s, int32_t *v) {
  while (is_space(*s)) s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  if (*s < '0' || *s > '9') return false;
  int64_t n = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    n = n * 10 + (*s - '0');
    if (n > INT32_MAX + int64_t{1}) return false;
  }
  if (*s) return false;
  if (neg) n = -n;
  if (n > INT32_MAX || n < INT32_MIN) return false;
  *v = static_cast<int32_t>(n);
  return true;
}

// The query value after the first occurrence of key, up to the next "&" or the end.
std::string query_value(const char *url, const char *key) {
  const char *p = std::strstr(url, key);
  if (!p) return std::string();
  p += std::strlen(key);
  return std::string(p, std::strcspn(p, "&"));
}

// Percent-decodes the first NAME_WINDOW bytes of a raw lookup value.
std::string decode_name(const std::string &raw) {
  size_t n = raw.size() < NAME_WINDOW ? raw.size() : NAME_WINDOW;
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; i++) {
    int hi;
    if (raw[i] == '%' && i + 2 < n && (hi = hexval(raw[i + 1])) >= 0) {
      int lo = hexval(raw[i + 2]);
      out.push_back(static_cast<char>((hi << 4) | (lo < 0 ? 0 : lo)));
      i += 2;
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

void answer(char **body, int32_t *status, int32_t code, const char *text) {
  *status = code;
  *body = text ? kel_strdup(text) : nullptr;
}

void is_movie_answer(const char *url, char **body, int32_t *status) {
  std::string id = query_value(url, "imdbId=");
  if (id.size() > MOVIE_ID_MAX) id.resize(MOVIE_ID_MAX);
  auto it = s_movie_index.find(id);
  if (it != s_movie_index.end()) {
    bool no = std::strcmp(s_movies[it->second].answer, "false") == 0;
    answer(body, status, 200, no ? "false" : "true");
  } else if (id.compare(0, 2, "tt") == 0) {
    answer(body, status, 200, "true");
  } else {
    answer(body, status, 404, NOT_FOUND_BODY);
  }
}

void lookup_answer(const char *url, char **body, int32_t *status) {
  std::string name = decode_name(query_value(url, "id="));
  auto it = s_route_index.find(name);
  if (it == s_route_index.end()) {
    answer(body, status, 404, NOT_FOUND_BODY);
    return;
  }
  const route &r = s_routes[it->second];
  if (r.status != 0 && r.status != 200) {
    answer(body, status, r.status, r.status < 500 ? "" : "error");
    return;
  }
  // Inserted as they are, without JSON escaping; a long pair is cut, never
  // inside a UTF-8 character.
  char text[ROUTE_BODY_SIZE];
  kel_format(text, sizeof text, "{\"imDbId\":\"%s\",\"title\":\"%s\",\"isTVShow\":%s}",
             r.imdb_id ? r.imdb_id : "", r.name, r.tvshow ? "true" : "false");
  answer(body, status, 200, text);
}

int32_t fake_get(void *, const char *url, char **body, int32_t *status, char **error) {
  char *unused_body = nullptr;
  int32_t unused_status = 0;
  if (!body) body = &unused_body;
  if (!status) status = &unused_status;
  *body = nullptr;
  *status = 200;
  if (error) *error = nullptr;
  s_matcher_calls++;
  if (!url) url = "";
  try {
    if (s_fault[0]) {
      int32_t code;
      if (std::strcmp(s_fault, "transport") == 0) {
        if (error) *error = kel_strdup("fake transport failure");
      } else if (parse_int(s_fault, &code) && code > 0) {
        answer(body, status, code, "error");
        return 0;
      } else {
        if (error) *error = kel_strdup("fake unknown fault");
      }
      return -1;
    }
    if (std::strstr(url, "/api/AAA/IsMovie?imdbId=")) {
      is_movie_answer(url, body, status);
    } else if (std::strstr(url, "/api/MediaIndex/Corrections")) {
      answer(body, status, 200, s_corrections[0] ? s_corrections : "{}");
    } else if (std::strstr(url, "/api/MediaIndex/Find?")) {
      answer(body, status, 200, s_indexed[0] ? s_indexed : "[]");
    } else if (std::strstr(url, "/api/AAA/SendMessageQueue?")) {
      s_queue_calls++;
      answer(body, status, 200, "");
    } else {
      lookup_answer(url, body, status);
    }
  } catch (const std::bad_alloc &) {
    // The answer is lost: the caller sees the status with an empty body.
  }
  if (unused_body) std::free(unused_body);
  return 0;
}

// Appends a route; the table and its index are unchanged on failure.
int32_t add_route(const char *name, const char *imdb_id, int32_t status, int32_t tvshow) {
  if (s_nroutes >= MAX_ROUTES) {
    kel_set_error("route table full");
    return KELMCAT_ERR_OOM;
  }
  route r{kel_strdup(name), imdb_id ? kel_strdup(imdb_id) : nullptr, status, tvshow};
  if (!r.name || (imdb_id && !r.imdb_id)) {
    std::free(r.name);
    std::free(r.imdb_id);
    return KELMCAT_ERR_OOM;
  }
  try {
    s_route_index.emplace(name, s_nroutes);
  } catch (const std::bad_alloc &) {
    std::free(r.name);
    std::free(r.imdb_id);
    return KELMCAT_ERR_OOM;
  }
  s_routes[s_nroutes++] = r;
  return KELMCAT_OK;
}

// Copies text into a fixed field when it is shorter than the field.
bool store_canned(char *field, size_t size, const char *text) {
  if (!text) return false;
  size_t n = strnlen(text, size);
  if (n >= size) return false;
  std::memcpy(field, text, n + 1);
  return true;
}

}  // namespace

const kelmcat_io *kel_fake_io(void) {
  if (!s_io_ready) {
    s_io.ctx = nullptr;
    s_io.http_get = fake_get;
    s_io.reserved2 = nullptr;
    s_io.release = fake_free_buf;
    s_io_ready = true;
  }
  return &s_io;
}

void kel_fake_state_clear(void) {
  for (int32_t i = 0; i < s_nroutes; i++) {
    std::free(s_routes[i].name);
    std::free(s_routes[i].imdb_id);
    s_routes[i] = route{};
  }
  s_nroutes = 0;
  for (int32_t i = 0; i < s_nmovies; i++) {
    std::free(s_movies[i].imdb_id);
    std::free(s_movies[i].answer);
    s_movies[i] = movie{};
  }
  s_nmovies = 0;
  // Swapping with empty maps also gives their storage back.
  std::unordered_map<std::string, int32_t>().swap(s_route_index);
  std::unordered_map<std::string, int32_t>().swap(s_movie_index);
  s_corrections[0] = '\0';
  s_indexed[0] = '\0';
  s_fault[0] = '\0';
  s_matcher_calls = 0;
  s_queue_calls = 0;
  kel_fake_store_clear();
}

extern "C" {

KELMCAT_API int32_t kel_fake_set_matcher(const char *name, const char *imdb_id,
                                         int32_t status) noexcept {
  if (!name) {
    kel_set_error("null name");
    return KELMCAT_ERR_ARG;
  }
  if (s_nroutes >= MAX_ROUTES) {
    kel_set_error("route table full");
    return KELMCAT_ERR_OOM;
  }
  if (!imdb_id && status != 0 && status < 400 && std::strcmp(name, "*") != 0) {
    kel_set_error("success route needs an imdb id");
    return KELMCAT_ERR_ARG;
  }
  return add_route(name, imdb_id, status, 0);
}

KELMCAT_API int32_t kel_fake_set_tvshow(const char *name, const char *imdb_id) noexcept {
  if (!name || !name[0]) {
    kel_set_error("null name");
    return KELMCAT_ERR_ARG;
  }
  return add_route(name, imdb_id ? imdb_id : "", 0, 1);
}

KELMCAT_API int32_t kel_fake_set_ismovie(const char *imdb_id, int32_t is_movie) noexcept {
  if (!imdb_id || !imdb_id[0]) {
    kel_set_error("null imdb id");
    return KELMCAT_ERR_ARG;
  }
  if (s_nmovies >= MAX_MOVIES) {
    kel_set_error("is-movie table full");
    return KELMCAT_ERR_OOM;
  }
  movie m{kel_strdup(imdb_id), kel_strdup(is_movie ? "true" : "false")};
  if (!m.imdb_id || !m.answer) {
    std::free(m.imdb_id);
    std::free(m.answer);
    return KELMCAT_ERR_OOM;
  }
  try {
    s_movie_index.emplace(imdb_id, s_nmovies);
  } catch (const std::bad_alloc &) {
    std::free(m.imdb_id);
    std::free(m.answer);
    return KELMCAT_ERR_OOM;
  }
  s_movies[s_nmovies++] = m;
  return KELMCAT_OK;
}

KELMCAT_API int32_t kel_fake_fail_matcher(const char *fault) noexcept {
  if (!fault || !fault[0] || !store_canned(s_fault, sizeof s_fault, fault)) {
    kel_set_error("fault must be \"transport\" or an HTTP code string");
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kel_fake_set_corrections(const char *json) noexcept {
  if (!store_canned(s_corrections, sizeof s_corrections, json)) {
    kel_set_error("corrections JSON too long or null");
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kel_fake_set_indexed(const char *json) noexcept {
  if (!store_canned(s_indexed, sizeof s_indexed, json)) {
    kel_set_error("indexed JSON too long or null");
    return KELMCAT_ERR_ARG;
  }
  return KELMCAT_OK;
}

KELMCAT_API int32_t kel_fake_matcher_calls(void) noexcept {
  return s_matcher_calls;
}

KELMCAT_API int32_t kel_fake_queue_calls(void) noexcept {
  return s_queue_calls;
}

KELMCAT_API void kel_fake_reset(void) noexcept {
  kel_fake_state_clear();
}

}  // extern "C"
