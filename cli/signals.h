// Ctrl-C and SIGTERM during a scan. kelmcat_cancel takes a lock, so it cannot
// run in a signal handler: the signals are blocked instead and a small thread
// waits for them with sigwait and cancels from there.
#ifndef KELMCAT_CLI_SIGNALS_H
#define KELMCAT_CLI_SIGNALS_H

#include <atomic>
#include <thread>

namespace cli {

class CancelOnSignal {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it
  // starts afterwards; construct it before any other thread exists.
  CancelOnSignal();
  ~CancelOnSignal();
  CancelOnSignal(const CancelOnSignal &) = delete;
  CancelOnSignal &operator=(const CancelOnSignal &) = delete;

  // The signal that asked for cancellation, or 0.
  int signal() const { return signal_.load(); }

 private:
  void watch();

  std::atomic<int> signal_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace cli

#endif
