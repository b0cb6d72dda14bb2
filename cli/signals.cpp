#include "signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "kelmcat.h"

namespace cli {

namespace {

// SIGUSR1 only wakes the watcher when it is to stop.
sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}

void say(const char *text) {
  ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
  (void)n;
}

}  // namespace

CancelOnSignal::CancelOnSignal() {
  sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] { watch(); });
}

CancelOnSignal::~CancelOnSignal() {
  stopping_.store(true);
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

void CancelOnSignal::watch() {
  sigset_t set = watched_signals();
  while (true) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (stopping_.load()) return;
    if (sig == SIGUSR1) continue;
    if (signal_.load() == 0) {
      signal_.store(sig);
      say("\nkelmcat: cancelling; the records written so far are kept (once more to quit at "
          "once)\n");
      kelmcat_cancel();
    } else {
      // A second request: leave without waiting. The database keeps what it
      // had committed, as after any abrupt end.
      _exit(130);
    }
  }
}

}  // namespace cli
