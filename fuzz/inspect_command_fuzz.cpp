// The decoder behind `replikon inspect` on arbitrary bytes. The first byte
// chooses the options: bit 0 JSON, bits 1-7 the depth limit (127: the largest
// one the command accepts). The rest is the input.
//
// The decoder must show exactly the Streams of a known kind and refuse
// everything else with a reason, and what it writes must be well-formed UTF-8
// (JSON escapes everything else; text shows it in hex) with no control
// characters but line ends in the text form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <sstream>
#include <string>

#include "json_writer.hpp"
#include "replikon/stream/stream_layout.hpp"
#include "stream_inspector.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace replikon;
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);

  cli::InspectOptions options;
  options.json = (selector & 1) != 0;
  options.max_depth = (selector >> 1) == 127 ? cli::kMaxInspectDepth : (selector >> 1);
  options.name = "input";

  std::ostringstream out;
  std::string error;
  const bool shown = cli::InspectStreamBytes(bytes, options, out, error);
  const std::string text = out.str();

  const std::int16_t kind = StreamKind(bytes);
  if (shown != (kind == kObjectStreamKind || kind == kArrayStreamKind)) std::abort();
  if (!shown) {
    if (!text.empty() || error.empty()) std::abort();
    return 0;
  }
  if (text.empty() || !cli::IsValidUtf8(text)) std::abort();
  if (!options.json) {
    for (const char c : text) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\n') || u == 0x7F) std::abort();
    }
  }
  return 0;
}
