// Parsing of the command line. Every mistake becomes one message; the caller
// prints it with a hint to --help and exits with the usage code.
#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

// Which subcommands take an option.
enum : unsigned {
  kScan = 1u << 0,
  kResults = 1u << 1,
  kCorrect = 1u << 2,
  kKey = 1u << 3,
};

enum class Opt {
  db,
  user,
  config,
  matcher,
  media_index,
  catalogue,
  ca_file,
  queue_credential,
  answers,
  add_new_only,
  correct,
  include,
  exclude,
  max_depth,
  extensions,
  follow_symlinks,
  quiet,
  json,
};

struct OptionSpec {
  const char *name;  // without the leading "--"
  Opt opt;
  bool takes_value;
  unsigned commands;
};

constexpr OptionSpec kOptions[] = {
    {"db", Opt::db, true, kScan | kResults | kCorrect},
    {"user", Opt::user, true, kScan | kResults | kCorrect | kKey},
    {"config", Opt::config, true, kScan},
    {"matcher", Opt::matcher, true, kScan},
    {"media-index", Opt::media_index, true, kScan},
    {"catalogue", Opt::catalogue, true, kScan},
    {"ca-file", Opt::ca_file, true, kScan},
    {"queue-credential", Opt::queue_credential, true, kScan},
    {"answers", Opt::answers, true, kScan},
    {"add-new-only", Opt::add_new_only, false, kScan},
    {"correct", Opt::correct, false, kScan},
    {"include", Opt::include, true, kScan},
    {"exclude", Opt::exclude, true, kScan},
    {"max-depth", Opt::max_depth, true, kScan},
    {"extensions", Opt::extensions, true, kScan},
    {"follow-symlinks", Opt::follow_symlinks, false, kScan},
    {"quiet", Opt::quiet, false, kScan},
    {"json", Opt::json, false, kScan | kResults},
};

struct CommandSpec {
  const char *name;
  Command command;
  unsigned bit;
  size_t operands;
  const char *operand_names;
};

constexpr CommandSpec kCommands[] = {
    {"scan", Command::scan, kScan, 1, "DIR"},
    {"results", Command::results, kResults, 0, ""},
    {"correct", Command::correct, kCorrect, 2, "ITEM_KEY IMDB_ID"},
    {"key", Command::key, kKey, 2, "PATH SIZE"},
};

// The deepest level the library accepts for --max-depth.
constexpr int32_t kMaxDepthLimit = 4096;
// An extension with its dot, as the library derives it from a name.
constexpr size_t kMaxExtensionBytes = 63;

const OptionSpec *find_option(const std::string &name) {
  for (const OptionSpec &o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

bool parse_depth(const std::string &text, int32_t *out) {
  if (text.empty() || text.size() > 9) return false;
  int32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > kMaxDepthLimit) return false;
  *out = n;
  return true;
}

// "mkv,.MP4" -> {".mkv", ".mp4"}: the library compares lower-case extensions
// with their dot, so they are written that way whatever the user typed.
std::string parse_extensions(const std::string &text, std::vector<std::string> *out) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (item.empty() || item == ".") return "--extensions: empty entry in '" + text + "'";
    if (item[0] != '.') item.insert(item.begin(), '.');
    for (char &c : item) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c == '/') return "--extensions: '" + item + "' holds a '/'";
    }
    if (item.find('.', 1) != std::string::npos) {
      return "--extensions: '" + item + "' holds more than one dot";
    }
    if (item.size() > kMaxExtensionBytes) {
      return "--extensions: '" + item + "' is longer than 63 bytes";
    }
    out->push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return "";
}

class Parser {
 public:
  Parser(int argc, const char *const *argv) : argc_(argc), argv_(argv) {}

  Parsed run() {
    Parsed p;
    p.error = parse_all(&p.options);
    return p;
  }

 private:
  std::string parse_all(Options *o) {
    if (argc_ < 2) return "missing subcommand";
    std::string first = argv_[1];
    if (first == "--help" || first == "-h" || first == "help") {
      o->command = Command::help;
      return "";
    }
    if (first == "--version") {
      o->command = Command::version;
      return "";
    }
    const CommandSpec *cmd = nullptr;
    for (const CommandSpec &c : kCommands) {
      if (first == c.name) cmd = &c;
    }
    if (!cmd) {
      if (!first.empty() && first[0] == '-') return "expected a subcommand before '" + first + "'";
      return "unknown subcommand '" + first + "'";
    }
    o->command = cmd->command;

    bool operands_only = false;
    for (int i = 2; i < argc_; ++i) {
      std::string arg = argv_[i];
      // "-1" is the SIZE of a file of unknown size, not an option.
      bool negative_number = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
      if (operands_only || arg.size() < 2 || arg[0] != '-' || negative_number) {
        o->args.push_back(arg);
        continue;
      }
      if (arg == "--") {
        operands_only = true;
        continue;
      }
      if (arg == "--help" || arg == "-h") {
        o->command = Command::help;
        return "";
      }
      if (arg == "--version") {
        o->command = Command::version;
        return "";
      }
      if (arg.compare(0, 2, "--") != 0) return "unknown option '" + arg + "'";
      std::string name = arg.substr(2);
      std::string value;
      bool inline_value = false;
      size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        inline_value = true;
      }
      const OptionSpec *spec = find_option(name);
      if (!spec) return "unknown option '--" + name + "'";
      if (!(spec->commands & cmd->bit)) {
        return "option '--" + name + "' does not apply to '" + cmd->name + "'";
      }
      if (spec->takes_value && !inline_value) {
        if (i + 1 >= argc_) return "option '--" + name + "' needs a value";
        value = argv_[++i];
      } else if (!spec->takes_value && inline_value) {
        return "option '--" + name + "' takes no value";
      }
      std::string err = apply(*spec, value, o);
      if (!err.empty()) return err;
    }
    if (o->args.size() != cmd->operands) {
      std::string want = cmd->operands ? std::string(" ") + cmd->operand_names : "";
      if (o->args.size() < cmd->operands) {
        return std::string("missing operand: usage: kelmcat ") + cmd->name + want;
      }
      return "unexpected operand '" + o->args[cmd->operands] + "'";
    }
    return check(*cmd, o);
  }

  // Options given once at most.
  std::string once(Opt opt, const std::string &name) {
    unsigned bit = 1u << static_cast<unsigned>(opt);
    if (seen_ & bit) return "option '--" + name + "' given twice";
    seen_ |= bit;
    return "";
  }

  static std::string non_empty(const std::string &name, const std::string &value) {
    return value.empty() ? "option '--" + name + "' needs a non-empty value" : "";
  }

  std::string apply(const OptionSpec &spec, const std::string &value, Options *o) {
    const std::string name = spec.name;
    if (spec.opt != Opt::include && spec.opt != Opt::exclude) {
      std::string err = once(spec.opt, name);
      if (!err.empty()) return err;
    }
    if (spec.takes_value && spec.opt != Opt::queue_credential) {
      std::string err = non_empty(name, value);
      if (!err.empty()) return err;
    }
    switch (spec.opt) {
      case Opt::db:
        o->db = value;
        break;
      case Opt::user:
        o->user = value;
        break;
      case Opt::config:
        o->config = value;
        break;
      case Opt::matcher:
        o->matcher = value;
        break;
      case Opt::media_index:
        o->media_index = value;
        break;
      case Opt::catalogue:
        o->catalogue = value;
        break;
      case Opt::ca_file:
        o->ca_file = value;
        break;
      case Opt::queue_credential:
        o->queue_credential = value;
        o->have_queue_credential = true;
        break;
      case Opt::answers:
        o->answers = value;
        break;
      case Opt::add_new_only:
        o->add_new_only = true;
        break;
      case Opt::correct:
        o->correct = true;
        break;
      case Opt::include:
        o->include.push_back(value);
        break;
      case Opt::exclude:
        o->exclude.push_back(value);
        break;
      case Opt::max_depth:
        if (!parse_depth(value, &o->max_depth)) {
          return "option '--max-depth' needs a whole number from 1 to 4096, not '" + value + "'";
        }
        break;
      case Opt::extensions:
        return parse_extensions(value, &o->extensions);
      case Opt::follow_symlinks:
        o->follow_symlinks = true;
        break;
      case Opt::quiet:
        o->quiet = true;
        break;
      case Opt::json:
        o->json = true;
        break;
    }
    return "";
  }

  static std::string check(const CommandSpec &cmd, Options *o) {
    if (cmd.command == Command::scan) {
      if (!o->matcher.empty() && !o->answers.empty()) {
        return "options '--matcher' and '--answers' exclude each other";
      }
      if (o->matcher.empty() && o->answers.empty()) {
        return "scan needs '--matcher URL' or '--answers FILE'";
      }
      if (o->matcher.empty()) {
        const char *client_only[] = {"media-index", "catalogue", "ca-file", "queue-credential"};
        const bool given[] = {!o->media_index.empty(), !o->catalogue.empty(), !o->ca_file.empty(),
                              o->have_queue_credential};
        for (size_t i = 0; i < 4; ++i) {
          if (given[i]) return std::string("option '--") + client_only[i] + "' needs '--matcher'";
        }
      }
      if (o->media_index.empty() != o->catalogue.empty()) {
        return "options '--media-index' and '--catalogue' go together";
      }
    }
    if (cmd.command == Command::key) {
      const std::string &size = o->args[1];
      errno = 0;
      char *end = nullptr;
      long long n = std::strtoll(size.c_str(), &end, 10);
      bool digits = !size.empty() && (size[0] == '-' || (size[0] >= '0' && size[0] <= '9'));
      if (!digits || *end != '\0' || errno == ERANGE || n < -1) {
        return "SIZE must be a size in bytes (or -1 when unknown), not '" + size + "'";
      }
    }
    if (cmd.command == Command::correct) {
      const std::string &id = o->args[1];
      bool ok = id.size() > 2 && id.compare(0, 2, "tt") == 0;
      for (size_t i = 2; ok && i < id.size(); ++i) ok = id[i] >= '0' && id[i] <= '9';
      if (!ok) return "IMDB_ID must look like tt0113277, not '" + id + "'";
      if (o->args[0].empty()) return "ITEM_KEY must not be empty";
    }
    return "";
  }

  int argc_;
  const char *const *argv_;
  unsigned seen_ = 0;
};

}  // namespace

Parsed parse(int argc, const char *const *argv) {
  return Parser(argc, argv).run();
}

const char *usage_text() {
  return "usage: kelmcat scan DIR (--matcher URL | --answers FILE) [options]\n"
         "       kelmcat results [--db FILE] [--user ID] [--json]\n"
         "       kelmcat correct ITEM_KEY IMDB_ID [--db FILE] [--user ID]\n"
         "       kelmcat key PATH SIZE [--user ID]\n"
         "       kelmcat --help | --version\n"
         "\n"
         "Scans the video files of a folder into a SQLite database of records,\n"
         "finding each file's IMDb id through a title-matching service or a file\n"
         "of offline answers.\n"
         "\n"
         "Commands:\n"
         "  scan DIR          categorize the video files under DIR\n"
         "  results           list the user's stored records\n"
         "  correct KEY ID    record the user's choice of IMDb id for a file, by its\n"
         "                    identity key (see 'results' or 'key'); the next scan uses it\n"
         "  key PATH SIZE     print the identity, record and correction keys of a file\n"
         "                    (PATH inside the scanned folder, SIZE in bytes)\n"
         "\n"
         "Common options:\n"
         "  --db FILE         the database (default: kelmcat.db in the current folder)\n"
         "  --user ID         the user whose records these are (default: local)\n"
         "  --json            scan: print the result document on stdout;\n"
         "                    results: one JSON record a line\n"
         "\n"
         "Where the answers come from (scan, one of):\n"
         "  --matcher URL     the title-matching service (https://...), through the\n"
         "                    built-in HTTPS client\n"
         "  --answers FILE    a JSON file of offline answers\n"
         "With --matcher:\n"
         "  --media-index URL --catalogue URL\n"
         "                    base URLs of the media-index and catalogue services\n"
         "                    (given together)\n"
         "  --ca-file FILE    PEM bundle to verify the services with (default: the\n"
         "                    system's CA store)\n"
         "  --queue-credential TEXT\n"
         "                    credential of the scan-complete notification\n"
         "\n"
         "Scan options:\n"
         "  --config ID       runtime configuration id (default: default)\n"
         "  --add-new-only    skip files the media index already holds\n"
         "  --correct         only files with a correction\n"
         "  --include PATH    scan only files under PATH (inside DIR; repeatable)\n"
         "  --exclude PATH    skip PATH (inside DIR; repeatable; wins over --include)\n"
         "  --max-depth N     deepest folder level to enter, 1 to 4096 (DIR is level 0);\n"
         "                    a deeper folder ends the scan\n"
         "  --extensions LIST video extensions, comma-separated (e.g. mkv,mp4), in place\n"
         "                    of the built-in list\n"
         "  --follow-symlinks follow symbolic links (a folder reached twice is walked once)\n"
         "  --quiet           no live status line\n"
         "\n"
         "Exit status: 0 success, 1 the scan or the database failed, 2 usage error,\n"
         "130 cancelled (Ctrl-C or SIGTERM; the records written so far are kept).\n";
}

}  // namespace cli
