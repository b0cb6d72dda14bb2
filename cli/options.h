// The command line of kelmcat: subcommands, options and their checks.
#ifndef KELMCAT_CLI_OPTIONS_H
#define KELMCAT_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Command { none, help, version, scan, results, correct, key };

struct Options {
  Command command = Command::none;
  std::vector<std::string> args;  // the subcommand's operands

  std::string db = "kelmcat.db";
  std::string user = "local";
  std::string config = "default";

  // Where the answers come from: the built-in HTTPS client or a file.
  std::string matcher;
  std::string media_index;
  std::string catalogue;
  std::string ca_file;
  std::string queue_credential;
  bool have_queue_credential = false;
  std::string answers;

  bool add_new_only = false;
  bool correct = false;
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  int32_t max_depth = 0;  // 0: the library's own
  std::vector<std::string> extensions;
  bool follow_symlinks = false;
  bool quiet = false;
  bool json = false;
};

// What parse() found: options, or a usage error to print with a hint.
struct Parsed {
  Options options;
  std::string error;  // empty when the command line is usable
};

Parsed parse(int argc, const char *const *argv);

// The text of --help.
const char *usage_text();

}  // namespace cli

#endif
