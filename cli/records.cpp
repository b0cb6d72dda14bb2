// kelmcat results, correct and key: reading the stored records, recording a
// user's correction, and the keys of a file.
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "core/json.h"
#include "kelmcat.h"
#include "kelmcat_host.h"
#include "text.h"

namespace cli {

namespace {

// An open vault that was there before: reading or correcting must not
// create an empty database where a mistyped --db points.
class OpenVault {
 public:
  ~OpenVault() {
    kelmcat_shutdown();
    kelhost_vault_close(vault_);
  }

  int open(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      return fail(kExitFailed, "no database at '" + path + "' (a scan creates it)");
    }
    if (kelhost_vault_open(path.c_str(), &vault_) != KELHOST_OK) {
      return fail(kExitFailed, kelhost_last_error());
    }
    return kExitOk;
  }

  const kelmcat_vault *table() const { return kelhost_vault_table(vault_); }

 private:
  kelhost_vault *vault_ = nullptr;
};

std::string user_vault_key(const std::string &user, const std::string &item_key) {
  std::string buf(user.size() + 64, '\0');
  if (kelmcat_user_vault_key(user.c_str(), item_key.c_str(), &buf[0], buf.size()) != KELMCAT_OK) {
    return "";
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

// The part of the user's record keys before the hash.
std::string record_prefix(const std::string &user) {
  static const char kMarker[] = "MatchedIMDbId_";
  std::string key = user_vault_key(user, "k");
  size_t at = key.rfind(kMarker);
  return at == std::string::npos ? "" : key.substr(0, at + sizeof kMarker - 1);
}

// Every key under prefix, handed over as the vault contract says.
bool search(const kelmcat_vault *v, const std::string &prefix, std::vector<std::string> *out) {
  char **keys = nullptr;
  size_t count = 0;
  int32_t rc = v->search_keys(v->ctx, prefix.c_str(), &keys, &count);
  if (keys) {
    for (size_t i = 0; i < count; ++i) {
      if (rc == 0 && keys[i]) out->emplace_back(keys[i]);
      std::free(keys[i]);
    }
    std::free(keys);
  }
  return rc == 0;
}

// 0: *value holds it; > 0: no such key; < 0: failure.
int32_t get(const kelmcat_vault *v, const std::string &key, std::string *value) {
  char *text = nullptr;
  int32_t rc = v->get(v->ctx, key.c_str(), &text);
  if (rc == 0 && text) *value = text;
  std::free(text);
  return rc;
}

struct Record {
  std::string key;  // the file's identity key
  std::string imdb_id;
  int64_t season = -1;
  int64_t episode = -1;
  std::string json;  // compact
};

bool read_record(const std::string &value, Record *r) {
  kj::Doc doc;
  if (!doc.parse(value) || !doc.root().is_obj()) return false;
  kj::Val root = doc.root();
  r->key = std::string(root.get("Key").str());
  r->imdb_id = std::string(root.get("IMDbID").str());
  kj::Val season = root.get("Season");
  kj::Val episode = root.get("Episode");
  if (season.is_sint()) r->season = season.get_sint();
  if (episode.is_sint()) r->episode = episode.get_sint();
  kj::Writer w;
  w.value(root);
  if (!w.ok()) return false;
  r->json = std::string(w.text());
  return true;
}

std::string number_or_dash(int64_t n) {
  return n >= 0 ? std::to_string(n) : "-";
}

void print_table(const std::vector<Record> &records) {
  const char *head[] = {"IMDB ID", "SEASON", "EPISODE", "KEY"};
  std::vector<std::vector<std::string>> rows;
  for (const Record &r : records) {
    rows.push_back({r.imdb_id.empty() ? "-" : printable(r.imdb_id), number_or_dash(r.season),
                    number_or_dash(r.episode), printable(r.key)});
  }
  size_t width[3] = {};
  for (size_t c = 0; c < 3; ++c) {
    width[c] = columns(head[c]);
    for (const auto &row : rows) width[c] = std::max(width[c], columns(row[c]));
  }
  auto line = [&](const std::vector<std::string> &cells) {
    std::string out;
    for (size_t c = 0; c < 3; ++c) out += pad(cells[c], width[c]) + "  ";
    out += cells[3];
    std::printf("%s\n", out.c_str());
  };
  line({head[0], head[1], head[2], head[3]});
  for (const auto &row : rows) line(row);
}

}  // namespace

int run_results(const Options &o) {
  if (!user_id_usable(o.user)) return kExitUsage;
  OpenVault vault;
  int rc = vault.open(o.db);
  if (rc != kExitOk) return rc;
  const kelmcat_vault *v = vault.table();

  std::vector<std::string> keys;
  if (!search(v, record_prefix(o.user), &keys)) {
    return fail(kExitFailed, std::string("reading the records failed: ") + kelhost_last_error());
  }
  std::vector<Record> records;
  size_t unreadable = 0;
  for (const std::string &key : keys) {
    std::string value;
    int32_t got = get(v, key, &value);
    if (got < 0) {
      return fail(kExitFailed, std::string("reading a record failed: ") + kelhost_last_error());
    }
    Record r;
    if (got > 0) continue;  // gone since the search
    if (!read_record(value, &r)) {
      ++unreadable;
      continue;
    }
    records.push_back(std::move(r));
  }
  std::sort(records.begin(), records.end(),
            [](const Record &a, const Record &b) { return a.key < b.key; });

  if (o.json) {
    for (const Record &r : records) std::printf("%s\n", r.json.c_str());
  } else if (records.empty()) {
    std::fprintf(stderr, "no records of user '%s' in '%s'\n", printable(o.user).c_str(),
                 printable(o.db).c_str());
  } else {
    print_table(records);
  }
  if (unreadable > 0) {
    std::fprintf(stderr, "kelmcat: %zu stored value%s not a JSON record; left out\n", unreadable,
                 unreadable == 1 ? " is" : "s are");
  }
  return kExitOk;
}

int run_correct(const Options &o) {
  if (!user_id_usable(o.user)) return kExitUsage;
  const std::string &item_key = o.args[0];
  const std::string &imdb_id = o.args[1];
  OpenVault vault;
  int rc = vault.open(o.db);
  if (rc != kExitOk) return rc;
  const kelmcat_vault *v = vault.table();
  if (kelmcat_set_vault(v) != KELMCAT_OK) return fail(kExitFailed, kelmcat_last_error());
  kelmcat_arm_writes(1);
  if (kelmcat_set_correction_for(o.user.c_str(), item_key.c_str(), imdb_id.c_str()) != KELMCAT_OK) {
    return fail(kExitFailed, std::string("correction failed: ") + kelmcat_last_error());
  }
  std::printf("correction recorded: %s -> %s (used by the next scan)\n",
              printable(item_key).c_str(), imdb_id.c_str());
  std::string value;
  if (get(v, user_vault_key(o.user, item_key), &value) > 0) {
    std::fprintf(stderr,
                 "note: user '%s' has no record with this key yet; a scan that meets the file "
                 "will use the correction\n",
                 printable(o.user).c_str());
  }
  return kExitOk;
}

int run_key(const Options &o) {
  if (!user_id_usable(o.user)) return kExitUsage;
  // Paths inside the scanned folder, as the scan names them: without
  // leading or trailing separators.
  std::string path = o.args[0];
  size_t first = path.find_first_not_of("/\\");
  path = first == std::string::npos ? "" : path.substr(first);
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  int64_t size = std::strtoll(o.args[1].c_str(), nullptr, 10);

  std::string identity(path.size() + 32, '\0');
  if (kelmcat_derive_key(path.c_str(), size, &identity[0], identity.size()) != KELMCAT_OK) {
    return fail(kExitFailed, kelmcat_last_error());
  }
  identity.resize(std::char_traits<char>::length(identity.c_str()));
  std::string record(o.user.size() + 64, '\0');
  std::string correction(o.user.size() + 64, '\0');
  if (kelmcat_user_vault_key(o.user.c_str(), identity.c_str(), &record[0], record.size()) !=
          KELMCAT_OK ||
      kelmcat_user_correction_key(o.user.c_str(), identity.c_str(), &correction[0],
                                  correction.size()) != KELMCAT_OK) {
    return fail(kExitFailed, kelmcat_last_error());
  }
  std::printf("identity key    %s\n", identity.c_str());
  std::printf("record key      %s\n", record.c_str());
  std::printf("correction key  %s\n", correction.c_str());
  return kExitOk;
}

}  // namespace cli
