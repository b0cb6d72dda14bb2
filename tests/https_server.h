// Starts and drives the loopback HTTPS test server (https_server.py): a child
// process on ephemeral ports of 127.0.0.1 with certificates made for the run.
// Commands and answers are JSON lines over the child's stdin and stdout; the
// child stops when its stdin closes (or by itself after its lifetime).
#ifndef KELMCAT_TESTS_HTTPS_SERVER_H
#define KELMCAT_TESTS_HTTPS_SERVER_H

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "core/json.h"
#include "kelmcat.h"

#ifndef KELMCAT_TEST_SERVER_SCRIPT
#error "KELMCAT_TEST_SERVER_SCRIPT must name https_server.py"
#endif

namespace httptest {

// True when an executable of that name is on the PATH.
inline bool on_path(const char *name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t from = 0;
  while (from <= dirs.size()) {
    size_t to = dirs.find(':', from);
    if (to == std::string::npos) to = dirs.size();
    std::string file = dirs.substr(from, to - from) + "/" + name;
    if (access(file.c_str(), X_OK) == 0) return true;
    from = to + 1;
  }
  return false;
}

class Server {
 public:
  Server() = default;
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;
  ~Server() { stop(); }

  // Empty when the server runs; otherwise why it does not. It stops by itself
  // after max_seconds.
  std::string start(int max_seconds = 600) {
    char dir[] = "/tmp/kelmcat-https-XXXXXX";
    if (!mkdtemp(dir)) return "mkdtemp failed";
    dir_ = dir;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return "pipe failed";
    const std::string lifetime = std::to_string(max_seconds);
    pid_ = fork();
    if (pid_ < 0) return "fork failed";
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      execlp("python3", "python3", KELMCAT_TEST_SERVER_SCRIPT, "--dir", dir, "--max-seconds",
             lifetime.c_str(), "--idle-seconds", "120", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    std::string line = read_line(60000);  // the certificates take a moment
    kj::Doc d;
    if (line.empty() || !d.parse(line) || !d.root().get("port").is_int())
      return "the test server did not start";
    port_ = static_cast<int>(d.root().get("port").get_sint());
    wrong_host_port_ = static_cast<int>(d.root().get("wrong_host_port").get_sint());
    ca_ = std::string(d.root().get("ca").str());
    return "";
  }

  void stop() {
    if (pid_ <= 0) return;
    if (to_ >= 0) close(to_);
    to_ = -1;
    // Closing stdin ends the server; it gets a few seconds before it is killed.
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (from_ >= 0) close(from_);
    from_ = -1;
    if (!dir_.empty()) {
      std::string cmd = "rm -rf '" + dir_ + "'";
      if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
    dir_.clear();
  }

  // Sends one command (a JSON object text) and returns the answer line.
  std::string command(const std::string &json) {
    std::string line = json + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    return read_line(30000);
  }

  // Replaces the scripted answers: members of the script object, without braces.
  void script(const std::string &members) {
    std::string sep = members.empty() ? "" : ",";
    command("{\"cmd\":\"script\"" + sep + members + "}");
  }

  int64_t stat(const char *name) {
    kj::Doc d;
    std::string line = command("{\"cmd\":\"stats\"}");
    if (!d.parse(line)) return -1;
    return d.root().get(name).get_sint();
  }

  // The recorded request targets, or user agents, in order.
  std::string stat_list(const char *name) {
    kj::Doc d;
    std::string line = command("{\"cmd\":\"stats\"}");
    if (!d.parse(line)) return "";
    kj::Val v = d.root().get(name);
    std::string all;
    for (size_t i = 0; i < v.size(); ++i) all += std::string(v.at(i).str()) + "\n";
    return all;
  }

  // Every request target the server got, with how often it came.
  std::map<std::string, int64_t> path_counts() {
    std::map<std::string, int64_t> counts;
    kj::Doc d;
    std::string line = command("{\"cmd\":\"stats\"}");
    if (!d.parse(line)) return counts;
    kj::Val v = d.root().get("path_counts");
    for (size_t i = 0; i < v.size(); ++i) counts[std::string(v.key_at(i))] = v.val_at(i).get_sint();
    return counts;
  }

  void reset_stats() { command("{\"cmd\":\"reset_stats\"}"); }

  int port() const { return port_; }
  int wrong_host_port() const { return wrong_host_port_; }
  const std::string &ca() const { return ca_; }
  std::string base() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string read_line(int timeout_ms) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return "";
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char buf[4096];
      ssize_t n = read(from_, buf, sizeof buf);
      if (n <= 0) return "";
      buffered_.append(buf, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffered_;
  std::string dir_;
  std::string ca_;
  int port_ = 0;
  int wrong_host_port_ = 0;
};

// One server shared by the tests of a suite: started by the suite's
// SetUpTestSuite, stopped by its TearDownTestSuite. A test calls ready() first
// and skips or fails with what it says.
class SuiteServer {
 public:
  void start() {
    if (!on_path("python3") || !on_path("openssl")) {
      unavailable_ = "python3 or openssl is not installed";
      return;
    }
    server_ = new Server;
    failed_ = server_->start();
  }
  void stop() {
    delete server_;
    server_ = nullptr;
  }
  // Empty when the tests can run; otherwise why they cannot.
  const std::string &unavailable() const { return unavailable_; }
  // Empty when the server started; otherwise why it did not.
  const std::string &failed() const { return failed_; }
  Server &get() { return *server_; }

 private:
  Server *server_ = nullptr;
  std::string unavailable_;
  std::string failed_;
};

// A scan cancelled while the server holds one of its requests: the scan runs
// on its own thread, kelmcat_cancel is called once the server reports a
// stalled request (waiting at most 10 s), and ms is how long the scan took to
// return after the cancel.
struct CancelledScan {
  int32_t rc = 0;
  int stalled = 0;
  double ms = 0;
};

inline CancelledScan scan_cancelled_when_stalled(Server &srv, const char *user_id,
                                                 const char *config_id) {
  using Clock = std::chrono::steady_clock;
  CancelledScan out;
  Clock::time_point ended;
  std::thread scanning([&] {
    out.rc = kelmcat_scan(user_id, config_id);
    ended = Clock::now();
  });
  for (int i = 0; i < 400 && srv.stat("stalled") < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  out.stalled = srv.stat("stalled");
  Clock::time_point cancelled = Clock::now();
  kelmcat_cancel();
  scanning.join();
  out.ms = std::chrono::duration<double, std::milli>(ended - cancelled).count();
  return out;
}

}  // namespace httptest

#endif
