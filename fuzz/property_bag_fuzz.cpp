// Feeds arbitrary bytes to the property bag's loaders. Bytes must either be
// refused by every loader alike (error 5), or load into a bag that writes
// back exactly those bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace replikon;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto reader = BagReader::TryParse(bytes);
  PropertyBag bag;
  try {
    bag.SetContents(bytes);
  } catch (const AutomationError& e) {
    if (reader.has_value() || e.Number() != errors::kInvalidProcedureCall) std::abort();
    return 0;
  }
  if (!reader.has_value() || reader->Size() != bag.Size()) std::abort();
  const auto again = bag.Contents();
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) std::abort();
  for (const auto& entry : reader->Entries()) {
    if (!(BagReader::Decode(entry) == bag.ReadProperty(entry.key))) std::abort();
    (void)reader->ReadBytes(entry.key);
  }
  return 0;
}
