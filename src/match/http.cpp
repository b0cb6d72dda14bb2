// The one HTTP dispatch: every request of the library goes through here.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "match/http.h"

namespace {

thread_local kel_http_held_fn t_held = nullptr;

// Hands a text back to the table that produced it. A table without release
// keeps its texts (nothing is freed on its behalf).
void give_back(const kelmcat_io *io, void *p) {
  if (io->release) io->release(io->ctx, p);
}

// Keeps url, as sent, as the last URL, in the block the previous one used
// when it is large enough; it is redacted only when it is read. Without memory
// for it the last URL reads "".
void record_url(const char *url, int32_t status) {
  size_t len = std::strlen(url);
  std::lock_guard<std::mutex> g(g_st.lock);
  g_st.last_http_code = status;
  g_st.last_url_shown = false;
  if (g_st.last_url_sent_cap < len + 1) {
    std::free(g_st.last_url_sent);
    g_st.last_url_sent_cap = 0;
    g_st.last_url_sent = static_cast<char *>(std::malloc(len + 1));
    if (!g_st.last_url_sent) return;
    g_st.last_url_sent_cap = len + 1;
  }
  std::memcpy(g_st.last_url_sent, url, len + 1);
}

// Makes last_url the redacted form of the last URL sent, in the block it
// used before when that is large enough. False when memory runs out. The
// caller holds the lock.
bool show_last_url_locked() {
  char first[1280];
  size_t len = kel_redact_url_to(g_st.last_url_sent, first, sizeof first);
  if (g_st.last_url_cap < len + 1) {
    std::free(g_st.last_url);
    g_st.last_url_cap = 0;
    g_st.last_url = static_cast<char *>(std::malloc(len + 1));
    if (!g_st.last_url) return false;
    g_st.last_url_cap = len + 1;
  }
  if (len < sizeof first)
    std::memcpy(g_st.last_url, first, len + 1);
  else
    kel_redact_url_to(g_st.last_url_sent, g_st.last_url, len + 1);
  g_st.last_url_shown = true;
  return true;
}

}  // namespace

void kel_http_hold_answers(kel_http_held_fn fn) {
  t_held = fn;
}

const kel_request_config &kel_request_config_now(void) {
  // Trivially built: thread_local then costs no guard on each use.
  thread_local kel_request_config t_config;
  if (t_config.gen == g_st.request_config_gen.load(std::memory_order_acquire)) return t_config;
  std::lock_guard<std::mutex> g(g_st.lock);
  kel_request_config &c = t_config;
  c.gen = g_st.request_config_gen.load(std::memory_order_relaxed);
  c.io_kind = g_st.io_kind;
  c.io = g_st.io;
  if (c.io_kind == KEL_IO_FAKE) c.io = kel_fake_io();
#ifndef KELMCAT_NO_CURL
  if (c.io_kind == KEL_IO_CURL) c.io = kel_curl_io();
#endif
  c.matcher_host_len = strnlen(g_st.matcher_host, sizeof c.matcher_host - 1);
  std::memcpy(c.matcher_host, g_st.matcher_host, c.matcher_host_len);
  c.matcher_host[c.matcher_host_len] = '\0';
  c.catalogue_base_len = kel_catalogue_base_locked(c.catalogue_base);
  return t_config;
}

void kel_http_answer::reset() {
  // Held since a 2xx answer: its body goes back even when it is null.
  if (io_) give_back(io_, body_);
  io_ = nullptr;
  body_ = nullptr;
  status_ = 0;
}

int kel_http_fetch(const char *url, kel_http_answer *out) {
  out->reset();
  if (!url) {
    kel_set_error("null url");
    return KELMCAT_ERR_ARG;
  }
  const kel_request_config &config = kel_request_config_now();
  int32_t kind = config.io_kind;
  const kelmcat_io *io = config.io;
  if (kind < 0) {
    kel_set_error("no io backend — call kelmcat_use_curl/use_fake/set_io");
    return KELMCAT_ERR_NO_IO;
  }
  if (!io) {
    kel_set_error("no io backend installed");
    return KELMCAT_ERR_NO_IO;
  }
  if (!io->http_get) {
    kel_set_error("io backend has no http_get");
    return KELMCAT_ERR_NO_IO;
  }

  char *body = nullptr;
  char *error = nullptr;
  int32_t status = 0;
  int32_t rc = 0;
  // The built-in client may hold this answer already (asked for ahead by the
  // scan on this thread); it is then reported as if requested now.
  bool taken = kind == KEL_IO_CURL && t_held && t_held(url, &rc, &body, &status, &error);
  if (!taken) rc = io->http_get(io->ctx, url, &body, &status, &error);

  record_url(url, status);

#ifndef KELMCAT_NO_CURL
  // A request the built-in client gave up because the scan was cancelled: not
  // a transport failure, and not the service's fault.
  if (kind == KEL_IO_CURL && rc == KEL_CURL_CANCELLED) {
    kel_set_error("%s", kel_errstr(KELMCAT_ERR_CANCELLED));
    give_back(io, error);
    give_back(io, body);
    return KELMCAT_ERR_CANCELLED;
  }
#endif
  if (rc != 0) {
    if (error)
      kel_set_error("transport: %s", error);
    else
      kel_set_error("unknown io failure");
    give_back(io, error);
    give_back(io, body);
    return KELMCAT_ERR_TRANSPORT;
  }
  give_back(io, error);
  out->status_ = status;
  if (status < 200 || status > 299) {
    give_back(io, body);
    return status < 500 ? KELMCAT_ERR_HTTP : KELMCAT_ERR_MATCHER_DOWN;
  }
  out->io_ = io;
  out->body_ = body;
  return KELMCAT_OK;
}

int kel_http_get(const char *url, kel_buf *out) {
  kel_http_answer answer;
  int rc = kel_http_fetch(url, &answer);
  if (rc != KELMCAT_OK) return rc;
  if (out && kel_buf_adds(out, answer.body()) != 0) return KELMCAT_ERR_OOM;
  return KELMCAT_OK;
}

extern "C" KELMCAT_API const char *kelmcat_last_url(void) noexcept {
  std::lock_guard<std::mutex> g(g_st.lock);
  if (!g_st.last_url_sent) return kel_empty;
  if (!g_st.last_url_shown && !show_last_url_locked()) return kel_empty;
  return g_st.last_url;
}
