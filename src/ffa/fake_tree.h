// The in-memory fake tree: node table, path index and the tree loader. The
// fake backend (fake_backend.cpp) serves this tree to the folder-access layer.
#ifndef KELMCAT_FFA_FAKE_TREE_H
#define KELMCAT_FFA_FAKE_TREE_H

#include <cstdint>

// One entry of the tree. `name` always lives inside the allocation of `path`
// (one block per node), so a node owns at most four heap blocks: its path
// block, its title, its id and its child array.
struct fake_node {
  char *name;         // the entry's name (points into the path block)
  char *path;         // the full path, the key of the path index; owns the block
  char *title;        // with F_TITLE, else null
  char *id;           // with F_ID, else null
  int32_t is_folder;  // 0 for a file; any other value is reported as stored
  int32_t year;       // with F_YEAR
  uint32_t fields;    // F_SIZE, F_MTIME, F_TITLE, F_YEAR, F_ID only
  int64_t size;       // -1 in a fresh node
  int64_t mtime_ms;   // -1 in a fresh node
  int32_t *kids;      // child node indices, in insertion order
  uint64_t kid_count;
  uint64_t kid_cap;
};

// True while a tree is loaded.
bool tree_exists();
// The node at an index below the node count. The pointer is valid until the
// next new_node() or tree release (the table may move when it grows).
fake_node *node_at(int32_t index);
// Index of the node whose stored path equals the path after its trailing
// slashes are dropped; -1 when not indexed, for a null path or without a tree.
int32_t find_node(const char *path);
// Appends a fresh node; its index, or -1 when memory runs out.
int32_t new_node();
// Appends a child index to a node's child list: 0 or KELFFA_ERR_OOM.
int add_kid(int32_t parent, int32_t child);
// Indexes a node by its stored path (a path already indexed keeps its first
// node): 0 or KELFFA_ERR_OOM.
int hash_insert(int32_t index);
// The path without its trailing slashes, cut to 4096 bytes, or "/" when
// nothing is left. Valid until the next call.
const char *norm_path(const char *path);
// parent + "/" + name, where a parent of exactly "/" contributes nothing.
// A malloc'ed text, or null when memory runs out.
char *join_raw(const char *parent, const char *name);
// Releases the whole tree; afterwards no tree exists.
void tree_free();

#endif
