// The in-memory fake tree: a node table addressed by index, an open-addressing
// path index, and the loader of the tree JSON format (with bulk "generate").
#include "ffa/fake_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/grow.h"
#include "core/json.h"
#include "core/path.h"
#include "ffa/ffa_internal.h"
#include "kelmcat.h"

namespace {

constexpr int kMaxDepth = 64;
constexpr int64_t kMaxGenerate = 1000000;
constexpr size_t kPathMax = 4096;
// Node indices are signed 32-bit and a slot stores index + 1.
constexpr int32_t kMaxNodes = INT32_MAX;

fake_node *s_nodes = nullptr;
int32_t s_nn = 0;
int32_t s_ncap = 0;
int32_t *s_hash = nullptr;
uint64_t s_hcap = 0;
char s_norm[kPathMax + 1];

// Bytes of a JSON string up to its first NUL: every text of the tree is a C text.
size_t ctext_len(std::string_view v) {
  const void *nul = std::memchr(v.data(), 0, v.size());
  return nul ? static_cast<size_t>(static_cast<const char *>(nul) - v.data()) : v.size();
}

char *copy_text(std::string_view v) {
  return kel_strndup(v.data(), ctext_len(v));
}

// parent + "/" + name (a parent of exactly "/" contributes nothing).
char *join_n(const char *parent, size_t plen, const char *name, size_t nlen) {
  if (plen == 1 && parent[0] == '/') plen = 0;
  char *p = static_cast<char *>(std::malloc(plen + 1 + nlen + 1));
  if (!p) return nullptr;
  std::memcpy(p, parent, plen);
  p[plen] = '/';
  std::memcpy(p + plen + 1, name, nlen);
  p[plen + 1 + nlen] = '\0';
  return p;
}

// Gives node i its path block: the derived path parent/name with the name as
// its tail, or (explicit path, or the root) "path\0name\0".
int set_strings(int32_t i, int32_t parent, std::string_view name, const kj::Val &path) {
  size_t nlen = ctext_len(name);
  char *block;
  size_t name_off;
  if (path.is_str() || parent < 0) {
    std::string_view pv = path.is_str() ? path.str() : std::string_view("/");
    size_t plen = ctext_len(pv);
    block = static_cast<char *>(std::malloc(plen + 1 + nlen + 1));
    if (!block) return KELFFA_ERR_OOM;
    std::memcpy(block, pv.data(), plen);
    block[plen] = '\0';
    std::memcpy(block + plen + 1, name.data(), nlen);
    block[plen + 1 + nlen] = '\0';
    name_off = plen + 1;
  } else {
    const char *pp = s_nodes[parent].path;
    size_t plen = std::strlen(pp);
    block = join_n(pp, plen, name.data(), nlen);
    if (!block) return KELFFA_ERR_OOM;
    name_off = std::strlen(block) - nlen;
  }
  s_nodes[i].path = block;
  s_nodes[i].name = block + name_off;
  return 0;
}

bool as_int64(const kj::Val &v, int64_t *out) {
  if (v.is_sint()) {
    *out = v.get_sint();
    return true;
  }
  if (v.is_uint()) {
    *out = static_cast<int64_t>(v.get_uint());
    return true;
  }
  return false;
}

int32_t low32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

int oom() {
  return kelffa__fail(KELFFA_ERR_OOM, "out of memory");
}

int load_node(const kj::Val &v, int32_t parent, int depth) {
  if (depth > kMaxDepth)
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake tree deeper than %d", kMaxDepth);
  if (!v.is_obj()) return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake tree: node is not an object");
  kj::Val name = v.get("name");
  if (!name.is_str())
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake tree: node without string name");

  int32_t i = new_node();
  if (i < 0) return oom();
  if (set_strings(i, parent, name.str(), v.get("path")) != 0) return oom();

  kj::Val children = v.get("children");
  fake_node &n = s_nodes[i];

  kj::Val folder = v.get("folder");
  if (parent < 0 || children.valid())
    n.is_folder = 1;
  else
    n.is_folder = folder.is_true() ? 1 : 0;
  int64_t iv;
  if (as_int64(folder, &iv)) n.is_folder = low32(iv);

  if (as_int64(v.get("size"), &iv)) {
    n.size = iv;
    if (iv >= 0 || v.get("raw_size").valid()) n.fields |= F_SIZE;
  }
  if (as_int64(v.get("mtime_ms"), &iv) && iv >= 0) {
    n.mtime_ms = iv;
    n.fields |= F_MTIME;
  }
  kj::Val title = v.get("title");
  if (title.is_str()) {
    if (!(n.title = copy_text(title.str()))) return oom();
    n.fields |= F_TITLE;
  }
  if (as_int64(v.get("year"), &iv)) {
    n.year = low32(iv);
    n.fields |= F_YEAR;
  }
  kj::Val id = v.get("id");
  if (id.is_str()) {
    if (!(n.id = copy_text(id.str()))) return oom();
    n.fields |= F_ID;
  }

  if (hash_insert(i) != 0) return oom();
  if (parent >= 0 && add_kid(parent, i) != 0) return oom();

  if (children.valid()) {
    if (!children.is_arr())
      return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake tree: children is not an array");
    size_t count = children.size();
    for (size_t k = 0; k < count; ++k) {
      int rc = load_node(children.at(k), i, depth + 1);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

// Creates the folder named by a normalised path that is not in the index.
int make_folder(const char *normalised, int32_t *out) {
  size_t len = std::strlen(normalised);
  // The parent lookup reuses the normalisation buffer: keep a copy first.
  char *block = static_cast<char *>(std::malloc(len + 1));
  if (!block) return oom();
  std::memcpy(block, normalised, len + 1);
  const char *slash = static_cast<const char *>(memrchr(block, '/', len));
  int32_t parent = 0;
  const char *name = block;
  if (slash && slash != block) {
    static char s_parent[kPathMax];
    size_t plen = static_cast<size_t>(slash - block);
    if (plen > kPathMax - 1) plen = kPathMax - 1;
    std::memcpy(s_parent, block, plen);
    s_parent[plen] = '\0';
    parent = find_node(s_parent);
    if (parent < 0) {
      int rc = kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: parent of '%s' missing", block);
      std::free(block);
      return rc;
    }
    name = slash + 1;
  } else if (slash) {
    name = slash + 1;
  }
  int32_t i = new_node();
  if (i < 0) {
    std::free(block);
    return oom();
  }
  s_nodes[i].path = block;
  s_nodes[i].name = const_cast<char *>(name);
  s_nodes[i].is_folder = 1;
  if (hash_insert(i) != 0 || add_kid(parent, i) != 0) return oom();
  *out = i;
  return 0;
}

int generate(const kj::Val &g) {
  if (!g.is_obj() || g.size() == 0)
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: need path + count");
  kj::Val path = g.get("path");
  int64_t count;
  if (!path.is_str() || !as_int64(g.get("count"), &count))
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: need path + count");
  // The whole 64-bit value is checked, so 2^32 + 1 is refused rather than read as 1.
  if (count < 0 || count > kMaxGenerate)
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: count 0..%d",
                        static_cast<int>(kMaxGenerate));
  int64_t size = -1, iv;
  if (as_int64(g.get("size"), &iv)) size = iv;
  int64_t folders = 0;
  if (as_int64(g.get("folders"), &iv)) folders = iv;

  std::string target_path(path.str().data(), ctext_len(path.str()));
  int32_t t = find_node(target_path.c_str());
  if (t < 0) {
    int rc = make_folder(norm_path(target_path.c_str()), &t);
    if (rc != 0) return rc;
  }
  if (s_nodes[t].is_folder == 0)
    return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: not a folder");

  const char *tp = s_nodes[t].path;  // the path block never moves
  size_t tplen = std::strlen(tp);
  for (int64_t i = 0; i < count; ++i) {
    bool is_dir = i < folders;
    char name[16];
    int nlen =
        std::snprintf(name, sizeof name, is_dir ? "d%06d" : "f%06d.bin", static_cast<int>(i));
    int32_t k = new_node();
    if (k < 0) return oom();
    char *block = join_n(tp, tplen, name, static_cast<size_t>(nlen));
    if (!block) return oom();
    fake_node &n = s_nodes[k];
    n.path = block;
    n.name = block + std::strlen(block) - static_cast<size_t>(nlen);
    n.is_folder = is_dir ? 1 : 0;
    if (!is_dir && size >= 0) {
      n.size = size;
      n.fields |= F_SIZE;
    }
    if (hash_insert(k) != 0 || add_kid(t, k) != 0) return oom();
  }
  return 0;
}

// Re-inserts node i into a fresh table (paths there are unique already).
void rehash_into(int32_t *table, uint64_t cap, int32_t i) {
  uint64_t slot = kel_path_hash(s_nodes[i].path) & (cap - 1);
  while (table[slot] != 0) slot = (slot + 1) & (cap - 1);
  table[slot] = i + 1;
}

}  // namespace

bool tree_exists() {
  return s_nodes != nullptr;
}

fake_node *node_at(int32_t index) {
  return &s_nodes[index];
}

const char *norm_path(const char *path) {
  size_t len = std::strlen(path);
  while (len > 0 && path[len - 1] == '/') --len;
  if (len == 0) return "/";
  if (len > kPathMax) len = kPathMax;
  std::memcpy(s_norm, path, len);
  s_norm[len] = '\0';
  return s_norm;
}

char *join_raw(const char *parent, const char *name) {
  return join_n(parent, std::strlen(parent), name, std::strlen(name));
}

int32_t find_node(const char *path) {
  if (s_hcap == 0 || !path) return -1;
  // A longer path would be cut to the path of some other node.
  size_t len = std::strlen(path);
  while (len > 0 && path[len - 1] == '/') --len;
  if (len > kPathMax) return -1;
  const char *np = norm_path(path);
  uint64_t slot = kel_path_hash(np) & (s_hcap - 1);
  for (;;) {
    int32_t v = s_hash[slot];
    if (v == 0) return -1;
    if (std::strcmp(s_nodes[v - 1].path, np) == 0) return v - 1;
    slot = (slot + 1) & (s_hcap - 1);
  }
}

int32_t new_node() {
  if (s_nn >= kMaxNodes) return -1;
  if (!kel_grow(s_nodes, s_nn, s_ncap, 256, kMaxNodes)) return -1;
  fake_node &n = s_nodes[s_nn];
  std::memset(&n, 0, sizeof n);
  n.size = -1;
  n.mtime_ms = -1;
  return s_nn++;
}

int add_kid(int32_t parent, int32_t child) {
  fake_node &p = s_nodes[parent];
  if (!kel_grow(p.kids, p.kid_count, p.kid_cap, uint64_t{8}, UINT64_MAX)) return KELFFA_ERR_OOM;
  p.kids[p.kid_count++] = child;
  return 0;
}

int hash_insert(int32_t index) {
  if (2 * static_cast<uint64_t>(s_nn) + 2 > s_hcap) {
    uint64_t cap = s_hcap == 0 ? 1024 : s_hcap * 2;
    int32_t *table = static_cast<int32_t *>(std::calloc(cap, sizeof(int32_t)));
    if (!table) return KELFFA_ERR_OOM;
    for (uint64_t s = 0; s < s_hcap; ++s)
      if (s_hash[s] != 0) rehash_into(table, cap, s_hash[s] - 1);
    std::free(s_hash);
    s_hash = table;
    s_hcap = cap;
  }
  const char *path = s_nodes[index].path;
  uint64_t slot = kel_path_hash(path) & (s_hcap - 1);
  for (;;) {
    int32_t v = s_hash[slot];
    if (v == 0) {
      s_hash[slot] = index + 1;
      return 0;
    }
    if (std::strcmp(s_nodes[v - 1].path, path) == 0) return 0;
    slot = (slot + 1) & (s_hcap - 1);
  }
}

void tree_free() {
  for (int32_t i = 0; i < s_nn; ++i) {
    std::free(s_nodes[i].path);  // the name lives in the same block
    std::free(s_nodes[i].title);
    std::free(s_nodes[i].id);
    std::free(s_nodes[i].kids);
  }
  std::free(s_nodes);
  std::free(s_hash);
  s_nodes = nullptr;
  s_nn = 0;
  s_ncap = 0;
  s_hash = nullptr;
  s_hcap = 0;
}

extern "C" KELMCAT_API int32_t kelffa_fake_load_tree(const char *tree_json) noexcept {
  if (!tree_json) return kelffa__fail(KELFFA_ERR_INVALID_ARG, "fake tree: NULL");
  bool replaced = false;
  try {
    kj::Doc doc;
    if (!doc.parse(tree_json, std::strlen(tree_json), kj::Mode::allow_invalid_unicode))
      return kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake tree: not JSON");
    tree_free();
    replaced = true;
    kj::Val root = doc.root();
    int rc = load_node(root, -1, 0);
    if (rc == 0) {
      kj::Val gen = root.get("generate");
      if (gen.valid()) {
        if (!gen.is_arr()) {
          rc = kelffa__fail(KELFFA_ERR_BAD_CONFIG, "fake generate: not an array");
        } else {
          size_t n = gen.size();
          for (size_t k = 0; k < n && rc == 0; ++k) rc = generate(gen.at(k));
        }
      }
    }
    if (rc != 0) {
      tree_free();
      return rc;
    }
    kelffa__clear_error();
    return 0;
  } catch (const std::bad_alloc &) {
    // A failure while parsing keeps the previous tree; later ones leave none.
    if (replaced) tree_free();
    return oom();
  }
}
