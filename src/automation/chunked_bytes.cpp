#include "automation/chunked_bytes.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "automation/allocation_hooks.hpp"

namespace replikon {

long& detail::MappingsToFailure() noexcept {
  static thread_local long left = -1;
  return left;
}

namespace {

// The first chunk reserves at least this much, so that writing a small
// serialisation costs no system call. Every later chunk is mapped, and is an
// eighth of what the buffer holds (within bounds): the peak of Take() is the
// data plus the largest chunk, and big buffers need few chunks.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kMinMappedChunk = std::size_t{64} << 10;
constexpr std::size_t kMaxMappedChunk = std::size_t{4} << 20;
// The first chunk is readied (zeroed, as a vector's elements must be) this
// much at a time, just before it is filled, while it is still in the cache.
constexpr std::size_t kFirstStep = std::size_t{64} << 10;
// Take() gives the pages of a chunk back this many bytes at a time as it
// copies them, so that its peak is the data plus this much.
constexpr std::size_t kTakeStep = std::size_t{32} << 10;

std::size_t PageSize() noexcept {
  static const std::size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
  }();
  return size;
}

// Gives back the whole pages between `from` and `to`, which stay readable
// (as zeros). Returns where the next release may start.
std::uint8_t* ReleasePages(std::uint8_t* from, std::uint8_t* to) noexcept {
  const std::uintptr_t page = PageSize();
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(from) + page - 1) / page * page;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(to) / page * page;
  if (last <= first) return from;
  madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  return from + (last - reinterpret_cast<std::uintptr_t>(from));
}

// A first chunk this large is fresh address space each time (the allocator
// maps blocks this size from the system): its pages are asked for as huge
// pages, so that filling it takes a few faults instead of one per page.
constexpr std::size_t kHugeFrom = std::size_t{8} << 20;

void AdviseHuge(std::uint8_t* data, std::size_t size) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) / kHuge * kHuge;
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(data) + size) / kHuge * kHuge;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void ChunkedBytes::Unmap::operator()(std::uint8_t* data) const noexcept {
  munmap(data, capacity);
}

std::uint8_t* ChunkedBytes::AppendSlow(std::size_t n) {
  if (chunks_.empty()) {
    const std::size_t used = static_cast<std::size_t>(cur_ - begin_);
    if (first_.capacity() == 0) {
      if (expected_ > kFirstChunk) {
        try {
          first_.reserve(expected_);
        } catch (const std::bad_alloc&) {
          // An estimate is only an estimate: go on with a small one.
        } catch (const std::length_error&) {
        }
      }
      if (first_.capacity() == 0) first_.reserve(kFirstChunk);
      if (first_.capacity() >= kHugeFrom) AdviseHuge(first_.data(), first_.capacity());
    }
    const std::size_t room = first_.capacity() - used;
    if (n <= room) {
      // Within the capacity: nothing is allocated and nothing can throw.
      first_.resize(used + std::min(room, std::max(n, kFirstStep)));
      MakeFirstCurrent(used);
      std::uint8_t* p = cur_;
      cur_ += n;
      return p;
    }
  }
  return AppendInNewChunk(n);
}

std::uint8_t* ChunkedBytes::AppendInNewChunk(std::size_t n) {
  const std::size_t size = Size();
  const std::size_t page = PageSize();
  std::size_t capacity = std::clamp(size / 8, kMinMappedChunk, kMaxMappedChunk);
  if (n > capacity) {
    if (n > static_cast<std::size_t>(-1) - page) throw std::bad_alloc();
    capacity = (n + page - 1) / page * page;
  }
  // Populated at once: every page is about to be written, and one call that
  // maps them all costs a fraction of a fault per page, which took a quarter
  // of the time of writing a large Stream.
  void* data = detail::MappingFails() ? MAP_FAILED
                                      : mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  std::unique_ptr<std::uint8_t, Unmap> memory(static_cast<std::uint8_t*>(data), Unmap{capacity});
  const std::size_t used = static_cast<std::size_t>(cur_ - begin_);
  chunks_.reserve(chunks_.size() + 1);  // may throw: nothing has changed yet
  if (chunks_.empty()) {
    first_used_ = used;
  } else {
    chunks_.back().used = used;
  }
  chunks_.push_back(Chunk{std::move(memory), size, 0});
  MakeCurrent(chunks_.back());
  std::uint8_t* p = cur_;
  cur_ += n;
  return p;
}

void ChunkedBytes::MakeFirstCurrent(std::size_t used) noexcept {
  begin_ = first_.data();
  cur_ = begin_ + used;
  end_ = begin_ + first_.size();
  base_ = 0;
}

void ChunkedBytes::MakeCurrent(const Chunk& chunk) noexcept {
  begin_ = chunk.memory.get();
  cur_ = begin_ + chunk.used;
  end_ = begin_ + chunk.memory.get_deleter().capacity;
  base_ = chunk.base;
}

void ChunkedBytes::OverwriteEarlier(std::size_t offset, const std::uint8_t* data,
                                    std::size_t n) noexcept {
  // Only called below the current chunk's base, so a mapped chunk is current.
  chunks_.back().used = static_cast<std::size_t>(cur_ - begin_);
  if (offset < first_used_) {
    const std::size_t here = std::min(n, first_used_ - offset);
    std::memcpy(first_.data() + offset, data, here);
    data += here;
    offset += here;
    n -= here;
  }
  if (n == 0) return;
  // The chunk with the last base at or below the offset, and those after it.
  auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                [](std::size_t o, const Chunk& c) { return o < c.base; }) -
               1;
  for (; n != 0; ++chunk) {
    const std::size_t at = offset - chunk->base;
    const std::size_t here = std::min(n, chunk->used - at);
    std::memcpy(chunk->memory.get() + at, data, here);
    data += here;
    offset += here;
    n -= here;
  }
}

void ChunkedBytes::Truncate(std::size_t offset) noexcept {
  while (!chunks_.empty() && offset < base_) {
    chunks_.pop_back();
    if (chunks_.empty()) {
      MakeFirstCurrent(first_used_);
    } else {
      MakeCurrent(chunks_.back());
    }
  }
  cur_ = begin_ + (offset - base_);
}

std::vector<std::uint8_t> ChunkedBytes::TakeFirst() {
  const std::size_t used = static_cast<std::size_t>(cur_ - begin_);
  first_.resize(used);  // smaller: nothing is allocated
  std::vector<std::uint8_t> out;
  if (first_.capacity() - used > used / 4 + kFirstChunk) {
    // Far more room than bytes, as when the estimate was too large: the
    // bytes move to a vector their size, so that they do not hold the rest.
    try {
      out.assign(first_.begin(), first_.end());
    } catch (const std::bad_alloc&) {
      out = std::move(first_);
    }
  } else {
    out = std::move(first_);
  }
  std::vector<std::uint8_t>().swap(first_);
  begin_ = cur_ = end_ = nullptr;
  first_used_ = 0;
  return out;
}

std::vector<std::uint8_t> ChunkedBytes::Take() {
  if (chunks_.empty()) return TakeFirst();
  const std::size_t page = PageSize();
  Chunk& last = chunks_.back();
  last.used = static_cast<std::size_t>(cur_ - begin_);
  // The last chunk's unused pages were populated with it: they go back
  // before the result is allocated.
  const std::size_t capacity = last.memory.get_deleter().capacity;
  const std::size_t kept = (last.used + page - 1) / page * page;
  if (kept < capacity) madvise(begin_ + kept, capacity - kept, MADV_DONTNEED);

  std::vector<std::uint8_t> out;
  out.reserve(Size());
  // Whole pages (both are powers of two), which madvise rounds to.
  const std::size_t step = std::max(kTakeStep, page);
  std::uint8_t* const first = first_.data();
  std::uint8_t* released = first;
  for (std::size_t at = 0; at < first_used_; at += step) {
    const std::size_t n = std::min(step, first_used_ - at);
    out.insert(out.end(), first + at, first + at + n);
    released = ReleasePages(released, first + at + n);
  }
  std::vector<std::uint8_t>().swap(first_);
  first_used_ = 0;
  for (Chunk& chunk : chunks_) {
    std::uint8_t* const data = chunk.memory.get();
    for (std::size_t at = 0; at < chunk.used; at += step) {
      const std::size_t n = std::min(step, chunk.used - at);
      out.insert(out.end(), data + at, data + at + n);
      madvise(data + at, n, MADV_DONTNEED);
    }
    chunk.memory.reset();
  }
  chunks_.clear();
  begin_ = cur_ = end_ = nullptr;
  base_ = 0;
  return out;
}

}  // namespace replikon
