// ChunkedBytes: an append-only byte buffer for writing large serialisations.
//
// A growing std::vector copies its whole contents into a new block each time
// it grows, so while it grows the old and the new block are both alive: up to
// twice the data. ChunkedBytes never moves what it holds: it fills one chunk
// after another, and Take() hands the bytes over as one vector, releasing each
// chunk as soon as it is copied, so that the peak stays near the size of the
// data plus one chunk. Larger chunks are mapped from the system directly, which
// gives their pages back the moment they are released.
//
// The first chunk is a vector. A caller that knows roughly how much it will
// append says so, and the first chunk reserves that much; when everything
// fits in it, Take() hands that vector over as it is, with no copy. Its pages
// are only touched as they are filled, so an estimate that is too large costs
// address space, not memory.
//
// Every Append is contiguous inside one chunk; bytes written earlier can be
// overwritten by their offset, counted from the first byte appended.
#pragma once

#include "replikon/export.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace replikon {

class REPLIKON_API ChunkedBytes {
 public:
  ChunkedBytes() noexcept = default;
  // `expected`: about how many bytes will be appended.
  explicit ChunkedBytes(std::size_t expected) noexcept : expected_(expected) {}
  ChunkedBytes(const ChunkedBytes&) = delete;
  ChunkedBytes& operator=(const ChunkedBytes&) = delete;
  ~ChunkedBytes() = default;

  // The number of bytes appended (and not truncated away).
  std::size_t Size() const noexcept { return base_ + static_cast<std::size_t>(cur_ - begin_); }

  // Appends `n` uninitialised contiguous bytes and returns where they start;
  // they stay where they are until truncated away or taken. Raises
  // std::bad_alloc when no memory is left (the buffer is then unchanged).
  std::uint8_t* Append(std::size_t n) {
    if (n <= static_cast<std::size_t>(end_ - cur_)) {
      std::uint8_t* p = cur_;
      cur_ += n;
      return p;
    }
    return AppendSlow(n);
  }

  // Overwrites the `n` bytes from `offset` on with `data`; they must have
  // been appended (offset + n <= Size()).
  void Overwrite(std::size_t offset, const std::uint8_t* data, std::size_t n) noexcept {
    if (n == 0) return;
    if (offset >= base_) {  // most often: in the chunk being filled
      std::memcpy(begin_ + (offset - base_), data, n);
    } else {
      OverwriteEarlier(offset, data, n);
    }
  }

  // Drops the bytes from `offset` (<= Size()) on.
  void Truncate(std::size_t offset) noexcept;

  // The bytes as one vector; the buffer is empty afterwards. Raises
  // std::bad_alloc (the buffer unchanged) when the vector cannot be had.
  std::vector<std::uint8_t> Take();

 private:
  // Unmaps a mapped chunk.
  struct Unmap {
    std::size_t capacity = 0;
    void operator()(std::uint8_t* data) const noexcept;
  };
  // A chunk after the first.
  struct Chunk {
    std::unique_ptr<std::uint8_t, Unmap> memory;
    std::size_t base;  // the offset of its first byte
    std::size_t used;  // kept up to date only for the chunks before the last
  };

  std::uint8_t* AppendSlow(std::size_t n);
  std::uint8_t* AppendInNewChunk(std::size_t n);
  void OverwriteEarlier(std::size_t offset, const std::uint8_t* data, std::size_t n) noexcept;
  void MakeFirstCurrent(std::size_t used) noexcept;
  void MakeCurrent(const Chunk& chunk) noexcept;
  std::vector<std::uint8_t> TakeFirst();

  std::size_t expected_ = 0;
  // Filled up to first_used_ (kept up to date once it is not the last);
  // first_.size() is how much of its capacity is ready to be filled.
  std::vector<std::uint8_t> first_;
  std::size_t first_used_ = 0;
  std::vector<Chunk> chunks_;  // the last one is being filled, if any
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* cur_ = nullptr;
  std::uint8_t* end_ = nullptr;
  std::size_t base_ = 0;  // the offset of begin_
};

}  // namespace replikon
