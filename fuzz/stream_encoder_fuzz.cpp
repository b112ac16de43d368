// `replikon encode` on arbitrary text, mostly JSON near the flat form of
// `replikon inspect --json --flat` (the seeds).
//
// Text it refuses must leave no bytes and a reason. Bytes it accepts must be a
// property bag; when the bag is a Stream, its flat JSON must encode to the
// very same bytes again (so every value the encoder accepts is one the flat
// form shows exactly).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"
#include "flat_stream.hpp"
#include "replikon/automation/property_bag.hpp"
#include "stream_encoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace replikon;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!cli::EncodeStreamJson(in, bytes, error)) {
    if (!bytes.empty() || error.empty()) std::abort();
    return 0;
  }
  if (!BagReader::TryParse(bytes)) std::abort();

  std::ostringstream flat;
  if (!cli::WriteFlatJson(bytes, "input", true, flat, error)) return 0;
  std::istringstream again(flat.str());
  std::vector<std::uint8_t> back;
  if (!cli::EncodeStreamJson(again, back, error) || back != bytes) std::abort();
  return 0;
}
