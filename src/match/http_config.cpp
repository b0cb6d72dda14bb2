// Where the requests go and how the built-in client makes them: the base URLs
// of the media-index and catalogue services, and the HTTP client options.
// Both are held under the state lock, like the rest of the configuration.
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "core/json.h"
#include "match/http.h"

#ifndef KELMCAT_VERSION_STRING
#error "KELMCAT_VERSION_STRING must name the library version"
#endif

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr int64_t kMaxTimeoutMs = INT32_MAX;
constexpr int64_t kMaxConcurrent = 256;

char s_media_index_base[KEL_BASE_SIZE] = KEL_MEDIA_INDEX_BASE;
char s_catalogue_base[KEL_BASE_SIZE] = KEL_CATALOGUE_BASE;
kel_http_options s_options = kel_http_options_default();

template <size_t N>
void copy_text(char (&dst)[N], std::string_view src) {
  size_t n = src.size() < N ? src.size() : N - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

static_assert(KEL_BASE_SIZE == 256, "a base holds the 255 bytes the base rule allows");

// A text member: a string of at most max bytes; with no_controls, without
// bytes below 0x20 and without DEL (it goes into a request header or a URL).
template <size_t N>
bool read_text(kj::Val v, const char *name, bool no_controls, char (&dst)[N]) {
  if (!v.is_str()) {
    kel_set_error("http options: \"%s\" must be a string", name);
    return false;
  }
  std::string_view s = v.str();
  if (s.size() > N - 1) {
    kel_set_error("http options: \"%s\" longer than %zu bytes", name, N - 1);
    return false;
  }
  for (char c : s) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == 0 || (no_controls && (b < 0x20 || b == 0x7F))) {
      kel_set_error("http options: \"%s\" holds a control character", name);
      return false;
    }
  }
  copy_text(dst, s);
  return true;
}

bool read_int(kj::Val v, const char *name, int64_t max, int64_t *out) {
  if (!v.is_int()) {
    kel_set_error("http options: \"%s\" must be an integer", name);
    return false;
  }
  if (!v.is_sint() || v.get_sint() < 1 || v.get_sint() > max) {
    kel_set_error("http options: \"%s\" must be from 1 to %" PRId64, name, max);
    return false;
  }
  *out = v.get_sint();
  return true;
}

// Reads one member into o; false (message recorded) when it is unknown or wrong.
bool read_member(std::string_view name, kj::Val v, kel_http_options *o) {
  if (name == "ca_file") return read_text(v, "ca_file", false, o->ca_file);
  if (name == "user_agent") return read_text(v, "user_agent", true, o->user_agent);
  if (name == "proxy") return read_text(v, "proxy", true, o->proxy);
  if (name == "connect_timeout_ms")
    return read_int(v, "connect_timeout_ms", kMaxTimeoutMs, &o->connect_timeout_ms);
  if (name == "timeout_ms") return read_int(v, "timeout_ms", kMaxTimeoutMs, &o->timeout_ms);
  if (name == "max_body_bytes") return read_int(v, "max_body_bytes", INT64_MAX, &o->max_body_bytes);
  if (name == "max_concurrent")
    return read_int(v, "max_concurrent", kMaxConcurrent, &o->max_concurrent);
  std::string shown(name);
  kel_set_error("http options: unknown member \"%.*s\"", kel_cutw(shown.c_str(), 64),
                shown.c_str());
  return false;
}

int32_t set_http_options(const char *json) {
  if (!json) {
    kel_set_error("null http options");
    return KELMCAT_ERR_ARG;
  }
  kj::Doc doc;
  if (!doc.parse(json, std::strlen(json)) || !doc.root().is_obj()) {
    kel_set_error("http options must be one JSON object");
    return KELMCAT_ERR_ARG;
  }
  kj::Val root = doc.root();
  kel_http_options o = kel_http_options_default();
  for (size_t i = 0; i < root.size(); ++i) {
    std::string_view name = root.key_at(i);
    for (size_t k = 0; k < i; ++k) {
      if (root.key_at(k) == name) {
        std::string shown(name);
        kel_set_error("http options: member \"%.*s\" given twice", kel_cutw(shown.c_str(), 64),
                      shown.c_str());
        return KELMCAT_ERR_ARG;
      }
    }
    if (!read_member(name, root.val_at(i), &o)) return KELMCAT_ERR_ARG;
  }
  Guard g(g_st.lock);
  s_options = o;
  return KELMCAT_OK;
}

}  // namespace

kel_http_options kel_http_options_default(void) {
  kel_http_options o{};
  copy_text(o.user_agent, "kelmcat/" KELMCAT_VERSION_STRING);
  o.connect_timeout_ms = 10000;
  o.timeout_ms = 60000;
  o.max_body_bytes = 268435456;
  o.max_concurrent = 16;
  return o;
}

void kel_http_options_get(kel_http_options *out) {
  Guard g(g_st.lock);
  *out = s_options;
}

size_t kel_catalogue_base_locked(char (&out)[KEL_BASE_SIZE]) {
  size_t len = strnlen(s_catalogue_base, sizeof out - 1);
  std::memcpy(out, s_catalogue_base, len);
  out[len] = '\0';
  return len;
}

void kel_media_index_base(char (&out)[KEL_BASE_SIZE]) {
  Guard g(g_st.lock);
  std::memcpy(out, s_media_index_base, sizeof out);
}

void kel_catalogue_base(char (&out)[KEL_BASE_SIZE]) {
  Guard g(g_st.lock);
  std::memcpy(out, s_catalogue_base, sizeof out);
}

void kel_http_config_reset(void) {
  Guard g(g_st.lock);
  copy_text(s_media_index_base, KEL_MEDIA_INDEX_BASE);
  copy_text(s_catalogue_base, KEL_CATALOGUE_BASE);
  kel_request_config_changed_locked();
  s_options = kel_http_options_default();
}

extern "C" {

KELMCAT_API int32_t kelmcat_set_service_bases(const char *media_index_base,
                                              const char *catalogue_base) noexcept {
  if (!kel_https_base_ok(media_index_base, "media-index base", "null media-index base") ||
      !kel_https_base_ok(catalogue_base, "catalogue base", "null catalogue base"))
    return KELMCAT_ERR_ARG;
  Guard g(g_st.lock);
  copy_text(s_media_index_base, media_index_base);
  copy_text(s_catalogue_base, catalogue_base);
  kel_request_config_changed_locked();
  return KELMCAT_OK;
}

KELMCAT_API int32_t kelmcat_set_http_options(const char *json) noexcept {
  try {
    return set_http_options(json);
  } catch (const std::bad_alloc &) {
    return KELMCAT_ERR_OOM;
  }
}

}  // extern "C"
