// kelmcat scan DIR: the disk backend over DIR, the SQLite vault, and the
// answers from the matching service or from a file.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "core/json.h"
#include "kelmcat.h"
#include "kelmcat_host.h"
#include "signals.h"
#include "status.h"

namespace cli {

namespace {

// Limit of a backend configuration in the library.
constexpr size_t kMaxBackendConfig = 511;
// With --answers no request leaves the process; the answers IO answers
// whatever host these name, and the notification succeeds with any credential.
constexpr const char kOfflineMatcher[] = "https://offline.invalid";
constexpr const char kOfflineCredential[] = "offline";

// What the scan holds, released in the order the library needs: its tables
// stay valid until kelmcat_shutdown has dropped them.
struct Session {
  kelhost_vault *vault = nullptr;
  kelhost_answers *answers = nullptr;

  ~Session() {
    kelmcat_set_progress(nullptr, nullptr);
    kelmcat_shutdown();
    kelhost_vault_close(vault);
    kelhost_answers_free(answers);
  }
};

// Usage errors the library finds in an option's value.
int rejected(const char *option) {
  return fail(kExitUsage, std::string(option) + ": " + kelmcat_last_error());
}

std::string backend_config(const std::string &root, bool follow_symlinks) {
  kj::Writer w;
  w.start_obj();
  w.key("root");
  w.str(root);
  if (follow_symlinks) {
    w.key("follow_symlinks");
    w.boolean(true);
  }
  w.end_obj();
  return w.ok() ? std::string(w.text()) : std::string();
}

std::string http_options(const std::string &ca_file) {
  kj::Writer w;
  w.start_obj();
  w.key("ca_file");
  w.str(ca_file);
  w.end_obj();
  return w.ok() ? std::string(w.text()) : std::string();
}

std::vector<const char *> pointers(const std::vector<std::string> &texts) {
  std::vector<const char *> out;
  for (const std::string &t : texts) out.push_back(t.c_str());
  return out;
}

int set_list(int32_t (*setter)(const char *const *, int32_t), const std::vector<std::string> &list,
             const char *option) {
  if (list.empty()) return kExitOk;
  std::vector<const char *> p = pointers(list);
  if (setter(p.data(), static_cast<int32_t>(p.size())) != KELMCAT_OK) return rejected(option);
  return kExitOk;
}

// The settings that come from the command line alone; a value the library
// refuses is a usage error.
int configure(const Options &o) {
  if (!user_id_usable(o.user)) return kExitUsage;
  if (o.max_depth > 0 && kelmcat_set_max_depth(o.max_depth) != KELMCAT_OK) {
    return rejected("--max-depth");
  }
  int rc = set_list(kelmcat_set_include_paths, o.include, "--include");
  if (rc == kExitOk) rc = set_list(kelmcat_set_exclude_paths, o.exclude, "--exclude");
  if (rc == kExitOk) rc = set_list(kelmcat_set_video_extensions, o.extensions, "--extensions");
  if (rc != kExitOk) return rc;
  kelmcat_set_add_new_only(o.add_new_only ? 1 : 0);
  kelmcat_set_correct_mode(o.correct ? 1 : 0);
  if (!o.matcher.empty()) {
    if (kelmcat_set_matcher_host(o.matcher.c_str()) != KELMCAT_OK) return rejected("--matcher");
    if (!o.media_index.empty() &&
        kelmcat_set_service_bases(o.media_index.c_str(), o.catalogue.c_str()) != KELMCAT_OK) {
      return rejected("--media-index/--catalogue");
    }
    if (o.have_queue_credential &&
        kelmcat_set_queue_credential(o.queue_credential.c_str()) != KELMCAT_OK) {
      return rejected("--queue-credential");
    }
    if (!o.ca_file.empty()) {
      std::string json = http_options(o.ca_file);
      if (json.empty()) return fail(kExitUsage, "--ca-file: the path is not valid UTF-8");
      if (kelmcat_set_http_options(json.c_str()) != KELMCAT_OK) return rejected("--ca-file");
    }
  } else {
    kelmcat_set_matcher_host(kOfflineMatcher);
    kelmcat_set_queue_credential(kOfflineCredential);
  }
  return kExitOk;
}

// The folder to scan as the disk backend's configuration.
int configure_backend(const Options &o) {
  const std::string &dir = o.args[0];
  char resolved[PATH_MAX];
  if (!realpath(dir.c_str(), resolved)) {
    return fail(kExitFailed, "cannot scan '" + dir + "': " + std::strerror(errno));
  }
  struct stat st {};
  if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return fail(kExitFailed, "cannot scan '" + dir + "': not a folder");
  }
  std::string config = backend_config(resolved, o.follow_symlinks);
  if (config.empty()) {
    return fail(kExitFailed, "cannot scan '" + dir + "': its path is not valid UTF-8");
  }
  if (config.size() > kMaxBackendConfig) {
    return fail(kExitFailed, "cannot scan '" + dir + "': its path is too long for the disk " +
                                 "backend (" + std::to_string(std::strlen(resolved)) +
                                 " bytes; the configuration holds at most " +
                                 std::to_string(kMaxBackendConfig) + ")");
  }
  if (kelhost_disk_register() != KELHOST_OK) {
    return fail(kExitFailed, std::string("disk backend: ") + kelhost_last_error());
  }
  if (kelmcat_set_backend("disk", config.c_str()) != KELMCAT_OK) {
    return fail(kExitFailed, kelmcat_last_error());
  }
  return kExitOk;
}

int configure_io(const Options &o, Session *s) {
  if (!o.answers.empty()) {
    if (kelhost_answers_load(o.answers.c_str(), &s->answers) != KELHOST_OK) {
      return fail(kExitFailed, kelhost_last_error());
    }
    kelmcat_set_io(kelhost_answers_io(s->answers));
    return kExitOk;
  }
  if (!o.ca_file.empty() && access(o.ca_file.c_str(), R_OK) != 0) {
    return fail(kExitFailed,
                "cannot read the CA file '" + o.ca_file + "': " + std::strerror(errno));
  }
  if (kelmcat_use_curl() != KELMCAT_OK) return fail(kExitFailed, kelmcat_last_error());
  return kExitOk;
}

int configure_vault(const Options &o, Session *s) {
  if (kelhost_vault_open(o.db.c_str(), &s->vault) != KELHOST_OK) {
    return fail(kExitFailed, kelhost_last_error());
  }
  if (kelmcat_set_vault(kelhost_vault_table(s->vault)) != KELMCAT_OK) {
    return fail(kExitFailed, kelmcat_last_error());
  }
  kelmcat_arm_writes(1);
  return kExitOk;
}

std::vector<std::string> warnings() {
  std::vector<std::string> out;
  int32_t n = kelmcat_warning_count();
  for (int32_t i = 0; i < n; ++i) out.emplace_back(kelmcat_warning(i));
  return out;
}

void unmatched_files(Summary *s) {
  int32_t n = kelmcat_result_count();
  for (int32_t i = 0; i < n; ++i) {
    if (kelmcat_result_outcome(i) != KELMCAT_OUTCOME_UNMATCHED) continue;
    if (s->unmatched.size() < kMaxListed) s->unmatched.emplace_back(kelmcat_result_key(i));
    ++s->unmatched_total;
  }
}

std::vector<std::string> unreadable_folders() {
  std::vector<std::string> out;
  int32_t n = kelhost_disk_unreadable_count();
  for (int32_t i = 0; i < n; ++i) out.emplace_back(kelhost_disk_unreadable(i));
  return out;
}

}  // namespace

int run_scan(const Options &o) {
  // Before the HTTP client or anything else can start a thread.
  CancelOnSignal cancel_on_signal;
  Session session;

  int rc = configure(o);
  if (rc == kExitOk) rc = configure_backend(o);
  if (rc == kExitOk) rc = configure_io(o, &session);
  if (rc == kExitOk) rc = configure_vault(o, &session);
  if (rc != kExitOk) return rc;

  StatusLine status(!o.quiet && isatty(STDERR_FILENO));
  kelmcat_set_progress(StatusLine::hook, &status);

  if (kelhost_vault_begin_batch(session.vault) != KELHOST_OK) {
    return fail(kExitFailed, kelhost_last_error());
  }
  auto start = std::chrono::steady_clock::now();
  int32_t code = kelmcat_scan(o.user.c_str(), o.config.c_str());
  auto end = std::chrono::steady_clock::now();
  kelmcat_set_progress(nullptr, nullptr);
  status.clear();
  bool batch_ended = kelhost_vault_end_batch(session.vault) == KELHOST_OK;
  std::string batch_error = batch_ended ? "" : kelhost_last_error();

  // The counters and results exist once the scan has reached its walk.
  bool walked = code == KELMCAT_OK || kelmcat_last_code() == code;
  bool cancelled = code == KELMCAT_ERR_CANCELLED && cancel_on_signal.signal() != 0;
  if (walked) {
    Summary summary;
    kelmcat_stats(&summary.stats);
    summary.warnings = warnings();
    summary.rejected = rejected_entries(summary.warnings);
    summary.unreadable = unreadable_folders();
    unmatched_files(&summary);
    summary.seconds = std::chrono::duration<double>(end - start).count();
    summary.cancelled = cancelled;
    print_summary(summary);
  }
  if (o.json && walked) {
    const char *doc = kelmcat_result_json();
    if (!*doc) return fail(kExitFailed, "the result document could not be written");
    std::printf("%s\n", doc);
    std::fflush(stdout);
  }
  if (!batch_ended) return fail(kExitFailed, batch_error);
  if (cancelled) return kExitCancelled;
  if (code != KELMCAT_OK)
    return fail(kExitFailed, std::string("scan failed: ") + kelmcat_last_error());
  return kExitOk;
}

}  // namespace cli
