#include "replikon/automation/chunked_bytes.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace replikon {

namespace {

// The first chunk comes from the heap, so that writing a small serialisation
// costs no system call. Every later one is mapped, and is an eighth of what
// the buffer holds (within bounds): the peak of Take() is the data plus the
// largest chunk, and big buffers need few chunks.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kMinMappedChunk = std::size_t{64} << 10;
constexpr std::size_t kMaxMappedChunk = std::size_t{4} << 20;
// Take() gives the pages of a mapped chunk back this many bytes at a time as
// it copies them, so that its peak is the data plus this much.
constexpr std::size_t kTakeStep = std::size_t{32} << 10;

std::size_t PageSize() noexcept {
  static const std::size_t size = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
  }();
  return size;
}

}  // namespace

void ChunkedBytes::Release::operator()(std::uint8_t* data) const noexcept {
  if (capacity <= kFirstChunk) {
    std::free(data);
  } else {
    munmap(data, capacity);
  }
}

std::uint8_t* ChunkedBytes::AppendInNewChunk(std::size_t n) {
  const std::size_t size = Size();
  std::size_t capacity = kFirstChunk;
  void* data = nullptr;
  if (chunks_.empty() && n <= kFirstChunk) {
    data = std::malloc(capacity);
    if (data == nullptr) throw std::bad_alloc();
  } else {
    const std::size_t page = PageSize();
    capacity = std::clamp(size / 8, kMinMappedChunk, kMaxMappedChunk);
    if (n > capacity) {
      if (n > static_cast<std::size_t>(-1) - page) throw std::bad_alloc();
      capacity = (n + page - 1) / page * page;
    }
    // Populated at once: every page is about to be written, and one call that
    // maps them all costs a fraction of a fault per page, which took a
    // quarter of the time of writing a large Stream.
    data = mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
  }
  std::unique_ptr<std::uint8_t, Release> memory(static_cast<std::uint8_t*>(data),
                                                Release{capacity});
  if (!chunks_.empty()) chunks_.back().used = static_cast<std::size_t>(cur_ - begin_);
  chunks_.push_back(Chunk{std::move(memory), size, 0});
  MakeCurrent(chunks_.back());
  std::uint8_t* p = cur_;
  cur_ += n;
  return p;
}

void ChunkedBytes::MakeCurrent(const Chunk& chunk) noexcept {
  begin_ = chunk.memory.get();
  cur_ = begin_ + chunk.used;
  end_ = begin_ + chunk.memory.get_deleter().capacity;
  base_ = chunk.base;
}

void ChunkedBytes::OverwriteEarlier(std::size_t offset, const std::uint8_t* data,
                                    std::size_t n) noexcept {
  chunks_.back().used = static_cast<std::size_t>(cur_ - begin_);
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
  while (offset < base_) {
    chunks_.pop_back();
    MakeCurrent(chunks_.back());
  }
  cur_ = begin_ + (offset - base_);
}

std::vector<std::uint8_t> ChunkedBytes::Take() {
  const std::size_t page = PageSize();
  if (!chunks_.empty()) {
    Chunk& last = chunks_.back();
    last.used = static_cast<std::size_t>(cur_ - begin_);
    // The last chunk's unused pages were populated with it: they go back
    // before the result is allocated.
    const std::size_t capacity = last.memory.get_deleter().capacity;
    const std::size_t kept = (last.used + page - 1) / page * page;
    if (capacity > kFirstChunk && kept < capacity) {
      madvise(begin_ + kept, capacity - kept, MADV_DONTNEED);
    }
  }
  std::vector<std::uint8_t> out;
  out.reserve(Size());
  // Whole pages (both are powers of two), which madvise rounds to.
  const std::size_t step = std::max(kTakeStep, page);
  for (Chunk& chunk : chunks_) {
    std::uint8_t* const data = chunk.memory.get();
    const std::size_t capacity = chunk.memory.get_deleter().capacity;
    const bool mapped = capacity > kFirstChunk;
    for (std::size_t at = 0; at < chunk.used; at += step) {
      const std::size_t n = std::min(step, chunk.used - at);
      out.insert(out.end(), data + at, data + at + n);
      if (mapped) madvise(data + at, n, MADV_DONTNEED);
    }
    chunk.memory.reset();
  }
  chunks_.clear();
  begin_ = cur_ = end_ = nullptr;
  base_ = 0;
  return out;
}

}  // namespace replikon
