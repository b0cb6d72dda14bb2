// kelmcat: scans folders of the local disk into a SQLite vault.
#include <cstdio>
#include <new>
#include <string>

#include "commands.h"
#include "kelmcat.h"
#include "options.h"

namespace cli {

int fail(int status, const std::string &message) {
  std::fprintf(stderr, "kelmcat: %s\n", message.c_str());
  if (status == kExitUsage) std::fprintf(stderr, "Try 'kelmcat --help' for more information.\n");
  return status;
}

bool user_id_usable(const std::string &user) {
  // The header promises that the user id's length plus 50 bytes suffice.
  std::string buf(user.size() + 64, '\0');
  if (kelmcat_user_vault_key(user.c_str(), "k", &buf[0], buf.size()) != KELMCAT_OK) {
    fail(kExitUsage, "--user: " + std::string(kelmcat_last_error()));
    return false;
  }
  return true;
}

namespace {

int run(int argc, char **argv) {
  Parsed p = parse(argc, argv);
  if (!p.error.empty()) return fail(kExitUsage, p.error);
  const Options &o = p.options;
  switch (o.command) {
    case Command::help:
      std::fputs(usage_text(), stdout);
      return kExitOk;
    case Command::version:
      std::printf("kelmcat %s\n", kelmcat_version());
      return kExitOk;
    case Command::scan:
      return run_scan(o);
    case Command::results:
      return run_results(o);
    case Command::correct:
      return run_correct(o);
    case Command::key:
      return run_key(o);
    case Command::none:
      break;
  }
  return fail(kExitUsage, "missing subcommand");
}

}  // namespace

}  // namespace cli

int main(int argc, char **argv) {
  try {
    return cli::run(argc, argv);
  } catch (const std::bad_alloc &) {
    return cli::fail(cli::kExitFailed, "out of memory");
  }
}
