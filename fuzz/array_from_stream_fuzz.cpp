// Decodes arbitrary bytes as an array stream. The first byte chooses the
// expected (declared) type: odd values give Array | (byte >> 1), even ones
// none. The rest is the array stream.
//
// Decoding must give Null, Empty or an array; an array must hold no more
// elements, nested ones included, than the resource rule allows for its
// input; encoding it again must give a Stream that decodes to an array with
// the very same encoding; and ValueFromStored must agree with ArrayFromStream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "replikon/automation/safe_array.hpp"
#include "replikon/automation/variant.hpp"
#include "replikon/stream/array_encoding.hpp"

namespace {

using namespace replikon;

// Elements of an array and of every array nested in it.
std::uint64_t TotalElements(const SafeArray& array) {
  std::uint64_t total = array.Count();
  for (const Variant& element : array.FlatElements<Variant>()) {
    if (element.IsArray()) total += TotalElements(element.Array());
  }
  return total;
}

bool SameEncoding(const Variant& a, const Variant& b) {
  return StreamFromArray(a) == StreamFromArray(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  std::optional<std::int32_t> expected;
  if ((selector & 1) != 0) expected = 0x2000 | (selector >> 1);

  const Variant decoded = ArrayFromStream(bytes, expected);
  if (!decoded.IsNull() && !decoded.IsEmpty() && !decoded.IsArray()) std::abort();

  if (decoded.IsArray()) {
    const SafeArray& array = decoded.Array();
    // Every element either has an entry of its own (6 bytes at least) or was
    // drawn from the allowances (the fixed one only by Variant arrays).
    const std::uint64_t n = bytes.size();
    if (TotalElements(array) >
        kMissingElementAllowance + kMissingElementsPerByte * n + n / 6 + kRefusedElementAllowance) {
      std::abort();
    }
    if (expected && array.Dims() > 0) {
      const std::int32_t want = *expected & 0xFF;
      const std::int32_t got = static_cast<std::int32_t>(Code(array.ElementType()));
      const bool decimals = want == Code(VarType::Decimal) && got == Code(VarType::Variant);
      if (want != got && !decimals) std::abort();
    }
    // Written again and read back: the same array.
    const std::vector<std::uint8_t> encoded = StreamFromArray(decoded);
    const Variant again = ArrayFromStream(encoded);
    if (!again.IsArray() || StreamFromArray(again) != encoded) std::abort();
  }

  // The declared type only ever turns an array away.
  const Variant untyped = expected ? ArrayFromStream(bytes) : decoded;
  if (decoded.IsArray() && !SameEncoding(decoded, untyped)) std::abort();
  if (decoded.IsEmpty() && !untyped.IsEmpty()) std::abort();

  // As a Variant property receives it: the same, Null becoming Empty.
  const Variant stored = ValueFromStored(Variant(SafeArray::FromBytes(bytes)));
  if (untyped.IsNull() ? !stored.IsEmpty() : !SameEncoding(stored, untyped)) std::abort();
  if (untyped.IsEmpty() && !stored.IsEmpty()) std::abort();
  return 0;
}
