// Feeds arbitrary bytes to the property bag's loaders. Bytes must either be
// refused by every loader alike (error 5), or load into a bag that writes
// back exactly those bytes, whether the owning bag writes them or a BagWriter
// given the entries one by one; and those bytes load again to the same
// entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "automation/bag_codec.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/property_bag.hpp"

namespace {

bool SameBytes(const std::vector<std::uint8_t>& a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

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

  // Written out again: the same bytes.
  const auto again = bag.Contents();
  if (!SameBytes(again, bytes)) std::abort();
  std::vector<std::uint8_t> written;
  BagWriter writer(written);
  for (const auto& [key, value] : bag.Entries()) writer.Write(key, value);
  writer.Finish();
  if (!SameBytes(written, bytes)) std::abort();

  // Loaded again: the same entries, in the same order.
  PropertyBag reloaded;
  reloaded.SetContents(again);
  if (reloaded.Size() != bag.Size()) std::abort();
  for (std::size_t i = 0; i < bag.Size(); ++i) {
    const auto& [key, value] = bag.Entries()[i];
    const auto& [key2, value2] = reloaded.Entries()[i];
    if (key != key2 || !(value == value2)) std::abort();
  }
  for (const auto& entry : reader->Entries()) {
    if (!(BagReader::Decode(entry) == bag.ReadProperty(entry.key))) std::abort();
    (void)reader->ReadBytes(entry.key);
  }
  return 0;
}
