// Internal to the library and its tests: failures of the allocations that do
// not go through operator new, made to happen on purpose.
#pragma once

namespace replikon::detail {

// The chunk mappings of ChunkedBytes that may still succeed on this thread
// before one fails as a failed mmap does; negative (the default): none fails.
// Each thread has its own, so no other thread's writing is disturbed.
inline thread_local long mappings_to_failure = -1;

// Whether the mapping about to be made is to fail, counting it.
inline bool MappingFails() noexcept {
  return mappings_to_failure >= 0 && mappings_to_failure-- == 0;
}

}  // namespace replikon::detail
