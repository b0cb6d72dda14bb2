// The built-in HTTP client over libcurl, behind an IO table like a host's.
//
// Connections: every request borrows a transfer slot (a multi handle with its
// own connection cache and one easy handle) from a process-wide pool and gives
// it back afterwards, so one thread making request after request keeps using
// one connection; a second thread (a notification sent while a scan runs)
// borrows a second slot. TLS sessions and resolved names are shared by all
// slots through one share handle. libcurl's connection cache itself is not
// shared between threads, which libcurl does not support.
//
// A request runs on the caller's thread through the multi interface and polls
// the scan's cancel flag between short waits, so that a cancelled scan stops
// waiting for a stalled service promptly. A scan that keeps several requests
// in flight runs them in a batch (below), driven by the scanning thread.
#ifndef KELMCAT_NO_CURL

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "match/http.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// Longest wait between two looks at the cancel flag.
constexpr int kPollMs = 10;
// Idle slots kept for later requests (one per thread that makes requests at
// the same time, in practice a scan and a notification).
constexpr size_t kMaxIdle = 4;

struct slot {
  CURLM *multi;
  CURL *easy;
};

std::mutex s_pool_lock;
std::vector<slot> s_idle;
CURLSH *s_share = nullptr;
size_t s_in_use = 0;
uint64_t s_generation = 0;  // a slot borrowed before a reset is not kept
std::mutex s_share_locks[CURL_LOCK_DATA_LAST];
kelmcat_io s_io;
std::once_flag s_init_once;
CURLcode s_init_rc = CURLE_FAILED_INIT;

void share_lock(CURL *, curl_lock_data data, curl_lock_access, void *) {
  s_share_locks[data].lock();
}

void share_unlock(CURL *, curl_lock_data data, void *) {
  s_share_locks[data].unlock();
}

// Called with the pool lock held. A share that cannot be made only costs the
// session and name caches.
void make_share() {
  s_share = curl_share_init();
  if (!s_share) return;
  curl_share_setopt(s_share, CURLSHOPT_LOCKFUNC, share_lock);
  curl_share_setopt(s_share, CURLSHOPT_UNLOCKFUNC, share_unlock);
  curl_share_setopt(s_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(s_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

void destroy(slot s) {
  if (s.easy) curl_easy_cleanup(s.easy);
  if (s.multi) curl_multi_cleanup(s.multi);
}

bool borrow(slot *out, uint64_t *generation, CURLSH **share) {
  Guard g(s_pool_lock);
  if (!s_share) make_share();
  if (!s_idle.empty()) {
    *out = s_idle.back();
    s_idle.pop_back();
  } else {
    slot s{curl_multi_init(), curl_easy_init()};
    if (!s.multi || !s.easy) {
      destroy(s);
      return false;
    }
    *out = s;
  }
  s_in_use++;
  *generation = s_generation;
  *share = s_share;
  return true;
}

void give_back(slot s, uint64_t generation) {
  Guard g(s_pool_lock);
  s_in_use--;
  if (generation == s_generation && s_idle.size() < kMaxIdle) {
    try {
      s_idle.push_back(s);
      return;
    } catch (const std::bad_alloc &) {
    }
  }
  destroy(s);
}

// Holds a borrowed slot for one request.
struct borrowed {
  slot s{};
  uint64_t generation = 0;
  CURLSH *share = nullptr;
  bool ok = false;
  borrowed() { ok = borrow(&s, &generation, &share); }
  ~borrowed() {
    if (ok) give_back(s, generation);
  }
  borrowed(const borrowed &) = delete;
  borrowed &operator=(const borrowed &) = delete;
};

bool cancel_requested() {
  if (!kel_in_scan_requests()) return false;
  Guard g(g_st.lock);
  return g_st.cancel_requested != 0;
}

// The response as it arrives: never more than max bytes are kept.
struct transfer {
  kel_buf body{};
  uint64_t max = 0;
  bool too_large = false;
  bool no_memory = false;
};

size_t on_data(char *data, size_t size, size_t count, void *user) {
  transfer *t = static_cast<transfer *>(user);
  size_t n = size * count;
  if (n > t->max - t->body.len) {
    t->too_large = true;
    return 0;  // ends the transfer with a write error
  }
  if (n > 0 && kel_buf_add(&t->body, data, n) != 0) {
    t->no_memory = true;
    return 0;
  }
  return n;
}

void set_options(CURL *e, const char *url, const kel_http_options &o, transfer *t, char *errbuf,
                 CURLSH *share) {
  curl_easy_setopt(e, CURLOPT_URL, url);
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
  // Only HTTPS, verified, and only the address asked for.
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
#else
  curl_easy_setopt(e, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  if (o.ca_file[0]) curl_easy_setopt(e, CURLOPT_CAINFO, o.ca_file);
  // An explicit proxy, or none; an empty text keeps libcurl from taking one
  // (or its exceptions) from the environment.
  curl_easy_setopt(e, CURLOPT_PROXY, o.proxy);
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  curl_easy_setopt(e, CURLOPT_USERAGENT, o.user_agent);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.connect_timeout_ms));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(o.timeout_ms));
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(o.max_body_bytes));
  if (share) curl_easy_setopt(e, CURLOPT_SHARE, share);
}

// Runs the transfer to its end, or until the scan is cancelled (true).
bool run(CURLM *m, CURL *e, CURLcode *result, const char **multi_error) {
  *result = CURLE_OK;
  if (cancel_requested()) return true;
  CURLMcode mc = curl_multi_add_handle(m, e);
  if (mc != CURLM_OK) {
    *multi_error = curl_multi_strerror(mc);
    return false;
  }
  bool cancelled = false;
  for (;;) {
    int running = 0;
    mc = curl_multi_perform(m, &running);
    if (mc != CURLM_OK || running == 0) break;
    if (cancel_requested()) {
      cancelled = true;
      break;
    }
    mc = curl_multi_poll(m, nullptr, 0, kPollMs, nullptr);
    if (mc != CURLM_OK) break;
  }
  if (mc != CURLM_OK) *multi_error = curl_multi_strerror(mc);
  int left = 0;
  while (CURLMsg *msg = curl_multi_info_read(m, &left)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) *result = msg->data.result;
  }
  // A transfer removed before its end closes its connection.
  curl_multi_remove_handle(m, e);
  return cancelled;
}

int32_t status_of(CURL *e) {
  long code = 0;
  if (curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return 0;
  if (code < 0 || code > INT32_MAX) return 0;
  return static_cast<int32_t>(code);
}

int32_t fail(char **error, const char *text) {
  *error = kel_strdup(text);
  return -1;
}

// The outcome of a transfer as the IO table reports it: 0 with the body
// (NUL-terminated, freed through release), or -1 with a reason. t's body is
// handed over or freed.
int32_t finish(transfer *t, CURLcode rc, const char *multi_error, const char *errbuf,
               int64_t max_body, char **body, char **error) {
  if (t->too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    kel_buf_free(&t->body);
    char msg[64];
    std::snprintf(msg, sizeof msg, "response larger than %lld bytes",
                  static_cast<long long>(max_body));
    return fail(error, msg);
  }
  if (t->no_memory) {
    kel_buf_free(&t->body);
    return fail(error, "out of memory");
  }
  if (multi_error) {
    kel_buf_free(&t->body);
    return fail(error, multi_error);
  }
  if (rc != CURLE_OK) {
    kel_buf_free(&t->body);
    return fail(error, errbuf[0] ? errbuf : curl_easy_strerror(rc));
  }
  *body = t->body.data;  // NUL-terminated by the buffer; freed through release
  t->body = kel_buf{};
  return 0;
}

int32_t curl_get(void *, const char *url, char **body, int32_t *status, char **error) {
  *body = nullptr;
  *status = 0;
  *error = nullptr;
  kel_http_options o;
  kel_http_options_get(&o);
  borrowed b;
  if (!b.ok) return fail(error, "cannot start a libcurl transfer");
  CURL *e = b.s.easy;
  // Every request starts from libcurl's defaults (the system CA store among
  // them); the connections, sessions and names cached so far stay.
  curl_easy_reset(e);
  transfer t;
  t.max = static_cast<uint64_t>(o.max_body_bytes);
  char errbuf[CURL_ERROR_SIZE];
  errbuf[0] = '\0';
  set_options(e, url, o, &t, errbuf, b.share);
  CURLcode rc = CURLE_OK;
  const char *multi_error = nullptr;
  bool cancelled = run(b.s.multi, e, &rc, &multi_error);
  *status = status_of(e);
  // The easy handle must not point at this frame's buffers once it is idle.
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, nullptr);
  if (cancelled) {
    kel_buf_free(&t.body);
    return KEL_CURL_CANCELLED;
  }
  return finish(&t, rc, multi_error, errbuf, o.max_body_bytes, body, error);
}

int32_t curl_get_safe(void *ctx, const char *url, char **body, int32_t *status,
                      char **error) noexcept {
  try {
    return curl_get(ctx, url, body, status, error);
  } catch (const std::bad_alloc &) {
    return fail(error, "out of memory");
  }
}

void curl_release(void *, void *p) {
  std::free(p);
}

}  // namespace

// ---- Several transfers at once on one thread ------------------------------
//
// A batch is one multi handle with its own connection cache, its easy
// handles, and the transfers running in it. Over HTTP/2 the transfers to a
// host share one connection; otherwise each runs on a connection of its own,
// at most max_concurrent per host, and the connections stay open for the next
// transfers. The process keeps one idle batch, so that the next scan finds the
// connections of the last.

struct kel_curl_xfer {
  CURL *easy = nullptr;
  transfer t;
  char errbuf[CURL_ERROR_SIZE];
  int64_t max_body = 0;
  void *tag = nullptr;
};

struct kel_curl_batch {
  CURLM *multi = nullptr;
  std::vector<CURL *> idle;            // easy handles for the next transfers
  std::vector<kel_curl_xfer *> xfers;  // running
  uint64_t generation = 0;
  CURLSH *share = nullptr;
  long max_concurrent = 1;
};

namespace {

kel_curl_batch *s_idle_batch = nullptr;

void batch_destroy(kel_curl_batch *b) {
  for (CURL *e : b->idle) curl_easy_cleanup(e);
  if (b->multi) curl_multi_cleanup(b->multi);
  delete b;
}

void xfer_end(kel_curl_batch *b, kel_curl_xfer *x) {
  curl_multi_remove_handle(b->multi, x->easy);
  curl_easy_setopt(x->easy, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(x->easy, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(x->easy, CURLOPT_PRIVATE, nullptr);
  try {
    b->idle.push_back(x->easy);
  } catch (const std::bad_alloc &) {
    curl_easy_cleanup(x->easy);
  }
  for (size_t i = 0; i < b->xfers.size(); ++i) {
    if (b->xfers[i] == x) {
      b->xfers[i] = b->xfers.back();
      b->xfers.pop_back();
      break;
    }
  }
  kel_buf_free(&x->t.body);
  delete x;
}

}  // namespace

kel_curl_batch *kel_curl_batch_open(long max_concurrent) {
  kel_curl_batch *b = nullptr;
  {
    Guard g(s_pool_lock);
    if (!s_share) make_share();
    b = s_idle_batch;
    s_idle_batch = nullptr;
    if (!b) {
      b = new (std::nothrow) kel_curl_batch;
      if (!b) return nullptr;
      b->multi = curl_multi_init();
      if (!b->multi) {
        delete b;
        return nullptr;
      }
      curl_multi_setopt(b->multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    }
    s_in_use++;
    b->generation = s_generation;
    b->share = s_share;
  }
  b->max_concurrent = max_concurrent;
  curl_multi_setopt(b->multi, CURLMOPT_MAX_HOST_CONNECTIONS, max_concurrent);
  // Connections kept open: enough for every transfer to two hosts.
  curl_multi_setopt(b->multi, CURLMOPT_MAXCONNECTS, 2 * max_concurrent);
  return b;
}

void kel_curl_batch_close(kel_curl_batch *b) {
  if (!b) return;
  while (!b->xfers.empty()) xfer_end(b, b->xfers.back());
  Guard g(s_pool_lock);
  s_in_use--;
  if (b->generation == s_generation && !s_idle_batch) {
    s_idle_batch = b;
    return;
  }
  batch_destroy(b);
}

kel_curl_xfer *kel_curl_batch_add(kel_curl_batch *b, const char *url, void *tag) {
  kel_curl_xfer *x = new (std::nothrow) kel_curl_xfer;
  if (!x) return nullptr;
  try {
    b->xfers.push_back(x);
  } catch (const std::bad_alloc &) {
    delete x;
    return nullptr;
  }
  if (!b->idle.empty()) {
    x->easy = b->idle.back();
    b->idle.pop_back();
    curl_easy_reset(x->easy);
  } else {
    x->easy = curl_easy_init();
  }
  if (!x->easy) {
    b->xfers.pop_back();
    delete x;
    return nullptr;
  }
  kel_http_options o;
  kel_http_options_get(&o);
  x->tag = tag;
  x->max_body = o.max_body_bytes;
  x->t.max = static_cast<uint64_t>(o.max_body_bytes);
  x->errbuf[0] = '\0';
  set_options(x->easy, url, o, &x->t, x->errbuf, b->share);
  curl_easy_setopt(x->easy, CURLOPT_PRIVATE, x);
  // Waits for a connection that can take another stream rather than opening
  // a new one, as long as the server may still turn out to multiplex.
  curl_easy_setopt(x->easy, CURLOPT_PIPEWAIT, 1L);
  if (curl_multi_add_handle(b->multi, x->easy) != CURLM_OK) {
    curl_easy_cleanup(x->easy);
    b->xfers.pop_back();
    delete x;
    return nullptr;
  }
  return x;
}

void kel_curl_batch_abort(kel_curl_batch *b, kel_curl_xfer *x) {
  if (b && x) xfer_end(b, x);
}

size_t kel_curl_batch_running(const kel_curl_batch *b) {
  return b ? b->xfers.size() : 0;
}

void kel_curl_batch_run(kel_curl_batch *b, int wait_ms,
                        void (*done)(void *ctx, void *tag, const kel_curl_answer *answer),
                        void *ctx) {
  if (b->xfers.empty()) return;
  int running = 0;
  CURLMcode mc = curl_multi_perform(b->multi, &running);
  if (mc == CURLM_OK && wait_ms > 0 && running > 0 &&
      static_cast<size_t>(running) == b->xfers.size()) {
    mc = curl_multi_poll(b->multi, nullptr, 0, wait_ms, nullptr);
    if (mc == CURLM_OK) mc = curl_multi_perform(b->multi, &running);
  }
  const char *multi_error = mc == CURLM_OK ? nullptr : curl_multi_strerror(mc);
  int left = 0;
  while (CURLMsg *msg = curl_multi_info_read(b->multi, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    kel_curl_xfer *x = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char **>(&x));
    if (!x) continue;
    kel_curl_answer a{};
    a.status = status_of(x->easy);
    a.rc = finish(&x->t, msg->data.result, nullptr, x->errbuf, x->max_body, &a.body, &a.error);
    void *tag = x->tag;
    xfer_end(b, x);
    done(ctx, tag, &a);
  }
  // A multi handle that fails fails every transfer in it.
  if (multi_error) {
    while (!b->xfers.empty()) {
      kel_curl_xfer *x = b->xfers.back();
      kel_curl_answer a{};
      a.status = status_of(x->easy);
      a.rc = fail(&a.error, multi_error);
      void *tag = x->tag;
      xfer_end(b, x);
      done(ctx, tag, &a);
    }
  }
}

bool kel_curl_init(void) {
  std::call_once(s_init_once, [] { s_init_rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (s_init_rc != CURLE_OK) {
    kel_set_error("libcurl could not be started: %s", curl_easy_strerror(s_init_rc));
    return false;
  }
  return true;
}

const kelmcat_io *kel_curl_io(void) {
  static const kelmcat_io *table = [] {
    s_io.ctx = nullptr;
    s_io.http_get = curl_get_safe;
    s_io.reserved2 = nullptr;
    s_io.release = curl_release;
    return &s_io;
  }();
  return table;
}

void kel_curl_reset(void) {
  Guard g(s_pool_lock);
  for (slot s : s_idle) destroy(s);
  s_idle.clear();
  if (s_idle_batch) batch_destroy(s_idle_batch);
  s_idle_batch = nullptr;
  s_generation++;
  // The share goes once no transfer uses it; otherwise it stays for the next.
  if (s_in_use == 0 && s_share) {
    curl_share_cleanup(s_share);
    s_share = nullptr;
  }
}

#endif  // KELMCAT_NO_CURL
