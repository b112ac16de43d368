// IsStream and ObjectTypeName on arbitrary bytes. Neither may fail, and their
// answers must agree with each other and with the Stream layout's own
// inspection routines, whatever the bytes and wherever the array starts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "replikon/automation/safe_array.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "replikon/stream/stream_utilities.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace replikon;
  const std::span<const std::uint8_t> bytes(data, size);
  const SafeArray array = SafeArray::FromBytes(bytes);
  const bool is_stream = IsStream(array);
  const std::string type_name = ObjectTypeName(array);

  const StreamInfo info = InspectStream(bytes);
  if (is_stream != info.is_object_stream || is_stream != IsObjectStream(bytes)) std::abort();
  if (info.kind != StreamKind(bytes) || info.loads_as_bag != LoadsAsBag(bytes)) std::abort();
  if (info.class_name != StreamClassName(bytes)) std::abort();
  if (info.holds_nothing != StreamHoldsNothing(bytes)) std::abort();

  const std::string expected_name = info.kind == kArrayStreamKind    ? std::string("Array")
                                    : info.kind == kObjectStreamKind ? info.class_name
                                                                     : std::string();
  if (type_name != expected_name) std::abort();
  if (is_stream && info.kind != kObjectStreamKind) std::abort();
  if (info.kind != 0 && !info.loads_as_bag) std::abort();

  // The array's lower bound plays no part.
  const SafeArray shifted = SafeArray::FromBytes(bytes, -3);
  if (IsStream(shifted) != is_stream || ObjectTypeName(shifted) != type_name) std::abort();
  return 0;
}
