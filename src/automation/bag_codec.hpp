// The serialised form of a property bag, written and read in place:
// - BagWriter appends a bag's serialised form to a byte buffer entry by entry,
//   and can write a nested bag in place as the value of a byte-array entry;
// - BagReader checks serialised bytes once and reads entries from them without
//   copying (a byte-array value is a view into the input).
// Both agree byte for byte with PropertyBag: the same entries in the same order
// give the same Contents.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "automation/chunked_bytes.hpp"
#include "replikon/automation/property_bag.hpp"
#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"

namespace replikon {

namespace detail {
// What every serialised bag starts with: its signature and format version.
inline constexpr std::uint8_t kBagSignature[4] = {'R', 'K', 'P', 'B'};
inline constexpr std::uint16_t kBagFormatVersion = 1;

// Whether two bag keys are equal. Keys are short (property names, element
// indices), so they are compared in place, a few bytes at a time, rather than
// through a call.
[[gnu::always_inline]] inline bool SameBagKey(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  // Two overlapping pieces of a fixed size cover keys of 4 to 16 bytes.
  const auto same = [x, y](std::size_t at, auto piece) {
    decltype(piece) u;
    decltype(piece) v;
    std::memcpy(&u, x + at, sizeof u);
    std::memcpy(&v, y + at, sizeof v);
    return u == v;
  };
  if (n >= 8 && n <= 16) return same(0, std::uint64_t{}) && same(n - 8, std::uint64_t{});
  if (n >= 4 && n < 8) return same(0, std::uint32_t{}) && same(n - 4, std::uint32_t{});
  if (n > 16) return std::memcmp(x, y, n) == 0;
  return n == 0 || (x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1]);
}

// Copies `n` bytes; keys are mostly a few bytes long, which this copies with
// two overlapping moves of fixed size rather than a call.
inline void CopyKey(std::uint8_t* to, const char* from, std::size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n != 0 && n < 4) {
    to[0] = static_cast<std::uint8_t>(from[0]);
    to[n / 2] = static_cast<std::uint8_t>(from[n / 2]);
    to[n - 1] = static_cast<std::uint8_t>(from[n - 1]);
  } else if (n != 0) {
    std::memcpy(to, from, n);
  }
}
}  // namespace detail

// Writes a serialised bag into a buffer, appending to what is there. Entries
// go out in the order they are written; keys are not checked for repeats.
//
//   std::vector<std::uint8_t> out;
//   BagWriter bag(out);
//   bag.Write("@SF#", Variant(17));
//   auto token = bag.BeginBytes("Child");   // a byte-array entry whose bytes follow
//   { BagWriter child(out); child.Write(...); child.Finish(); }
//   bag.EndBytes(token);
//   bag.Finish();
class REPLIKON_API BagWriter {
 public:
  explicit BagWriter(std::vector<std::uint8_t>& out);
  // Same into a ChunkedBytes, for large serialisations; the writer then never
  // moves what is written.
  explicit BagWriter(ChunkedBytes& out);

  // Appends an entry; raises 13 (writing nothing) for a value the bag cannot hold.
  void Write(std::string_view key, const Variant& value);
  // The same for a value of the scalar or string type `type` (not an array),
  // which `value` points to as the C++ type that a Variant of that type holds,
  // so that the caller need not make a Variant of it.
  void WritePlain(std::string_view key, VarType type, const void* value);
  // Appends a BSTR entry holding `text`, as Write(key, Variant(text)) does.
  void WriteString(std::string_view key, std::string_view text);
  // Appends a byte-array entry (lower bound 0) holding `bytes`.
  void WriteBytes(std::string_view key, std::span<const std::uint8_t> bytes);
  // Appends the head of an entry of a fixed-size scalar type (I2, I4, R4, R8,
  // CY, DATE, ERROR, BOOL, UI1) and returns where its payload goes: the
  // caller stores it there, in the layout of docs/property-bag-format.md,
  // before anything else is written to the buffer. For encoders that write
  // many values of one type. Raises 5 for any other type.
  std::uint8_t* AppendScalar(std::string_view key, VarType type);
  // Appends `count` entries laid out by the caller in the `size` bytes whose
  // start it returns, before anything else is written to the buffer: for
  // writers that know a few entries whole. Each entry takes EntrySize(key
  // size, payload size) bytes: its head (StoreEntryHead), then its payload in
  // the layout of docs/property-bag-format.md. Raises 7 (writing nothing)
  // when the bag cannot take that many more entries.
  std::uint8_t* AppendEntries(std::size_t size, std::uint32_t count);
  // Appends a byte-array entry (lower bound 0) whose bytes are a bag of
  // `count` entries, laid out by the caller in the `size` bytes whose start it
  // returns, before anything else is written to the buffer: for encoders that
  // know a nested bag whole. Each entry takes EntrySize(key size, payload
  // size) bytes: its head (StoreEntryHead), then its payload in the layout of
  // docs/property-bag-format.md. Raises 7 (writing nothing) when the bag
  // cannot take the entry or the nested one that many.
  std::uint8_t* AppendNestedEntries(std::string_view key, std::size_t size, std::size_t count);
  static constexpr std::size_t EntrySize(std::size_t key_size, std::size_t payload) noexcept {
    return 4 + key_size + 2 + payload;
  }
  // Stores the header of a bag of `count` entries at `p` (BagReader::kHeaderSize
  // bytes); returns where its entries go. With StoreEntryHead, for encoders
  // that lay out a whole bag, nested ones included, in one piece of memory.
  static std::uint8_t* StoreBagHeader(std::uint8_t* p, std::uint32_t count) noexcept {
    std::memcpy(p, detail::kBagSignature, sizeof detail::kBagSignature);
    p[4] = static_cast<std::uint8_t>(detail::kBagFormatVersion);
    p[5] = static_cast<std::uint8_t>(detail::kBagFormatVersion >> 8);
    p[6] = 0;  // flags
    p[7] = 0;
    for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<std::uint8_t>(count >> (8 * i));
    return p + 12;
  }
  // Stores an entry's head (key and type code) at `p`; returns where its
  // payload goes. The key must be shorter than 4 GiB.
  static std::uint8_t* StoreEntryHead(std::uint8_t* p, std::string_view key,
                                      VarType type) noexcept {
    const auto size = static_cast<std::uint32_t>(key.size());
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(size >> (8 * i));
    detail::CopyKey(p + 4, key.data(), size);
    p += 4 + size;
    p[0] = static_cast<std::uint8_t>(Code(type));
    p[1] = static_cast<std::uint8_t>(Code(type) >> 8);
    return p + 2;
  }

  // Starts a byte-array entry whose bytes are appended to the buffer by the
  // caller (typically a nested BagWriter); EndBytes closes it.
  struct Pending {
    std::size_t length_offset;  // where the element count goes
    std::size_t entry_offset;   // where the entry starts
  };
  Pending BeginBytes(std::string_view key);
  void EndBytes(Pending pending);
  // Drops an entry begun with BeginBytes and everything written after it.
  void AbandonBytes(Pending pending);

  // Completes the bag (its entry count). The writer must not be used afterwards.
  void Finish();

  std::size_t EntryCount() const noexcept { return count_; }

 private:
  template <class Value>
  void WriteValue(std::string_view key, VarType type, const Value& value);
  // The buffer, one or the other.
  std::uint8_t* Room(std::size_t n, const void*& source);
  std::size_t Size() const noexcept;
  // Overwrites 4 bytes written earlier with a little-endian value.
  void StoreAt(std::size_t offset, std::uint32_t value) noexcept;

  std::vector<std::uint8_t>* out_ = nullptr;
  ChunkedBytes* chunks_ = nullptr;
  std::size_t start_;
  std::uint32_t count_ = 0;
};

// Reads a serialised bag in place. The bytes must outlive the reader and every
// view taken from it.
class REPLIKON_API BagReader {
 public:
  // One entry as stored.
  struct Entry {
    std::string_view key;
    VarType type;
    std::span<const std::uint8_t> payload;  // the value's encoded bytes
  };

  BagReader() = default;
  // Checks the whole serialisation (as PropertyBag::SetContents does) and indexes
  // it; raises 5 for bytes that are not one. Costs one pass over the bytes.
  explicit BagReader(std::span<const std::uint8_t> bytes);
  // What is wrong with bytes that are not a serialised bag ("truncated entry 3
  // at offset 40 (cut off in the key)") and the offset where it lies (that of
  // the entry, or 0 for the bag's header); nullopt for a serialised bag.
  // Raises std::bad_alloc only.
  struct Fault {
    std::string reason;
    std::size_t offset = 0;
  };
  static std::optional<Fault> FindFault(std::span<const std::uint8_t> bytes);
  // The non-raising form: nullopt for bytes that are not a serialised bag.
  static std::optional<BagReader> TryParse(std::span<const std::uint8_t> bytes) noexcept;
  // The same check into this reader, in place of what it held: true when the
  // bytes are a serialised bag, else false with the reader left empty. Keeps
  // the reader's memory, so a caller that reads many bags one after another
  // parses them without allocating.
  bool Load(std::span<const std::uint8_t> bytes) noexcept;
  // Load for a caller that tells bytes that are no bag from running out of
  // memory: false (reader left empty) for the first, std::bad_alloc raised
  // (reader left empty) for the second.
  bool Parse(std::span<const std::uint8_t> bytes);

  std::size_t Size() const noexcept { return entries_.size(); }
  std::span<const Entry> Entries() const noexcept { return entries_; }

  // The entry under `key`, or nullptr. Looking keys up in the order they were
  // written is O(1) each: the entry after the one found last is tried first.
  const Entry* Find(std::string_view key) const noexcept {
    if (cursor_ < entries_.size() && detail::SameBagKey(entries_[cursor_].key, key)) {
      return &entries_[cursor_++];
    }
    return Search(key);
  }
  // As PropertyBag::ReadProperty.
  Variant ReadProperty(std::string_view key,
                       const Variant& default_value = Variant::Missing()) const;
  // The bytes of a byte-array entry, without copying; nullopt when the key is
  // absent or its value is not an allocated byte array.
  std::optional<std::span<const std::uint8_t>> ReadBytes(std::string_view key) const noexcept;
  // The same for one entry: its bytes when it holds an allocated byte array.
  static std::optional<std::span<const std::uint8_t>> BytesOf(const Entry& entry) noexcept;

  // The size of a serialised bag's header, which its entries follow.
  static constexpr std::size_t kHeaderSize = 12;
  // The entry count that the header of serialised bytes announces, when the
  // header is valid and the bytes after it can hold that many entries; nullopt
  // otherwise. The entries themselves are not looked at.
  static std::optional<std::size_t> HeaderCount(std::span<const std::uint8_t> bytes) noexcept;

  // The value of one entry.
  static Variant Decode(const Entry& entry);
  // The value of one of this reader's entries (from Find or Entries), whose
  // payload the parse has checked already; any other entry as Decode gives it.
  Variant Value(const Entry& entry) const;
  // Stores the value of one of this reader's entries straight into `field`,
  // an object of the C++ type of the entry's automation type (see
  // FieldAccess::PlainFieldOf), as assigning Value(entry) to it does. False,
  // with nothing stored, for an entry of another reader or of a type other
  // than a number, Currency, Date, string, ErrorCode, Boolean or Decimal.
  bool StoreValue(const Entry& entry, void* field) const;

 private:
  // Find away from the expected position.
  const Entry* Search(std::string_view key) const noexcept;
  // Whether `entry` is one of this reader's entries.
  bool Holds(const Entry& entry) const noexcept;

  std::vector<Entry> entries_;
  // Hash slots over entries_ (see property_bag.cpp); built by the parse for
  // larger bags, smaller ones are searched in order.
  std::vector<std::uint64_t> index_;
  mutable std::size_t cursor_ = 0;
};

}  // namespace replikon
