// Internal to the library and its tests: failures of the allocations that do
// not go through operator new, made to happen on purpose.
#pragma once

#include "replikon/export.hpp"

namespace replikon::detail {

// The chunk mappings of ChunkedBytes that may still succeed on this thread
// before one fails as a failed mmap does; negative (the default): none fails.
// Each thread has its own, so no other thread's writing is disturbed. The
// count lives in the library, so that tests reach the same one when the
// library is shared.
REPLIKON_API long& MappingsToFailure() noexcept;

// Whether the mapping about to be made is to fail, counting it.
inline bool MappingFails() noexcept {
  long& left = MappingsToFailure();
  return left >= 0 && left-- == 0;
}

}  // namespace replikon::detail
