// An open-addressing hash map from byte strings to small values, for the
// per-file lookups of a scan (indexed keys, corrections, correction ids).
// It does not own the key bytes: they must stay put while the map holds them.
// One flat slot array, so a lookup costs a slot probe and one key compare.
#ifndef KELMCAT_CORE_FLAT_MAP_H
#define KELMCAT_CORE_FLAT_MAP_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace kel {

template <class V>
class FlatMap {
 public:
  // Makes room for n keys without further growth. May throw std::bad_alloc.
  void reserve(size_t n) {
    size_t want = 16;
    while (want < 2 * n) want *= 2;
    if (want > slots_.size()) rehash(want);
  }

  // Adds key -> value unless the key is present (the first value stays).
  // Returns true when it was added. May throw std::bad_alloc.
  bool insert(std::string_view key, V value) {
    if (2 * (count_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    uint64_t h = hash(key);
    Slot *s = probe(key, h);
    if (s->data) return false;
    *s = Slot{h, key.data() ? key.data() : "", key.size(), value};
    ++count_;
    return true;
  }

  // The value of the key, or null.
  const V *find(std::string_view key) const {
    if (count_ == 0) return nullptr;
    const Slot *s = const_cast<FlatMap *>(this)->probe(key, hash(key));
    return s->data ? &s->value : nullptr;
  }

  size_t size() const { return count_; }

  // Forgets every key and releases the slots.
  void clear() {
    std::vector<Slot>().swap(slots_);
    count_ = 0;
  }

 private:
  struct Slot {
    uint64_t hash;
    const char *data;  // null: empty slot
    size_t len;
    V value;
  };

  static uint64_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

  Slot *probe(std::string_view key, uint64_t h) {
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot &s = slots_[i];
      if (!s.data) return &s;
      if (s.hash == h && s.len == key.size() &&
          (s.len == 0 || std::memcmp(s.data, key.data(), s.len) == 0))
        return &s;
    }
  }

  void rehash(size_t cap) {
    std::vector<Slot> old(cap, Slot{0, nullptr, 0, V{}});
    old.swap(slots_);
    size_t mask = cap - 1;
    for (const Slot &s : old) {
      if (!s.data) continue;
      size_t i = s.hash & mask;
      while (slots_[i].data) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;
};

}  // namespace kel

#endif
