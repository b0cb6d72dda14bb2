// An open-addressing hash map from byte strings to small values, for the
// per-file lookups of a scan (indexed keys, corrections, correction ids).
// It does not own the key bytes: they must stay put while the map holds them.
// One flat slot array, so a lookup costs a slot probe and one key compare.
#ifndef KELMCAT_CORE_FLAT_MAP_H
#define KELMCAT_CORE_FLAT_MAP_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace kel {

// The map's hash of a key: eight bytes at a time, each block folded in by a
// multiply, the last one to eight bytes read as two overlapping halves (or,
// below four bytes, as its first, middle and last byte). The length is
// folded in first, so those overlaps cannot make two keys alike. Only the map uses it; it is
// never stored, so it may change.
inline uint64_t flat_hash(std::string_view key) {
  auto fold = [](uint64_t h, uint64_t block) {
    h = (h ^ block) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 29);
  };
  auto bytes8 = [](const char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto bytes4 = [](const char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return uint64_t{v};
  };
  const char *p = key.data();
  size_t n = key.size();
  uint64_t h = fold(0x9E3779B97F4A7C15ull, n);
  for (; n > 8; p += 8, n -= 8) h = fold(h, bytes8(p));
  uint64_t last = 0;
  if (n >= 4) {
    last = bytes4(p) << 32 | bytes4(p + n - 4);
  } else if (n > 0) {
    auto byte = [](char c) { return uint64_t{static_cast<unsigned char>(c)}; };
    last = byte(p[0]) << 16 | byte(p[n / 2]) << 8 | byte(p[n - 1]);
  }
  h = fold(h, last);
  // The slot is picked by the low bits: they must depend on every byte.
  h ^= h >> 32;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

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
  // Returns true when it was added. May throw std::bad_alloc, also for a key
  // of 4 GiB or more, which a slot cannot describe.
  bool insert(std::string_view key, V value) {
    if (key.size() > UINT32_MAX) throw std::bad_alloc();
    if (2 * (count_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    uint32_t h = slot_hash(key);
    Slot *s = probe(key, h);
    if (s->data) return false;
    *s = Slot{key.data() ? key.data() : "", static_cast<uint32_t>(key.size()), h, value};
    ++count_;
    return true;
  }

  // The value of the key, or null.
  const V *find(std::string_view key) const {
    if (count_ == 0 || key.size() > UINT32_MAX) return nullptr;
    const Slot *s = const_cast<FlatMap *>(this)->probe(key, slot_hash(key));
    return s->data ? &s->value : nullptr;
  }

  size_t size() const { return count_; }

  // Forgets every key and releases the slots.
  void clear() {
    std::vector<Slot>().swap(slots_);
    count_ = 0;
  }

 private:
  // 24 bytes for a value of up to 8: a slot keeps 32 bits of the key's hash,
  // which pick among up to 2^32 slots (a larger map only probes longer) and
  // tell almost every other key apart without comparing it.
  struct Slot {
    const char *data;  // null: empty slot
    uint32_t len;
    uint32_t hash;
    V value;
  };

  static uint32_t slot_hash(std::string_view key) { return static_cast<uint32_t>(flat_hash(key)); }

  Slot *probe(std::string_view key, uint32_t h) {
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
    std::vector<Slot> old(cap, Slot{nullptr, 0, 0, V{}});
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
