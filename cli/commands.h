// The subcommands. Each returns the command's exit status.
#ifndef KELMCAT_CLI_COMMANDS_H
#define KELMCAT_CLI_COMMANDS_H

#include "options.h"

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

int run_scan(const Options &o);
int run_results(const Options &o);
int run_correct(const Options &o);
int run_key(const Options &o);

// Prints "kelmcat: <message>" and, for a usage error, the hint to --help.
int fail(int status, const std::string &message);

// A user id the library accepts in its keys, or a usage error.
bool user_id_usable(const std::string &user);

}  // namespace cli

#endif
