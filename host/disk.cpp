// The disk backend: one folder of the local file system served as a
// kelffa_backend. The configured root folder is "/" of the namespace; a
// namespace path is resolved one segment at a time from the root's descriptor,
// so that ".." and (unless links are followed) symbolic links can never lead
// outside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/json.h"
#include "disk_internal.h"
#include "host_internal.h"

namespace {

// Entries read between two looks at the cancel flag.
constexpr unsigned kCancelEvery = 64;

struct disk_entry {
  std::string name;
  int32_t is_folder;
  int64_t size;      // -1 for a folder
  int64_t mtime_ms;  // -1 when the time cannot be told in milliseconds since 1970
};

struct dev_ino {
  dev_t dev;
  ino_t ino;
  bool operator==(const dev_ino &o) const { return dev == o.dev && ino == o.ino; }
};

struct dev_ino_hash {
  size_t operator()(const dev_ino &k) const noexcept {
    uint64_t h = static_cast<uint64_t>(k.dev) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<uint64_t>(k.ino) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

struct disk_session {
  bool open = false;
  bool follow = false;
  int root_fd = -1;
  std::string root_real;  // absolute path of the root, symbolic links resolved

  // The folder being paged: its sorted entries stay until another folder is
  // listed, so the pages of one listing never re-read the folder.
  bool have_listing = false;
  std::string listing_path;  // cleaned namespace path
  std::vector<disk_entry> entries;
  std::string cursor;     // handed out as next_cursor: the last name returned
  size_t next_index = 0;  // where the page after that cursor starts

  std::vector<std::string> page_paths;  // paths of the last page's records
  std::string stat_name, stat_path;     // strings of the last stat record

  // Folders listed in this session (with follow_symlinks): which namespace
  // path reached each one first.
  std::unordered_map<dev_ino, std::string, dev_ino_hash> visited;
};

disk_session s_disk;

// Folders that could not be read since the last open, in the order met. A
// deque never moves its elements, so texts handed out stay where they are.
std::deque<std::string> s_unreadable;
std::unordered_set<std::string_view> s_unreadable_seen;

bool cancel_raised(const kelffa_page *page) {
  return page->cancel && __atomic_load_n(page->cancel, __ATOMIC_RELAXED) != 0;
}

// Closes a descriptor without disturbing errno.
void close_keep_errno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// Closes a descriptor when it goes out of scope, unless released.
struct fd_guard {
  int fd;
  explicit fd_guard(int f) : fd(f) {}
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};

void note_unreadable(const std::string &path) {
  if (s_unreadable_seen.count(path)) return;
  s_unreadable.push_back(path);
  try {
    s_unreadable_seen.insert(s_unreadable.back());
  } catch (...) {
    s_unreadable.pop_back();
    throw;
  }
}

void forget_unreadable() {
  s_unreadable_seen.clear();
  s_unreadable.clear();
  std::deque<std::string>().swap(s_unreadable);
}

int64_t mtime_ms_of(const struct stat &st) {
  int64_t sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  if (sec < 0 || sec > INT64_MAX / 1000 - 1) return -1;
  return sec * 1000 + static_cast<int64_t>(st.st_mtim.tv_nsec) / 1000000;
}

// A namespace path split into its segments, and its cleaned form ("/" and the
// segments joined by single slashes). Empty and "." segments are dropped.
struct ns_path {
  std::vector<std::string> segs;
  std::string clean;
};

// Refuses a path that does not start with '/' or holds a ".." segment.
int32_t parse_path(const char *path, ns_path *out) {
  if (!path) {
    kelhost_set_error("disk: path is NULL");
    return KELFFA_ERR_INVALID_ARG;
  }
  if (path[0] != '/') {
    kelhost_set_error("disk: path '%.256s' does not start with '/'", path);
    return KELFFA_ERR_INVALID_ARG;
  }
  out->segs.clear();
  out->clean.assign("/");
  std::string_view rest(path);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view seg = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      kelhost_set_error("disk: path '%.256s' holds a '..' segment", path);
      return KELFFA_ERR_INVALID_ARG;
    }
    if (out->clean.size() > 1) out->clean.push_back('/');
    out->clean.append(seg);
    out->segs.emplace_back(seg);
  }
  return 0;
}

int32_t code_of_errno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return KELFFA_ERR_NOT_FOUND;
    case EACCES:
    case EPERM:
      return KELFFA_ERR_ACCESS;
    case ENOMEM:
      return KELFFA_ERR_OOM;
    case ENAMETOOLONG:
      return KELFFA_ERR_INVALID_ARG;
    default:
      return KELFFA_ERR_TRANSPORT;
  }
}

// Walks the first n segments from the root and returns a descriptor of the
// folder reached (which the caller closes), or -1 with errno. The folders are
// opened for lookup only, so one that may be searched but not read is crossed.
int open_prefix(const ns_path &p, size_t n) {
  const int nofollow = s_disk.follow ? 0 : O_NOFOLLOW;
  int fd = openat(s_disk.root_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; fd >= 0 && i < n; ++i) {
    int next = openat(fd, p.segs[i].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow);
    close_keep_errno(fd);
    fd = next;
  }
  return fd;
}

// Looks up the entry a namespace path names (the root for "/"). Without
// follow_symlinks a symbolic link is not part of the namespace. Returns 0, or
// a code with the message recorded.
int32_t lookup(const ns_path &p, struct stat *st) {
  int rc;
  if (p.segs.empty()) {
    rc = fstat(s_disk.root_fd, st);
  } else {
    int parent = open_prefix(p, p.segs.size() - 1);
    if (parent < 0) {
      rc = -1;
    } else {
      rc = fstatat(parent, p.segs.back().c_str(), st, s_disk.follow ? 0 : AT_SYMLINK_NOFOLLOW);
      close_keep_errno(parent);
    }
  }
  if (rc != 0) {
    int32_t code = code_of_errno(errno);
    kelhost_set_error("disk: '%.256s': %s", p.clean.c_str(), std::strerror(errno));
    return code;
  }
  if (!S_ISDIR(st->st_mode) && !S_ISREG(st->st_mode)) {
    kelhost_set_error("disk: '%.256s' is neither a file nor a folder", p.clean.c_str());
    return KELFFA_ERR_NOT_FOUND;
  }
  return 0;
}

// Reads the folder behind the descriptor (which it takes over) into out, sorted
// by name in byte order. Entries that are neither files nor folders, and
// symbolic links that are not followed or lead nowhere, are left out. Returns
// 0, KELFFA_ERR_ACCESS when the entries cannot be examined, or another code.
int32_t read_folder(int fd, const kelffa_page *page, std::vector<disk_entry> *out) {
  std::unique_ptr<DIR, dir_closer> owner(fdopendir(fd));
  DIR *dir = owner.get();
  if (!dir) {
    int32_t code = code_of_errno(errno);
    close_keep_errno(fd);
    return code;
  }
  int dfd = dirfd(dir);
  int32_t rc = 0;
  unsigned seen = 0;
  for (;;) {
    if (++seen % kCancelEvery == 0 && cancel_raised(page)) {
      rc = KELFFA_ERR_CANCELLED;
      break;
    }
    errno = 0;
    struct dirent *de = readdir(dir);
    if (!de) {
      if (errno != 0) rc = code_of_errno(errno);
      break;
    }
    const char *name = de->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (de->d_type == DT_LNK && !s_disk.follow) continue;
    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed while being listed
      rc = code_of_errno(errno);
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      if (!s_disk.follow) continue;
      if (fstatat(dfd, name, &st, 0) != 0) continue;  // dangling, or a loop of links
    }
    if (S_ISDIR(st.st_mode)) {
      out->push_back({name, 1, -1, mtime_ms_of(st)});
    } else if (S_ISREG(st.st_mode)) {
      out->push_back({name, 0, static_cast<int64_t>(st.st_size), mtime_ms_of(st)});
    }
  }
  owner.reset();
  if (rc == 0)
    std::sort(out->begin(), out->end(),
              [](const disk_entry &a, const disk_entry &b) { return a.name < b.name; });
  return rc;
}

// Makes p the folder being paged: opens and reads it. A folder that may not be
// read becomes an empty listing and is remembered; with follow_symlinks, so
// does a folder already reached through another namespace path.
int32_t load_listing(const ns_path &p, const kelffa_page *page) {
  s_disk.have_listing = false;
  s_disk.entries.clear();
  s_disk.cursor.clear();
  s_disk.next_index = 0;

  const int nofollow = s_disk.follow ? 0 : O_NOFOLLOW;
  int fd;
  if (p.segs.empty()) {
    fd = openat(s_disk.root_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    int parent = open_prefix(p, p.segs.size() - 1);
    fd = parent < 0
             ? -1
             : openat(parent, p.segs.back().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow);
    if (fd < 0 && errno == ENOTDIR && parent >= 0) {
      // A file is not a folder; a link that is not followed is not there.
      struct stat st;
      if (fstatat(parent, p.segs.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(st.st_mode)) {
        close(parent);
        kelhost_set_error("disk: '%.256s' is not a folder", p.clean.c_str());
        return KELFFA_ERR_INVALID_ARG;
      }
      errno = ENOTDIR;
    }
    if (parent >= 0) close_keep_errno(parent);
  }

  int32_t rc = 0;
  if (fd < 0) {
    rc = code_of_errno(errno);
    if (rc != KELFFA_ERR_ACCESS) {
      kelhost_set_error("disk: cannot open folder '%.256s': %s", p.clean.c_str(),
                        std::strerror(errno));
      return rc;
    }
  } else {
    fd_guard guard(fd);
    struct stat st;
    bool again = false;
    if (s_disk.follow && fstat(fd, &st) == 0) {
      auto ins = s_disk.visited.emplace(dev_ino{st.st_dev, st.st_ino}, p.clean);
      again = !ins.second && ins.first->second != p.clean;
    }
    if (!again) {
      rc = read_folder(guard.release(), page, &s_disk.entries);
      if (rc == KELFFA_ERR_CANCELLED) {
        s_disk.entries.clear();
        return rc;
      }
      if (rc != 0 && rc != KELFFA_ERR_ACCESS) {
        s_disk.entries.clear();
        kelhost_set_error("disk: cannot read folder '%.256s': %s", p.clean.c_str(),
                          kelffa_strerror(rc));
        return rc;
      }
    }
  }
  if (rc == KELFFA_ERR_ACCESS) {
    s_disk.entries.clear();
    note_unreadable(p.clean);
  }
  s_disk.listing_path = p.clean;
  s_disk.have_listing = true;
  return 0;
}

// Index of the first entry after the one the cursor names.
size_t resume_at(const char *cursor) {
  if (s_disk.next_index > 0 && s_disk.cursor == cursor) return s_disk.next_index;
  std::string_view c(cursor);
  auto it = std::upper_bound(s_disk.entries.begin(), s_disk.entries.end(), c,
                             [](std::string_view v, const disk_entry &e) { return v < e.name; });
  return static_cast<size_t>(it - s_disk.entries.begin());
}

void close_session() {
  if (s_disk.root_fd >= 0) close(s_disk.root_fd);
  disk_session empty;
  std::swap(s_disk, empty);
}

// ---- The backend's operations ----------------------------------------------

int32_t disk_open_impl(const char *config) {
  close_session();
  forget_unreadable();
  if (!config) config = "{}";
  kj::Doc doc;
  if (!doc.parse(config, std::strlen(config)) || !doc.root().is_obj()) {
    kelhost_set_error("disk: the configuration must be a JSON object");
    return KELFFA_ERR_BAD_CONFIG;
  }
  kj::Val root = doc.root();
  bool have_root = false, have_follow = false, follow = false;
  std::string root_path;
  for (size_t i = 0; i < root.size(); ++i) {
    std::string_view key = root.key_at(i);
    kj::Val v = root.val_at(i);
    if (key == "root") {
      if (have_root) {
        kelhost_set_error("disk: \"root\" is given twice");
        return KELFFA_ERR_BAD_CONFIG;
      }
      if (!v.is_str()) {
        kelhost_set_error("disk: \"root\" must be a text");
        return KELFFA_ERR_BAD_CONFIG;
      }
      have_root = true;
      root_path.assign(v.str());
    } else if (key == "follow_symlinks") {
      if (have_follow) {
        kelhost_set_error("disk: \"follow_symlinks\" is given twice");
        return KELFFA_ERR_BAD_CONFIG;
      }
      if (!v.is_bool()) {
        kelhost_set_error("disk: \"follow_symlinks\" must be true or false");
        return KELFFA_ERR_BAD_CONFIG;
      }
      have_follow = true;
      follow = v.get_bool();
    } else {
      kelhost_set_error("disk: unknown member \"%.*s\" (known: \"root\", \"follow_symlinks\")",
                        static_cast<int>(std::min<size_t>(key.size(), 64)), key.data());
      return KELFFA_ERR_BAD_CONFIG;
    }
  }
  if (!have_root) {
    kelhost_set_error("disk: the configuration needs \"root\", an absolute folder path");
    return KELFFA_ERR_BAD_CONFIG;
  }
  if (root_path.empty() || root_path[0] != '/' || root_path.find('\0') != std::string::npos) {
    kelhost_set_error("disk: root '%.256s' is not an absolute path", root_path.c_str());
    return KELFFA_ERR_BAD_CONFIG;
  }
  int fd = open(root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const char *why = errno == ENOTDIR ? "is not a folder" : std::strerror(errno);
    kelhost_set_error("disk: root '%.256s': %s", root_path.c_str(), why);
    return KELFFA_ERR_BAD_CONFIG;
  }
  char *real = realpath(root_path.c_str(), nullptr);
  if (!real) {
    int err = errno;
    kelhost_set_error("disk: root '%.256s': %s", root_path.c_str(), std::strerror(err));
    close(fd);
    return err == ENOMEM ? KELFFA_ERR_OOM : KELFFA_ERR_BAD_CONFIG;
  }
  try {
    s_disk.root_real.assign(real);
  } catch (...) {
    std::free(real);
    close(fd);
    throw;
  }
  std::free(real);
  s_disk.root_fd = fd;
  s_disk.follow = follow;
  s_disk.open = true;
  return 0;
}

int32_t disk_list_impl(const char *folder, kelffa_page *page) {
  if (!s_disk.open) return KELFFA_ERR_NOT_OPEN;
  if (!page || !page->items || page->cap == 0) return KELFFA_ERR_INVALID_ARG;
  ns_path p;
  int32_t rc = parse_path(folder, &p);
  if (rc != 0) return rc;
  const bool resume = page->cursor && *page->cursor;
  if (!resume || !s_disk.have_listing || s_disk.listing_path != p.clean) {
    rc = load_listing(p, page);
    if (rc != 0) return rc;
  }
  const std::vector<disk_entry> &all = s_disk.entries;
  size_t start = resume ? resume_at(page->cursor) : 0;
  if (start > all.size()) start = all.size();
  size_t n = all.size() - start;
  if (n > page->cap) n = static_cast<size_t>(page->cap);

  const std::string prefix = p.segs.empty() ? "/" : p.clean + "/";
  s_disk.page_paths.clear();
  s_disk.page_paths.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (i % kCancelEvery == kCancelEvery - 1 && cancel_raised(page)) return KELFFA_ERR_CANCELLED;
    const disk_entry &e = all[start + i];
    s_disk.page_paths[i].reserve(prefix.size() + e.name.size());
    s_disk.page_paths[i].assign(prefix).append(e.name);
  }
  for (size_t i = 0; i < n; ++i) {
    const disk_entry &e = all[start + i];
    kelffa_item *it = &page->items[i];
    it->name = e.name.c_str();
    it->path = s_disk.page_paths[i].c_str();
    it->is_folder = e.is_folder;
    it->fields = 0;
    if (e.size >= 0) {
      it->size = e.size;
      it->fields |= F_SIZE;
    }
    if (e.mtime_ms >= 0) {
      it->mtime_ms = e.mtime_ms;
      it->fields |= F_MTIME;
    }
  }
  page->count = n;
  if (start + n < all.size()) {
    s_disk.cursor = all[start + n - 1].name;
    s_disk.next_index = start + n;
    page->more = 1;
    page->next_cursor = s_disk.cursor.c_str();
  } else {
    page->more = 0;
    page->next_cursor = nullptr;
  }
  return 0;
}

int32_t disk_stat_impl(const char *path, kelffa_item *item) {
  if (!s_disk.open) return KELFFA_ERR_NOT_OPEN;
  if (!item) return KELFFA_ERR_INVALID_ARG;
  ns_path p;
  int32_t rc = parse_path(path, &p);
  if (rc != 0) return rc;
  struct stat st;
  rc = lookup(p, &st);
  if (rc != 0) return rc;
  s_disk.stat_name = p.segs.empty() ? std::string() : p.segs.back();
  s_disk.stat_path = p.clean;
  item->name = s_disk.stat_name.c_str();
  item->path = s_disk.stat_path.c_str();
  item->is_folder = S_ISDIR(st.st_mode) ? 1 : 0;
  item->fields = 0;
  if (!S_ISDIR(st.st_mode)) {
    item->size = static_cast<int64_t>(st.st_size);
    item->fields |= F_SIZE;
  }
  int64_t ms = mtime_ms_of(st);
  if (ms >= 0) {
    item->mtime_ms = ms;
    item->fields |= F_MTIME;
  }
  return 0;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

int32_t disk_locator_impl(const char *path, char *buf, uint64_t size) {
  if (!s_disk.open) return KELFFA_ERR_NOT_OPEN;
  if (!buf || size == 0) return KELFFA_ERR_INVALID_ARG;
  ns_path p;
  int32_t rc = parse_path(path, &p);
  if (rc != 0) return rc;
  struct stat st;
  rc = lookup(p, &st);
  if (rc != 0) return rc;
  std::string abs = s_disk.root_real;
  if (!p.segs.empty()) {
    if (abs.size() == 1) abs.clear();  // the root is "/" itself
    abs.append(p.clean);
  }
  if (s_disk.follow && !p.segs.empty()) {
    // The path may pass through links: the locator names where it leads.
    char *real = realpath(abs.c_str(), nullptr);
    if (real) {
      try {
        abs.assign(real);
      } catch (...) {
        std::free(real);
        throw;
      }
      std::free(real);
    }
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  out.reserve(out.size() + abs.size() * 3);
  for (char ch : abs) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (unreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  if (out.size() + 1 > size) {
    kelhost_set_error("disk: the locator of '%.256s' needs %zu bytes, the buffer has %llu",
                      p.clean.c_str(), out.size() + 1, static_cast<unsigned long long>(size));
    return KELFFA_ERR_INVALID_ARG;
  }
  std::memcpy(buf, out.c_str(), out.size() + 1);
  return 0;
}

// Every operation keeps exceptions on this side of the C boundary.
template <typename F>
int32_t guarded(F f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    kelhost_set_error("disk: out of memory");
    return KELFFA_ERR_OOM;
  } catch (...) {
    kelhost_set_error("disk: unexpected failure");
    return KELFFA_ERR_TRANSPORT;
  }
}

int32_t disk_open(void *, const char *config) {
  return guarded([&] { return disk_open_impl(config); });
}

int32_t disk_list(void *, const char *folder, kelffa_page *page) {
  return guarded([&] { return disk_list_impl(folder, page); });
}

int32_t disk_stat(void *, const char *path, kelffa_item *item) {
  return guarded([&] { return disk_stat_impl(path, item); });
}

int32_t disk_locator(void *, const char *path, char *buf, uint64_t size) {
  return guarded([&] { return disk_locator_impl(path, buf, size); });
}

void disk_close(void *) {
  try {
    close_session();
  } catch (...) {
  }
}

}  // namespace

const kelffa_backend *kelhost__disk_backend() {
  static const kelffa_backend table = [] {
    kelffa_backend b{};
    b.struct_size = sizeof b;
    b.id = "disk";
    b.caps = CAP_STAT;
    b.open = &disk_open;
    b.list = &disk_list;
    b.stat = &disk_stat;
    b.locator = &disk_locator;
    b.close = &disk_close;
    return b;
  }();
  return &table;
}

extern "C" int32_t kelhost_disk_register(void) noexcept {
  // A second call finds the backend in place and changes nothing.
  for (int32_t i = 0; i < kelffa_backend_count(); ++i)
    if (std::strcmp(kelffa_backend_id(i), "disk") == 0) {
      kelhost_clear_error();
      return KELHOST_OK;
    }
  int32_t rc = kelffa_register(kelhost__disk_backend());
  if (rc != KELFFA_OK) {
    kelhost_set_error("disk: cannot register the backend: %s", kelffa_last_error());
    return rc == KELFFA_ERR_OOM ? KELHOST_ERR_OOM : KELHOST_ERR_ARG;
  }
  kelhost_clear_error();
  return KELHOST_OK;
}

extern "C" int32_t kelhost_disk_unreadable_count(void) noexcept {
  return static_cast<int32_t>(std::min<size_t>(s_unreadable.size(), INT32_MAX));
}

extern "C" const char *kelhost_disk_unreadable(int32_t index) noexcept {
  if (index < 0 || static_cast<size_t>(index) >= s_unreadable.size()) return "";
  return s_unreadable[static_cast<size_t>(index)].c_str();
}
