// Look-ahead requests of the scanning thread: a queue of requests in the
// order the scan will ask for them, run through one batch of the built-in
// client. At most max_concurrent run at once, started in queue order, so a
// place that frees up goes to the request the scan will need first.
#include "match/ahead.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "match/http.h"
#include "match/matcher.h"

#ifndef KELMCAT_NO_CURL

namespace {

using Guard = std::lock_guard<std::mutex>;

// Longest wait between two looks at the cancel flag.
constexpr int kPollMs = 10;

enum class req_state { queued, running, done };

struct request {
  request *prev = nullptr;
  request *next = nullptr;
  char *url = nullptr;
  uint64_t file = 0;  // the file it was made ahead for; 0 for one asked on the spot
  bool lookup = false;
  req_state state = req_state::queued;
  kel_curl_xfer *xfer = nullptr;
  kel_curl_answer answer{};
};

struct engine {
  kel_curl_batch *batch = nullptr;
  size_t max = 1;
  request *head = nullptr;
  request *tail = nullptr;
  size_t running = 0;
  size_t files = 0;  // files with requests in the queue
  uint64_t next_file = 0;
};

thread_local engine *t_engine = nullptr;

request *make_request(const char *url, uint64_t file, bool lookup) {
  request *r = new (std::nothrow) request;
  if (!r) return nullptr;
  r->url = kel_strdup(url);
  if (!r->url) {
    delete r;
    return nullptr;
  }
  r->file = file;
  r->lookup = lookup;
  return r;
}

void link_after(engine *e, request *at, request *r) {
  r->prev = at;
  r->next = at ? at->next : e->head;
  if (r->next)
    r->next->prev = r;
  else
    e->tail = r;
  if (at)
    at->next = r;
  else
    e->head = r;
}

// Takes r out of the queue; the file leaves the window with its last request.
void unlink(engine *e, request *r) {
  bool file_stays = r->file != 0 && ((r->prev && r->prev->file == r->file) ||
                                     (r->next && r->next->file == r->file));
  if (r->file != 0 && !file_stays) e->files--;
  if (r->prev)
    r->prev->next = r->next;
  else
    e->head = r->next;
  if (r->next)
    r->next->prev = r->prev;
  else
    e->tail = r->prev;
  r->prev = r->next = nullptr;
}

// Aborts r when it runs and frees it with whatever it received.
void discard(engine *e, request *r) {
  if (r->state == req_state::running) {
    kel_curl_batch_abort(e->batch, r->xfer);
    e->running--;
  }
  std::free(r->answer.body);
  std::free(r->answer.error);
  std::free(r->url);
  delete r;
}

void drop_before(engine *e, request *keep) {
  while (e->head && e->head != keep) {
    request *r = e->head;
    unlink(e, r);
    discard(e, r);
  }
}

bool start(engine *e, request *r) {
  r->xfer = kel_curl_batch_add(e->batch, r->url, r);
  if (!r->xfer) return false;
  r->state = req_state::running;
  e->running++;
  return true;
}

// Starts queued requests in queue order while places are free. False when
// one could not be started.
bool fill(engine *e) {
  for (request *r = e->head; r && e->running < e->max; r = r->next)
    if (r->state == req_state::queued && !start(e, r)) return false;
  return true;
}

// A lookup's answer brings the movie check that the scan will make next for
// the same file, if any.
void on_done(void *ctx, void *tag, const kel_curl_answer *a) {
  engine *e = static_cast<engine *>(ctx);
  request *r = static_cast<request *>(tag);
  r->state = req_state::done;
  r->xfer = nullptr;
  r->answer = *a;
  e->running--;
  if (!r->lookup || a->rc != 0 || a->status < 200 || a->status > 299) return;
  char url[512];
  if (!kel_lookup_followup_url(a->body, url)) return;
  request *check = make_request(url, r->file, false);
  if (check) link_after(e, r, check);
}

void run(engine *e, int wait_ms) {
  kel_curl_batch_run(e->batch, wait_ms, on_done, e);
}

bool curl_selected() {
  Guard g(g_st.lock);
  return g_st.io_kind == KEL_IO_CURL;
}

bool cancel_requested() {
  if (!kel_in_scan_requests()) return false;
  Guard g(g_st.lock);
  return g_st.cancel_requested != 0;
}

void drop_all(engine *e) {
  drop_before(e, nullptr);
  e->files = 0;
}

}  // namespace

bool kel_ahead_start(void) {
  if (t_engine || !curl_selected()) return t_engine != nullptr;
  kel_http_options o;
  kel_http_options_get(&o);
  if (o.max_concurrent <= 1) return false;
  engine *e = new (std::nothrow) engine;
  if (!e) return false;
  e->max = static_cast<size_t>(o.max_concurrent);
  e->batch = kel_curl_batch_open(static_cast<long>(o.max_concurrent));
  if (!e->batch) {
    delete e;
    return false;
  }
  t_engine = e;
  kel_http_hold_answers(kel_ahead_take);
  return true;
}

void kel_ahead_stop(void) {
  engine *e = t_engine;
  if (!e) return;
  drop_all(e);
  kel_curl_batch_close(e->batch);
  delete e;
  t_engine = nullptr;
  kel_http_hold_answers(nullptr);
}

bool kel_ahead_active(void) {
  return t_engine != nullptr;
}

bool kel_ahead_has_room(void) {
  engine *e = t_engine;
  return e && e->files < e->max;
}

void kel_ahead_lookup(const char *name) {
  engine *e = t_engine;
  if (!e || !curl_selected()) return;
  char url[1024];
  if (!kel_lookup_url(name, url)) return;
  request *r = make_request(url, ++e->next_file, true);
  if (!r) return;
  link_after(e, e->tail, r);
  e->files++;
  fill(e);
}

void kel_ahead_pump(void) {
  engine *e = t_engine;
  if (!e) return;
  fill(e);
  run(e, 0);
  fill(e);
}

void kel_ahead_drop(void) {
  if (t_engine) drop_all(t_engine);
}

bool kel_ahead_take(const char *url, int32_t *rc, char **body, int32_t *status, char **error) {
  engine *e = t_engine;
  if (!e) return false;
  request *r = e->head;
  while (r && std::strcmp(r->url, url) != 0) r = r->next;
  if (r) {
    // Requests before it were made for files the scan went past without
    // asking (a setter changed their filters or mode meanwhile).
    drop_before(e, r);
  } else {
    r = make_request(url, 0, false);
    if (!r) return false;
    link_after(e, nullptr, r);
  }
  while (r->state != req_state::done) {
    if (cancel_requested()) {
      drop_all(e);
      *rc = KEL_CURL_CANCELLED;
      *status = 0;
      return true;
    }
    // r is first in the queue: it starts as soon as a place is free.
    if (!fill(e) && r->state == req_state::queued) {
      unlink(e, r);
      discard(e, r);
      return false;
    }
    run(e, kPollMs);
  }
  unlink(e, r);
  *rc = r->answer.rc;
  *status = r->answer.status;
  *body = r->answer.body;
  *error = r->answer.error;
  r->answer = kel_curl_answer{};
  discard(e, r);
  fill(e);
  return true;
}

#else  // KELMCAT_NO_CURL: no built-in client, nothing is made ahead

bool kel_ahead_start(void) {
  return false;
}
void kel_ahead_stop(void) {}
bool kel_ahead_active(void) {
  return false;
}
bool kel_ahead_has_room(void) {
  return false;
}
void kel_ahead_lookup(const char *) {}
void kel_ahead_pump(void) {}
void kel_ahead_drop(void) {}
bool kel_ahead_take(const char *, int32_t *, char **, int32_t *, char **) {
  return false;
}

#endif
