// HTTP dispatch, query escaping, URL redaction and the built-in fake IO: what
// the matcher client and the notification may call.
#ifndef KELMCAT_MATCH_HTTP_H
#define KELMCAT_MATCH_HTTP_H

#include "core/core_internal.h"
#include "kelmcat.h"

// Base URLs of the two remote services besides the matching service (whose
// base is configured with kelmcat_set_matcher_host) until the host sets its
// own with kelmcat_set_service_bases. No trailing slash: the request paths
// ("/api/...") are appended to them.
#define KEL_MEDIA_INDEX_BASE "https://mediaindex.example.net"
#define KEL_CATALOGUE_BASE "https://catalogue.example.net"

// A base URL and its terminator.
#define KEL_BASE_SIZE 256

// The current base URLs, copied under the state lock.
void kel_media_index_base(char (&out)[KEL_BASE_SIZE]);
void kel_catalogue_base(char (&out)[KEL_BASE_SIZE]);
// The same for a caller that holds the state lock; returns the base's length.
size_t kel_catalogue_base_locked(char (&out)[KEL_BASE_SIZE]);

// What every request reads from the configuration: where it goes (the IO
// table resolved from the IO kind) and the bases of its URL.
struct kel_request_config {
  uint64_t gen;          // the request_config_gen it was copied at; 0: not yet
  int32_t io_kind;       // KEL_IO_* or -1 for none
  const kelmcat_io *io;  // the table of that kind (the host's may be null)
  char matcher_host[256];
  size_t matcher_host_len;
  char catalogue_base[KEL_BASE_SIZE];
  size_t catalogue_base_len;
};
// The calling thread's copy, first read again under the state lock when the
// configuration changed since it was made (else no lock is taken). The copy
// is rewritten by this thread's next call.
const kel_request_config &kel_request_config_now(void);

// How the built-in HTTP client makes its requests (kelmcat_set_http_options).
struct kel_http_options {
  char ca_file[4096];  // PEM bundle; "" for the system's CA store
  char user_agent[256];
  char proxy[1024];  // "" for none
  int64_t connect_timeout_ms;
  int64_t timeout_ms;
  int64_t max_body_bytes;
  int64_t max_concurrent;  // requests a scan keeps in flight, 1..256
};

kel_http_options kel_http_options_default(void);
// The current options, copied under the state lock.
void kel_http_options_get(kel_http_options *out);

// Restores the default bases and options. Takes the state lock.
void kel_http_config_reset(void);

// One GET through the installed IO table (host table or built-in fake).
// On a 2xx answer the body, read up to its first NUL, is appended to out
// (when out is not null; a null body leaves out holding the empty text).
// Returns KELMCAT_OK, KELMCAT_ERR_NO_IO (message set), KELMCAT_ERR_TRANSPORT
// (message "transport: ..."), KELMCAT_ERR_HTTP for a status below 200 or from
// 300 to 499, KELMCAT_ERR_MATCHER_DOWN for 500 and above (no message for
// these two), or KELMCAT_ERR_OOM when out cannot grow (no message).
// Every request that reaches a table records the status as the last HTTP
// code and the url as the last URL (which kelmcat_last_url shows redacted).
// Never call with the state lock held.
int kel_http_get(const char *url, kel_buf *out);

// A 2xx answer's body, read where the IO table put it: it is handed back to
// the table when the answer is destroyed or reset. A null body reads as "".
class kel_http_answer {
 public:
  kel_http_answer() = default;
  ~kel_http_answer() { reset(); }
  kel_http_answer(const kel_http_answer &) = delete;
  kel_http_answer &operator=(const kel_http_answer &) = delete;

  // The body up to its first NUL; valid until the answer is reset.
  const char *body() const { return body_ ? body_ : ""; }
  // The status of the last fetch into it when it was a 2xx one or failed with
  // KELMCAT_ERR_HTTP or KELMCAT_ERR_MATCHER_DOWN; 0 otherwise.
  int32_t status() const { return status_; }
  // Hands the body back; the answer is then empty.
  void reset();

 private:
  friend int kel_http_fetch(const char *url, kel_http_answer *out);
  const kelmcat_io *io_ = nullptr;
  char *body_ = nullptr;
  int32_t status_ = 0;
};

// kel_http_get without the copy: a 2xx answer's body stays in out (whatever
// it held before is handed back first). The same results, messages and
// hand-backs, except that it never runs out of memory.
int kel_http_fetch(const char *url, kel_http_answer *out);

// Where the built-in client's answers to this thread's requests may already
// wait (the scan's look-ahead): kel_http_get asks it before making a request
// through the client. It returns true when it answered, with rc, status,
// body and error filled as the client's http_get fills them.
using kel_http_held_fn = bool (*)(const char *url, int32_t *rc, char **body, int32_t *status,
                                  char **error);
// Installs fn for the calling thread; null removes it.
void kel_http_hold_answers(kel_http_held_fn fn);

// Percent-escapes every byte except A-Z a-z 0-9 - . _ ~ as "%XX" (upper-case
// hex). Returns a malloc'ed text (free with free()), or null when text is null
// or memory runs out.
char *kel_query_escape(const char *text);

// A malloc'ed copy of url with the value of every "password=", "code=",
// "apikey=" and "api_key=" parameter replaced by "***". A null url gives "".
// Null only when memory runs out entirely.
char *kel_redact_url(const char *url);
// The same text into out[size] (cut to size - 1 bytes); returns its full
// length.
size_t kel_redact_url_to(const char *url, char *out, size_t size);

// The built-in fake IO table (static, built on the first call).
const kelmcat_io *kel_fake_io(void);

// Selects the built-in fake IO (IO kind 1) under the state lock. Takes the lock.
void kel_select_fake_io(void);

// IO kinds of the state record.
#define KEL_IO_HOST 0
#define KEL_IO_FAKE 1
#define KEL_IO_CURL 2

#ifndef KELMCAT_NO_CURL
// The built-in HTTP client's table (static). Its http_get returns
// KEL_CURL_CANCELLED for a request of a scan that was cancelled.
const kelmcat_io *kel_curl_io(void);
#define KEL_CURL_CANCELLED 2
// Starts libcurl once per process. Returns false, with a message, when it fails.
bool kel_curl_init(void);
// Closes the idle connections of the pool. Requests in flight finish as they are.
void kel_curl_reset(void);

// Several requests at once on one thread: a batch of transfers sharing one
// connection cache, driven by the thread that opened it. Each transfer takes
// the client options current when it is added.
struct kel_curl_batch;
struct kel_curl_xfer;
// What a finished transfer gives, as the IO table's http_get would: rc 0 with
// status and body, or -1 with a reason in error. body and error are malloc'ed
// (or null) and belong to whoever receives the answer.
struct kel_curl_answer {
  int32_t rc;
  int32_t status;
  char *body;
  char *error;
};
// Borrows the process's batch (or makes one) allowing max_concurrent
// connections per host. Null when libcurl or memory fails.
kel_curl_batch *kel_curl_batch_open(long max_concurrent);
// Aborts every transfer still running and gives the batch back.
void kel_curl_batch_close(kel_curl_batch *b);
// Starts a GET of url; tag is handed back with its answer. Null when the
// transfer cannot be started.
kel_curl_xfer *kel_curl_batch_add(kel_curl_batch *b, const char *url, void *tag);
// Aborts one running transfer (its connection is closed); no answer follows.
void kel_curl_batch_abort(kel_curl_batch *b, kel_curl_xfer *x);
size_t kel_curl_batch_running(const kel_curl_batch *b);
// Moves every transfer on, waiting up to wait_ms for one to make progress when
// none has finished, and calls done for each transfer that finished (its
// handle is gone by then). done must not add or abort transfers.
void kel_curl_batch_run(kel_curl_batch *b, int wait_ms,
                        void (*done)(void *ctx, void *tag, const kel_curl_answer *answer),
                        void *ctx);
#endif

// Marks the requests made on this thread while it lives as requests of a scan:
// the built-in client aborts them once kelmcat_cancel has been called.
struct kel_scan_requests {
  kel_scan_requests();
  ~kel_scan_requests();
  kel_scan_requests(const kel_scan_requests &) = delete;
  kel_scan_requests &operator=(const kel_scan_requests &) = delete;
};
// True on a thread inside a kel_scan_requests scope.
bool kel_in_scan_requests(void);

// Frees every scripted answer, the fault, the canned bodies and the fake
// store, and sets every counter to 0. Does not take the state lock.
void kel_fake_state_clear(void);

#endif
